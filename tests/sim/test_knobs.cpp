// Environment knobs, the time model and the call log. Runs with OXSIM_DEVICE_COUNT=3,
// OXSIM_CARD_NAME=OPU190-B, OXSIM_DEVICE_MEMORY=64M, OXSIM_LINK_GBPS=0.5 and
// OXSIM_LINK_LATENCY_US=300; other environments run in the probe helper.
#include <gtest/gtest.h>

#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <fstream>
#include <sstream>

#include "knobs.h"
#include "oxrt.h"
#include "oxsim.h"
#include "test_util.h"

namespace {

using oxsim_test::CountLines;
using oxsim_test::RunProbe;

TEST(KnobParsers, MemorySizes) {
  struct { const char* text; uint64_t bytes; } good[] = {
      {"1", 1}, {"4096", 4096}, {"16G", 16ull << 30}, {"3k", 3072}, {"2M", 2u << 20},
      {"17179869184", 16ull << 30}, {"17179869183G", 17179869183ull << 30},
  };
  for (const auto& g : good) {
    uint64_t v = 0;
    EXPECT_TRUE(oxsim::ParseMemorySize(g.text, &v)) << g.text;
    EXPECT_EQ(v, g.bytes) << g.text;
  }
  for (const char* bad : {"", "0", "0G", "G", "-1", "1.5G", "1T", "1GB", " 1", "1 ", "0x10",
                          "17179869184G", "18446744073709551616"}) {
    uint64_t v = 7;
    EXPECT_FALSE(oxsim::ParseMemorySize(bad, &v)) << bad;
    EXPECT_EQ(v, 7u) << bad;
  }
}

TEST(KnobParsers, CountsAndRates) {
  int n = 0;
  EXPECT_TRUE(oxsim::ParseDeviceCount("1", &n));
  EXPECT_TRUE(oxsim::ParseDeviceCount("4096", &n));
  EXPECT_EQ(n, 4096);
  for (const char* bad : {"", "0", "4097", "-2", "8x", "99999999999999999999"})
    EXPECT_FALSE(oxsim::ParseDeviceCount(bad, &n)) << bad;

  double r = 0;
  EXPECT_TRUE(oxsim::ParseRate("12.5", true, &r));
  EXPECT_DOUBLE_EQ(r, 12.5);
  EXPECT_TRUE(oxsim::ParseRate("1e-3", true, &r));
  EXPECT_TRUE(oxsim::ParseRate("0", false, &r)) << "a zero latency is allowed";
  for (const char* bad : {"", "0", "-1", "inf", "nan", "1e999", "fast", " 1", "1,5", "0x1p3"})
    EXPECT_FALSE(oxsim::ParseRate(bad, true, &r)) << bad;
  EXPECT_FALSE(oxsim::ParseRate("-0.5", false, &r));
}

TEST(Knobs, ValuesComeFromTheEnvironment) {
  EXPECT_EQ(oxsim::DeviceCount(), 3);
  EXPECT_EQ(oxsim::CardName(), "OPU190-B");
  EXPECT_TRUE(oxsim::SaturatingCard());
  EXPECT_EQ(oxsim::DeviceMemory(), 64u << 20);
  size_t free_bytes = 0, total = 0;
  ASSERT_EQ(oxrtMemGetInfo(&free_bytes, &total), oxrtSuccess);
  EXPECT_EQ(total, 64u << 20);
  unsigned int count = 0;
  ASSERT_EQ(oxrtGetDeviceCount(&count), oxrtSuccess);
  EXPECT_EQ(count, 3u);
  EXPECT_EQ(oxrtSetDevice(3), oxrtErrorInvalidDevice);
}

TEST(Knobs, DefaultsWhenUnset) {
  const auto r = RunProbe({"count"}, {"OXSIM_DEVICE_COUNT", "OXSIM_FAULT"});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out, "8\n");
  EXPECT_EQ(r.err, "");
}

