#include "harness.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <thread>
#include <utility>

#ifdef OXCL_TEST_MPI
#include <mpi.h>
#endif

namespace oxcl_test {
namespace {

void Processes(int* size, int* self) {
  *size = 1;
  *self = 0;
#ifdef OXCL_TEST_MPI
  MPI_Comm_size(MPI_COMM_WORLD, size);
  MPI_Comm_rank(MPI_COMM_WORLD, self);
#endif
}

}  // namespace

int OwnerOf(int n, int r) {
  int size = 1, self = 0;
  Processes(&size, &self);
  const char* placement = std::getenv("OXCL_TEST_PLACEMENT");
  if (placement && std::strcmp(placement, "cyclic") == 0) return r % size;
  const int per = (n + size - 1) / size;
  return r / per;
}

bool Mine(int n, int r) {
  int size = 1, self = 0;
  Processes(&size, &self);
  return OwnerOf(n, r) == self;
}

int CardCount() {
  unsigned int count = 0;
  EXPECT_EQ(oxrtGetDeviceCount(&count), oxrtSuccess);
  return static_cast<int>(count);
}

DeviceBuffer::DeviceBuffer(int card, size_t bytes) : bytes_(bytes) {
  EXPECT_EQ(oxrtSetDevice(card), oxrtSuccess);
  EXPECT_EQ(oxrtMalloc(&ptr_, bytes), oxrtSuccess) << bytes << " bytes on card " << card;
}

DeviceBuffer::~DeviceBuffer() {
  if (ptr_) {
    EXPECT_EQ(oxrtFree(ptr_), oxrtSuccess);
  }
}

DeviceBuffer::DeviceBuffer(DeviceBuffer&& other) noexcept
    : ptr_(std::exchange(other.ptr_, nullptr)), bytes_(std::exchange(other.bytes_, 0)) {}

DeviceBuffer& DeviceBuffer::operator=(DeviceBuffer&& other) noexcept {
  if (this != &other) {
    if (ptr_) oxrtFree(ptr_);
    ptr_ = std::exchange(other.ptr_, nullptr);
    bytes_ = std::exchange(other.bytes_, 0);
  }
  return *this;
}

void DeviceBuffer::Write(size_t offset, const void* src, size_t bytes) {
  if (bytes == 0) return;
  ASSERT_LE(offset + bytes, bytes_);
  ASSERT_EQ(oxrtMemcpy(data() + offset, src, bytes, oxrtMemcpyHostToDevice), oxrtSuccess);
}

void DeviceBuffer::Read(size_t offset, void* dst, size_t bytes) const {
  if (bytes == 0) return;
  ASSERT_LE(offset + bytes, bytes_);
  ASSERT_EQ(oxrtMemcpy(dst, data() + offset, bytes, oxrtMemcpyDeviceToHost), oxrtSuccess);
}

std::vector<unsigned char> DeviceBuffer::ReadAll() const {
  std::vector<unsigned char> host(bytes_);
  Read(0, host.data(), bytes_);
  return host;
}

void DeviceBuffer::Fill(unsigned char byte) {
  if (bytes_) {
    ASSERT_EQ(oxrtMemset(ptr_, byte, bytes_), oxrtSuccess);
  }
}

Clique::Clique(int n) : comms_(n, nullptr), cards_(n) {
  oxclCliqueId id;
  int size = 1, self = 0;
  Processes(&size, &self);
  if (self == 0) {
    EXPECT_EQ(oxclGetCliqueId(&id), oxclSuccess);
  }
#ifdef OXCL_TEST_MPI
  MPI_Bcast(&id, sizeof id, MPI_BYTE, 0, MPI_COMM_WORLD);
#endif
  std::vector<int> ranks, cards;
  const int card_count = CardCount();
  for (int r = 0; r < n; ++r) {
    cards_[r] = r % card_count;
    if (!Mine(n, r)) continue;
    ranks.push_back(r);
    cards.push_back(cards_[r]);
  }
  if (ranks.empty()) return;
  std::vector<oxclComm*> mine(ranks.size(), nullptr);
  EXPECT_EQ(oxclInitComms(mine.data(), static_cast<int>(ranks.size()), cards.data(), ranks.data(),
                          n, id),
            oxclSuccess);
  for (size_t i = 0; i < ranks.size(); ++i) comms_[ranks[i]] = mine[i];
}

oxclResult_t Clique::Destroy() {
  std::vector<oxclComm*> mine;
  for (oxclComm*& comm : comms_) {
    if (comm) mine.push_back(comm);
    comm = nullptr;
  }
  if (mine.empty()) return oxclSuccess;
  return oxclDestroyComms(mine.data(), static_cast<int>(mine.size()));
}

Clique::~Clique() { EXPECT_EQ(Destroy(), oxclSuccess); }

Queues::Queues(const Clique& clique) : queues_(clique.size(), nullptr) {
  for (int r = 0; r < clique.size(); ++r) {
    if (!clique.comm(r)) continue;
    EXPECT_EQ(oxrtSetDevice(clique.card(r)), oxrtSuccess);
    EXPECT_EQ(oxrtQueueCreate(&queues_[r]), oxrtSuccess);
  }
}

Queues::~Queues() {
  for (oxrtQueue_t q : queues_)
    if (q) {
      EXPECT_EQ(oxrtQueueDestroy(q), oxrtSuccess);
    }
}

oxrtError_t Queues::SyncAll() {
  oxrtError_t first = oxrtSuccess;
  for (oxrtQueue_t q : queues_) {
    if (!q) continue;
    const oxrtError_t rc = oxrtQueueSync(q);
    if (first == oxrtSuccess) first = rc;
  }
  return first;
}

std::vector<oxclResult_t> OnEachRank(int n, const std::function<oxclResult_t(int)>& body) {
  std::vector<oxclResult_t> results(n, oxclSuccess);
  std::vector<std::thread> threads;
  threads.reserve(n);
  for (int r = 0; r < n; ++r)
    if (Mine(n, r)) threads.emplace_back([&, r] { results[r] = body(r); });
  for (std::thread& t : threads) t.join();
  return results;
}

}  // namespace oxcl_test
