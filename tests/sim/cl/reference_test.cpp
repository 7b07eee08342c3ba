// Every collective against results computed independently here, for 1, 2, 3, 4 and 8 ranks,
// every element type and operation, both buffer modes, counts 0, 1, n-1 and 2^20+5, with one
// thread per rank on null queues and with one queue per rank.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <tuple>

#include "harness.h"
#include "ref.h"

namespace oxcl_test {
namespace {

enum class Coll { kAllReduce, kReduceScatter, kAllGather, kAlltoAll, kAlltoAllv, kGroupAlltoAll };

const char* CollName(Coll c) {
  switch (c) {
    case Coll::kAllReduce: return "AllReduce";
    case Coll::kReduceScatter: return "ReduceScatter";
    case Coll::kAllGather: return "AllGather";
    case Coll::kAlltoAll: return "AlltoAll";
    case Coll::kAlltoAllv: return "AlltoAllv";
    case Coll::kGroupAlltoAll: return "GroupAlltoAll";
  }
  return "?";
}

bool Reduces(Coll c) { return c == Coll::kAllReduce || c == Coll::kReduceScatter; }

constexpr uint64_t kBig = (1u << 20) + 5;
constexpr size_t kGuard = 64;   // bytes after every buffer that must stay untouched
constexpr unsigned char kFill = 0xA5;

#if defined(__SANITIZE_THREAD__) || defined(__SANITIZE_ADDRESS__)
constexpr bool kSanitized = true;
#else
constexpr bool kSanitized = false;
#endif

// The (type, op) pairs that also run at 2^20+5 elements: multi-unit work is the same code for
// every type, so a selection per rank count keeps the suite fast while every collective, rank
// count and mode crosses many units. float16 and int8 (the per-step rounding and saturation
// rules) run with every operation at 2 and 3 ranks.
std::vector<std::pair<oxclDataType_t, oxclReduceOp_t>> BigCases(Coll coll, int n) {
  std::vector<std::pair<oxclDataType_t, oxclReduceOp_t>> cases;
#ifdef OXCL_TEST_MPI
  // Between processes the arithmetic of each type is the in-process engine's, which the
  // threads-only run covers at this size; here the size makes every path cross many units,
  // float16 for its rounding of each partial result that travels between the processes.
  if (kSanitized) return {{oxclFloat32, oxclSum}};
  cases = {{oxclFloat32, oxclSum}, {oxclInt64, oxclProd}};
  if (Reduces(coll)) cases.push_back({oxclFloat16, oxclSum});
  (void)n;
  return cases;
#endif
  if (kSanitized && n > 2) return {{oxclFloat32, oxclSum}};
  if (n == 2) {
    for (size_t t = 0; t < AllTypes().size(); ++t)
      cases.push_back({AllTypes()[t], AllOps()[t % 4]});
  } else {
    cases.push_back({oxclFloat32, oxclSum});
    cases.push_back({oxclInt64, oxclProd});
  }
  if (Reduces(coll) && n <= 3 && !kSanitized) {
    for (oxclReduceOp_t op : AllOps()) {
      cases.push_back({oxclFloat16, op});
      cases.push_back({oxclInt8, op});
    }
  }
  return cases;
}

// The types of the small-count steps. Between processes, one of each element size and each
// 16-bit rounding rule (the transports move bytes, and the per-type arithmetic is the
// in-process engine's, which the threads-only run checks for every type); each step there
// waits on other processes, which makes it the costly part.
const std::vector<oxclDataType_t>& StepTypes() {
#ifdef OXCL_TEST_MPI
  static const std::vector<oxclDataType_t> types = {oxclInt8, oxclFloat16, oxclBfloat16,
                                                    oxclFloat32, oxclInt64, oxclUint32};
  return types;
#else
  return AllTypes();
#endif
}

struct Step {
  Coll coll;
  oxclDataType_t type;
  oxclReduceOp_t op;
  bool in_place;
  uint64_t count;  // the count the entry point takes
};

std::string Describe(const Step& s, int n, bool queued) {
  return std::string(CollName(s.coll)) + " n=" + std::to_string(n) + " " + NameOf(s.type) + " " +
         (Reduces(s.coll) ? NameOf(s.op) + " " : "") + (s.in_place ? "in-place" : "out-of-place") +
         " count=" + std::to_string(s.count) + (queued ? " queued" : " null-queue");
}

// Buffers and expected results of one rank for one step.
struct RankData {
  DeviceBuffer send;  // unused in place
  DeviceBuffer recv;
  std::vector<unsigned char> input;     // what this rank contributes
  std::vector<unsigned char> expected;  // what must arrive
  size_t send_bytes = 0, recv_bytes = 0;
  size_t expect_at = 0;                 // byte offset of the expected region in recv
};

class ReferenceTest : public testing::TestWithParam<std::tuple<Coll, int, bool>> {
 protected:
  void RunStep(const Step& s);
  void Issue(const Step& s, int r, RankData& d, oxrtQueue_t queue, oxclResult_t* rc);