TEST(Knobs, BadValuesAreRejectedAtFirstUse) {
  const std::vector<std::pair<std::string, std::string>> bad = {
      {"OXSIM_DEVICE_COUNT=0", "OXSIM_DEVICE_COUNT"},
      {"OXSIM_DEVICE_COUNT=eight", "OXSIM_DEVICE_COUNT"},
      {"OXSIM_DEVICE_MEMORY=16X", "OXSIM_DEVICE_MEMORY"},
      {"OXSIM_DEVICE_MEMORY=", "OXSIM_DEVICE_MEMORY"},
      {"OXSIM_CARD_NAME=", "OXSIM_CARD_NAME"},
      {"OXSIM_LINK_GBPS=0", "OXSIM_LINK_GBPS"},
      {"OXSIM_LINK_LATENCY_US=-3", "OXSIM_LINK_LATENCY_US"},
      {"OXSIM_PEER_ACCESS=yes", "OXSIM_PEER_ACCESS"},
      {"OXSIM_PEER_MAP=2", "OXSIM_PEER_MAP"},
      {"OXSIM_F16C=off", "OXSIM_F16C"},
      {"OXSIM_FAULT=oxrtMalloc:0", "bad item 'oxrtMalloc:0'"},
      {"OXSIM_FAULT=oxrtMalloc:1,nosuch:2", "bad item 'nosuch:2'"},
  };
  for (const auto& [var, named] : bad) {
    const auto r = RunProbe({"count"}, {var});
    EXPECT_EQ(r.status, 1) << var;
    EXPECT_EQ(r.out, "") << var << ": the call must not go ahead";
    EXPECT_EQ(CountLines(r.err), 1) << var << ": " << r.err;
    EXPECT_EQ(r.err.rfind("oxsim: ", 0), 0u) << r.err;
    EXPECT_NE(r.err.find(named), std::string::npos) << var << ": " << r.err;
  }
  // A process that never calls the simulator is not stopped by a bad knob.
  const auto r = RunProbe({"none"}, {"OXSIM_DEVICE_COUNT=0"});
  EXPECT_EQ(r.status, 0);
}

TEST(Knobs, FaultsApplyInAnotherProcess) {
  const auto r = RunProbe({"malloc", "5"}, {"OXSIM_FAULT=oxrtMalloc:2,oxrtMalloc:5:2"});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out, "3\n");
}

std::string ReadFile(const std::string& path) {
  std::ifstream in(path);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

TEST(CallLog, AppendsTheCallsOfEachProcessAtExit) {
  const std::string path = "/tmp/oxsim_call_log_" + std::to_string(getpid());
  unlink(path.c_str());
  const std::string var = "OXSIM_CALL_LOG=" + path;
  // No simulator call: no line, and no file either.
  EXPECT_EQ(RunProbe({"none"}, {var}).status, 0);
  EXPECT_EQ(access(path.c_str(), F_OK), -1);
  EXPECT_EQ(RunProbe({"malloc", "4"}, {var, "OXSIM_FAULT"}).status, 0);
  EXPECT_EQ(ReadFile(path), "oxrtMalloc 4\n");
  EXPECT_EQ(RunProbe({"count"}, {var, "OXSIM_FAULT"}).status, 0);
  EXPECT_EQ(ReadFile(path), "oxrtMalloc 4\noxrtGetDeviceCount 1\n") << "appended, not replaced";
  unlink(path.c_str());
}

TEST(TimeModel, WaitsLatencyPlusBytesOverRate) {
  // 0.5 GB/s and 300 us: 1 MB takes 2.3 ms.
  const auto start = std::chrono::steady_clock::now();
  oxsim::ModelWait(start, 1e6);
  const double us = std::chrono::duration<double, std::micro>(std::chrono::steady_clock::now() -
                                                              start).count();
  EXPECT_GE(us, 2300.0);
  EXPECT_LT(us, 30000.0);
  // Time already spent counts towards the wait.
  const auto early = std::chrono::steady_clock::now() - std::chrono::milliseconds(50);
  const auto before = std::chrono::steady_clock::now();
  oxsim::ModelWait(early, 1e6);
  EXPECT_LT(std::chrono::steady_clock::now() - before, std::chrono::milliseconds(2));
}

}  // namespace
