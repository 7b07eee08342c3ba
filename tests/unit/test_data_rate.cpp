// The bandwidths of each collective's table row: the bytes that one rank's operation moves and
// the bus factor, as the shared GetDataRate applies them.
#include <gtest/gtest.h>

#include <sstream>
#include <string>
#include <vector>

#include "allgather.h"
#include "alltoall.h"
#include "reducescatter.h"

namespace oxcl_benchmark {
namespace {

struct Rates {
  double algo_bw, bus_bw;
};

// The row that collective Algo prints for `count` float elements among 4 ranks when one
// operation takes a nanosecond: a byte is then a GB/s.
template <typename Algo>
Rates RowOf(uint64_t count) {
  Context ctx;
  ctx.data_type = {oxclFloat32};
  ctx.data_type_names = {"float"};
  ctx.reduce_op = {oxclSum};
  ctx.reduce_op_names = {"sum"};
  ctx.mode = {true};
  ctx.nprocs = 4;
  ThreadInfo info;
  info.type_index = info.op_index = info.mode_index = 0;
  info.count = count;
  Algo algo;
  algo.SetContext(&ctx);
  EXPECT_EQ(algo.SetParam(&info), BENCHMARK_SUCCESS);
  testing::internal::CaptureStdout();
  EXPECT_EQ(algo.GetDataRate(&info, 1e-9), BENCHMARK_SUCCESS);
  std::istringstream line(testing::internal::GetCapturedStdout());
  std::vector<std::string> fields;
  for (std::string f; line >> f;) fields.push_back(f);
  // The row ends with the latency, the two bandwidths and the errors.
  if (fields.size() < 4) {
    ADD_FAILURE() << "no table row";
    return {0, 0};
  }
  return {std::stod(fields[fields.size() - 3]), std::stod(fields[fields.size() - 2])};
}

// 1003 elements among 4 ranks: the collectives that split the count keep 250 or 1000 of them,
// so a rate computed from the wrong count shows.
TEST(DataRate, EachCollectiveStatesItsBytesAndBusFactor) {
  const Rates allreduce = RowOf<Allreduce>(1003);
  EXPECT_DOUBLE_EQ(allreduce.algo_bw, 4012);  // the whole vector
  EXPECT_DOUBLE_EQ(allreduce.bus_bw, 4012 * 1.5);  // 2 (n - 1) / n
  const Rates reducescatter = RowOf<Reducescatter>(1003);
  EXPECT_DOUBLE_EQ(reducescatter.algo_bw, 4000);  // n slices of 250
  EXPECT_DOUBLE_EQ(reducescatter.bus_bw, 3000);  // (n - 1) / n
  const Rates allgather = RowOf<Allgather>(1003);
  EXPECT_DOUBLE_EQ(allgather.algo_bw, 4000);  // n blocks of 250
  EXPECT_DOUBLE_EQ(allgather.bus_bw, 3000);
  const Rates alltoall = RowOf<AllToAll>(1003);
  EXPECT_DOUBLE_EQ(alltoall.algo_bw, 4000);  // the 1000 elements sent
  EXPECT_DOUBLE_EQ(alltoall.bus_bw, 3000);
}

}  // namespace
}  // namespace oxcl_benchmark
