// The type/operation walk of the thread record, and the element sizes of the data types.
#include <gtest/gtest.h>

#include <vector>

#include "algorithm.h"
#include "context.h"
#include "threadinfo.h"

namespace oxcl_benchmark {
namespace {

// The count series and the address offset window are tested in test_count_series.cpp.

TEST(ThreadInfoWalk, DataTypesAdvanceFastestThenOperations) {
  Context ctx;
  ctx.data_type = {oxclFloat32, oxclInt8, oxclUint64};
  ctx.reduce_op = {oxclSum, oxclMax};
  ThreadInfo info;
  std::vector<std::pair<int64_t, int64_t>> seen;
  while (info.GetTypeAndOp(&ctx)) seen.emplace_back(info.type_index, info.op_index);
  const std::vector<std::pair<int64_t, int64_t>> expected = {{0, 0}, {1, 0}, {2, 0},
                                                             {0, 1}, {1, 1}, {2, 1}};
  EXPECT_EQ(seen, expected);
  EXPECT_EQ(info.type_index, -1);
}

// Buffers are sized by GetTypeSize and written by the fill and the check as their host
// elements: for every type the two must agree, or a step would write past its buffer or leave
// part of it unchecked. Codes of no type have no size, so that no buffer is sized by them.
TEST(ContextTypes, ElementSizesByCode) {
  Context ctx;
  for (oxclDataType_t type : {oxclFloat16, oxclBfloat16, oxclFloat32, oxclInt8, oxclInt16,
                              oxclInt32, oxclInt64, oxclUint8, oxclUint16, oxclUint32,
                              oxclUint64}) {
    const benchmarkResult_t dispatched = WithElementType(type, [&](auto tag) {
      EXPECT_EQ(ctx.GetTypeSize(type), sizeof(typename decltype(tag)::type)) << type;
      return BENCHMARK_SUCCESS;
    });
    EXPECT_EQ(dispatched, BENCHMARK_SUCCESS) << type;
  }
  for (int code : {0, 19, 52}) {
    EXPECT_EQ(ctx.GetTypeSize(static_cast<oxclDataType_t>(code)), 0u) << code;
  }
}

}  // namespace
}  // namespace oxcl_benchmark