  Clique* clique_ = nullptr;
  Queues* queues_ = nullptr;
};

void ReferenceTest::Issue(const Step& s, int r, RankData& d, oxrtQueue_t queue, oxclResult_t* rc) {
  const int n = clique_->size();
  const size_t es = SizeOf(s.type);
  const size_t block = s.count * es;
  oxclComm* comm = clique_->comm(r);
  unsigned char* recv = d.recv.data();
  unsigned char* send = s.in_place ? recv : d.send.data();
  switch (s.coll) {
    case Coll::kAllReduce:
      *rc = oxclAllReduce(send, recv, s.count, s.type, s.op, comm, queue);
      return;
    case Coll::kReduceScatter:
      *rc = oxclReduceScatter(send, s.in_place ? recv + r * block : recv, s.count, s.type, s.op,
                              comm, queue);
      return;
    case Coll::kAllGather:
      *rc = oxclAllGather(s.in_place ? recv + r * block : send, recv, s.count, s.type, comm, queue);
      return;
    case Coll::kAlltoAll:
      *rc = oxclAlltoAll(send, recv, s.count, s.type, comm, queue);
      return;
    case Coll::kAlltoAllv: {
      std::vector<const void*> sends(n);
      std::vector<void*> recvs(n);
      std::vector<uint32_t> counts(n, static_cast<uint32_t>(s.count));
      std::vector<oxclDataType_t> types(n, s.type);
      for (int j = 0; j < n; ++j) {
        sends[j] = send + j * block;
        recvs[j] = recv + j * block;
      }
      *rc = oxclAlltoAllv(sends.data(), counts.data(), types.data(), recvs.data(), counts.data(),
                          types.data(), comm, queue);
      return;
    }
    case Coll::kGroupAlltoAll: {
      *rc = oxclGroupStart();
      for (int j = 0; j < n && *rc == oxclSuccess; ++j) {
        *rc = oxclSend(send + j * block, s.count, s.type, j, comm, queue);
        if (*rc == oxclSuccess) *rc = oxclRecv(recv + j * block, s.count, s.type, j, comm, queue);
      }
      const oxclResult_t end = oxclGroupEnd();
      if (*rc == oxclSuccess) *rc = end;
      return;
    }
  }
}

void ReferenceTest::RunStep(const Step& s) {
  const int n = clique_->size();
  const bool queued = queues_ != nullptr;
  const size_t es = SizeOf(s.type);
  const uint64_t c = s.count;
  SCOPED_TRACE(Describe(s, n, queued));

  // Inputs: reductions and all-to-alls send n blocks (all-reduce one), all-gather one block.
  const uint64_t in_elems = s.coll == Coll::kAllReduce || s.coll == Coll::kAllGather ? c : n * c;
  const uint64_t out_elems = s.coll == Coll::kAllReduce || s.coll == Coll::kReduceScatter ? c : n * c;
  std::vector<RankData> ranks(n);
  for (int r = 0; r < n; ++r) {
    RankData& d = ranks[r];
    d.input = TestVector(s.type, r, 0, in_elems);
    d.send_bytes = in_elems * es;
    // In place, the receive buffer holds the input vector as well.
    d.recv_bytes = (s.in_place ? std::max(in_elems, out_elems) : out_elems) * es;
    if (s.in_place && s.coll == Coll::kAllGather) d.recv_bytes = n * c * es;
    // Ranks of other processes only contribute their inputs to the expected values.
    if (!Mine(n, r)) continue;
    d.recv = DeviceBuffer(clique_->card(r), d.recv_bytes + kGuard);
    d.recv.Fill(kFill);
    if (s.in_place) {
      const size_t at = s.coll == Coll::kAllGather ? r * c * es : 0;
      d.recv.Write(at, d.input.data(), d.input.size());
    } else {
      d.send = DeviceBuffer(clique_->card(r), d.send_bytes + kGuard);
      d.send.Fill(kFill);
      d.send.Write(0, d.input.data(), d.input.size());
    }
  }

  // Expected values, element by element from the inputs.
  const bool saturate = false;  // the default card wraps int8/uint8
  std::vector<const void*> column(n);
  for (int r = 0; r < n; ++r) {
    RankData& d = ranks[r];
    d.expected.assign(out_elems * es, 0);
    d.expect_at = s.in_place && s.coll == Coll::kReduceScatter ? r * c * es : 0;
    for (uint64_t x = 0; x < out_elems; ++x) {
      unsigned char* out = d.expected.data() + x * es;
      switch (s.coll) {
        case Coll::kAllReduce:
        case Coll::kReduceScatter: {
          const uint64_t at = s.coll == Coll::kAllReduce ? x : r * c + x;
          if (r > 0 && s.coll == Coll::kAllReduce) {
            std::memcpy(out, ranks[0].expected.data() + x * es, es);
            break;
          }
          for (int q = 0; q < n; ++q) column[q] = ranks[q].input.data() + at * es;
          RefReduce(s.type, s.op, saturate, column, out);
          break;
        }
        case Coll::kAllGather:
          std::memcpy(out, ranks[x / c].input.data() + (x % c) * es, es);
          break;
        default:  // all-to-alls: block j of rank r is block r of rank j
          std::memcpy(out, ranks[x / c].input.data() + (r * c + x % c) * es, es);
          break;
      }
    }
  }

  std::vector<oxclResult_t> results(n, oxclSuccess);
  if (queued) {
    for (int r = 0; r < n; ++r)
      if (Mine(n, r)) Issue(s, r, ranks[r], (*queues_)[r], &results[r]);
    ASSERT_EQ(queues_->SyncAll(), oxrtSuccess);
  } else {
    results = OnEachRank(n, [&](int r) {
      oxclResult_t rc = oxclInternalError;
      Issue(s, r, ranks[r], nullptr, &rc);
      return rc;
    });
  }
  for (int r = 0; r < n; ++r) ASSERT_EQ(results[r], oxclSuccess) << "rank " << r;

  for (int r = 0; r < n; ++r) {
    if (!Mine(n, r)) continue;
    const RankData& d = ranks[r];
    const std::vector<unsigned char> got = d.recv.ReadAll();
    const size_t bytes = d.expected.size();
    // Count 0 expects nothing, and an empty vector's data() may be null.
    if (bytes != 0 && std::memcmp(got.data() + d.expect_at, d.expected.data(), bytes) != 0) {
      size_t k = 0;
      while (got[d.expect_at + k] == d.expected[k]) ++k;
      FAIL() << "rank " << r << ": first wrong element " << k / es << " of " << out_elems;
    }
    for (size_t g = 0; g < kGuard; ++g)
      ASSERT_EQ(got[d.recv_bytes + g], kFill) << "rank " << r << " wrote past its receive buffer";
    if (!s.in_place) {
      const std::vector<unsigned char> sent = d.send.ReadAll();
      ASSERT_TRUE(d.input.empty() || std::memcmp(sent.data(), d.input.data(), d.input.size()) == 0)
          << "rank " << r << ": the send buffer changed";
    }
  }
}

TEST_P(ReferenceTest, MatchesIndependentResults) {
  const Coll coll = std::get<0>(GetParam());
  const int n = std::get<1>(GetParam());
  Clique clique(n);
  clique_ = &clique;
  std::unique_ptr<Queues> queues;
  if (std::get<2>(GetParam())) queues = std::make_unique<Queues>(clique);
  queues_ = queues.get();

  std::vector<uint64_t> counts = {0, 1};
  if (n - 1 > 1) counts.push_back(n - 1);
  const std::vector<oxclReduceOp_t> ops =
      Reduces(coll) ? AllOps() : std::vector<oxclReduceOp_t>{oxclSum};
  for (bool in_place : {false, true}) {
    for (oxclDataType_t type : StepTypes())
      for (oxclReduceOp_t op : ops)
        for (uint64_t count : counts) {
          RunStep({coll, type, op, in_place, count});
          if (HasFatalFailure()) return;
        }
    for (const auto& big : BigCases(coll, n)) {
      RunStep({coll, big.first, big.second, in_place, kBig});
      if (HasFatalFailure()) return;
    }
  }
}

std::string ParamName(const testing::TestParamInfo<ReferenceTest::ParamType>& info) {
  return std::string(CollName(std::get<0>(info.param))) + "_" +
         std::to_string(std::get<1>(info.param)) + "ranks_" +
         (std::get<2>(info.param) ? "queues" : "nullqueue");
}

INSTANTIATE_TEST_SUITE_P(
    AllCollectives, ReferenceTest,
    testing::Combine(testing::Values(Coll::kAllReduce, Coll::kReduceScatter, Coll::kAllGather,
                                     Coll::kAlltoAll, Coll::kAlltoAllv, Coll::kGroupAlltoAll),
                     testing::Values(1, 2, 3, 4, 8), testing::Bool()),
    ParamName);

}  // namespace
}  // namespace oxcl_test
