// The result table on standard output and its CSV copy, byte for byte, for the reducing and the
// non-reducing column layouts, with one and with two buffer modes.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "algorithm.h"
#include "context.h"
#include "threadinfo.h"

namespace oxcl_benchmark {
namespace {

// Prints through the shared table code with the layout of either kind of collective.
class TableCollective : public Algorithm {
 public:
  explicit TableCollective(bool reducing) : Algorithm("Table", 12), reducing(reducing) {}
  benchmarkResult_t RunAlgo(ThreadInfo*, void*, void*, int) override { return BENCHMARK_SUCCESS; }
  benchmarkResult_t SetParam(ThreadInfo*) override { return BENCHMARK_SUCCESS; }
  benchmarkResult_t GetDataRate(ThreadInfo*, double) override { return BENCHMARK_SUCCESS; }
  benchmarkResult_t PrintTitle(ThreadInfo* info) override {
    return PrintTableTitle(info, reducing ? kReduceLayout : kGatherLayout);
  }
  benchmarkResult_t PrintLine(ThreadInfo* info, double seconds, double algo_bw, double bus_bw,
                              int type_size) override {
    return PrintTableLine(info, reducing ? kReduceLayout : kGatherLayout, seconds, algo_bw,
                          bus_bw, type_size);
  }
  benchmarkResult_t InitData(ThreadInfo*, size_t) override { return BENCHMARK_SUCCESS; }
  benchmarkResult_t Check(ThreadInfo*, size_t) override { return BENCHMARK_SUCCESS; }

 private:
  bool reducing;
};

// 2^-13 and 2^-12 seconds: 122.0703125 and 244.140625 microseconds.
constexpr double kInTime = 0.0001220703125;
constexpr double kOutTime = 0.000244140625;

class Table : public ::testing::Test {
 protected:
  void SetUp() override {
    csv = std::tmpfile();
    ASSERT_NE(csv, nullptr);
    ctx.csv_path = "results.csv";  // only its being set matters; the file is the tmpfile
    ctx.csv_file = csv;
    ctx.threads = 2;
    ctx.error_counts.resize(2);
    ctx.error_totals.resize(2);
    ctx.error_totals[0].store(2);
    ctx.error_totals[1].store(3);
    info.type_index = info.op_index = 0;
    info.span_count = 1048576;
    info.coll_count = 262144;
  }
  void TearDown() override {
    if (csv != nullptr) std::fclose(csv);
  }

  // Runs f with standard output captured; returns what it printed.
  template <typename F>
  std::string Stdout(F&& f) {
    ::testing::internal::CaptureStdout();
    f();
    return ::testing::internal::GetCapturedStdout();
  }
  std::string Csv() {
    std::fflush(csv);
    std::rewind(csv);
    std::string text;
    for (int c; (c = std::fgetc(csv)) != EOF;) text.push_back(static_cast<char>(c));
    return text;
  }
  // One step of the walk: title or line printing for the mode at `mode_index`.
  void Line(TableCollective& algo, int64_t mode_index, double seconds, double algo_bw,
            double bus_bw, int type_size = 4) {
    info.mode_index = mode_index;
    EXPECT_EQ(algo.PrintLine(&info, seconds, algo_bw, bus_bw, type_size), BENCHMARK_SUCCESS);
  }

  Context ctx;
  ThreadInfo info;
  FILE* csv = nullptr;
};

const char kReduceHead[] = "#       bytes       count    type  redop   ";
const char kGatherHead[] = "#       bytes       count    type  ";
const char kInTitles[] = "  in-avg-lat(us)  in-algo-bw(GB/s)  in-bus-bw(GB/s)  in-error  ";
const char kOutTitles[] = " out-avg-lat(us) out-algo-bw(GB/s) out-bus-bw(GB/s) out-error  ";
const char kCsvIn[] = "in-avg-lat(us),in-algo-bw(GB/s),in-bus-bw(GB/s),in-error";
const char kCsvOut[] = "out-avg-lat(us),out-algo-bw(GB/s),out-bus-bw(GB/s),out-error";
const char kInGroup[] = "         122.070             34.36            51.54         5  ";
const char kOutGroup[] = "         244.141             17.18            25.77         5  ";

TEST_F(Table, ReduceLayoutWithBothModes) {
  TableCollective algo(true);
  algo.SetContext(&ctx);
  const std::string out = Stdout([&] {
    EXPECT_EQ(algo.PrintTitle(&info), BENCHMARK_SUCCESS);
    Line(algo, 0, kInTime, 34.36, 51.54);
    Line(algo, 1, kOutTime, 17.18, 25.77);
  });
  EXPECT_EQ(out, std::string(kReduceHead) + kInTitles + kOutTitles + "\n" +
                     "      4194304      262144    float   sum   " + kInGroup + kOutGroup + "\n");
  EXPECT_EQ(Csv(), std::string("bytes,count,type,redop,") + kCsvIn + "," + kCsvOut + "\n" +
                       "4194304,262144,float,sum,122.070,34.36,51.54,5,244.141,17.18,25.77,5\n");
}

TEST_F(Table, ReduceLayoutWithOneModeEndsEveryLine) {
  TableCollective algo(true);
  ctx.mode = {false};
  ctx.data_type = {oxclBfloat16};
  ctx.data_type_names = {"bfloat16"};
  ctx.reduce_op = {oxclProd};
  ctx.reduce_op_names = {"prod"};
  algo.SetContext(&ctx);
  const std::string out = Stdout([&] {
    EXPECT_EQ(algo.PrintTitle(&info), BENCHMARK_SUCCESS);
    Line(algo, 0, kOutTime, 17.18, 25.77, 2);
    info.span_count = info.coll_count = 33554432;
    Line(algo, 0, kInTime, 34.36, 51.54, 2);
  });
  EXPECT_EQ(out, std::string(kReduceHead) + kOutTitles + "\n" +
                     "      2097152      262144 bfloat16  prod   " + kOutGroup + "\n" +
                     "     67108864    33554432 bfloat16  prod   " + kInGroup + "\n");
  EXPECT_EQ(Csv(), std::string("bytes,count,type,redop,") + kCsvOut + "\n" +
                       "2097152,262144,bfloat16,prod,244.141,17.18,25.77,5\n" +
                       "67108864,33554432,bfloat16,prod,122.070,34.36,51.54,5\n");
}

TEST_F(Table, GatherLayoutHasNoOperationColumn) {
  TableCollective algo(false);
  algo.SetContext(&ctx);
  std::string out = Stdout([&] {
    EXPECT_EQ(algo.PrintTitle(&info), BENCHMARK_SUCCESS);
    Line(algo, 0, kInTime, 34.36, 51.54);
    Line(algo, 1, kOutTime, 17.18, 25.77);
  });
  EXPECT_EQ(out, std::string(kGatherHead) + kInTitles + kOutTitles + "\n" +
                     "      4194304      262144    float " + kInGroup + kOutGroup + "\n");
  EXPECT_EQ(Csv(), std::string("bytes,count,type,") + kCsvIn + "," + kCsvOut + "\n" +
                       "4194304,262144,float,122.070,34.36,51.54,5,244.141,17.18,25.77,5\n");

  ctx.mode = {true};
  std::fclose(csv);
  csv = ctx.csv_file = std::tmpfile();
  ASSERT_NE(csv, nullptr);
  out = Stdout([&] {
    EXPECT_EQ(algo.PrintTitle(&info), BENCHMARK_SUCCESS);
    Line(algo, 0, kInTime, 34.36, 51.54);
  });
  EXPECT_EQ(out, std::string(kGatherHead) + kInTitles + "\n" +
                     "      4194304      262144    float " + kInGroup + "\n");
  EXPECT_EQ(Csv(), std::string("bytes,count,type,") + kCsvIn + "\n" +
                       "4194304,262144,float,122.070,34.36,51.54,5\n");
}

TEST_F(Table, CountsBeyond32BitsKeepTheirValueInBothCopies) {
  TableCollective algo(true);
  ctx.mode = {true};
  ctx.data_type = {oxclUint8};
  ctx.data_type_names = {"uint8"};
  algo.SetContext(&ctx);
  info.span_count = info.coll_count = 3000000000ull;
  const std::string out = Stdout([&] { Line(algo, 0, kInTime, 34.36, 51.54, 1); });
  EXPECT_EQ(out, std::string("   3000000000  3000000000    uint8   sum   ") + kInGroup + "\n");
  EXPECT_EQ(Csv(), "3000000000,3000000000,uint8,sum,122.070,34.36,51.54,5\n");
}

TEST_F(Table, NoThreadButTheFirstOfTheFirstProcessPrints) {
  TableCollective algo(true);
  algo.SetContext(&ctx);
  info.thread_rank = 1;
  std::string out = Stdout([&] {
    EXPECT_EQ(algo.PrintTitle(&info), BENCHMARK_SUCCESS);
    Line(algo, 0, kInTime, 34.36, 51.54);
    Line(algo, 1, kOutTime, 17.18, 25.77);
  });
  EXPECT_EQ(out, "");
  info.thread_rank = 0;
  ctx.proc_rank = 1;
  out = Stdout([&] {
    EXPECT_EQ(algo.PrintTitle(&info), BENCHMARK_SUCCESS);
    Line(algo, 0, kInTime, 34.36, 51.54);
  });
  EXPECT_EQ(out, "");
  EXPECT_EQ(Csv(), "");
}

TEST_F(Table, NoCsvPathWritesOnlyStandardOutput) {
  TableCollective algo(true);
  ctx.csv_path.clear();  // a stale file pointer must not be written through
  algo.SetContext(&ctx);
  const std::string out = Stdout([&] { EXPECT_EQ(algo.PrintTitle(&info), BENCHMARK_SUCCESS); });
  EXPECT_EQ(out, std::string(kReduceHead) + kInTitles + kOutTitles + "\n");
  EXPECT_EQ(Csv(), "");
}

}  // namespace
}  // namespace oxcl_benchmark
