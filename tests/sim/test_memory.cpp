// Device memory of the simulated runtime: range checks, capacity, accounting, and the host
// memory that must back it. Runs with OXSIM_DEVICE_COUNT=2 and OXSIM_DEVICE_MEMORY=8M.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/mman.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "oxrt.h"
#include "oxsim.h"

namespace {

constexpr size_t kCapacity = 8u << 20;

// Runs `call`, returning its status and what it wrote to standard error.
template <typename Call>
std::pair<oxrtError_t, std::string> WithStderr(Call call) {
  testing::internal::CaptureStderr();
  const oxrtError_t rc = call();
  return {rc, testing::internal::GetCapturedStderr()};
}

int Lines(const std::string& s) {
  int n = 0;
  for (char c : s) n += c == '\n';
  return n;
}

TEST(DeviceRange, AcceptsEveryRangeInsideOneAllocation) {
  void* p = nullptr;
  ASSERT_EQ(oxrtMalloc(&p, 4096), oxrtSuccess);
  char* c = static_cast<char*>(p);
  EXPECT_EQ(oxrtMemset(c, 7, 4096), oxrtSuccess);
  EXPECT_EQ(oxrtMemset(c + 4095, 9, 1), oxrtSuccess);
  EXPECT_EQ(static_cast<unsigned char>(c[0]), 7);
  EXPECT_EQ(static_cast<unsigned char>(c[4095]), 9);
  // Empty ranges at the start and just past the end are still inside.
  EXPECT_EQ(oxrtMemset(c, 0, 0), oxrtSuccess);
  EXPECT_EQ(oxrtMemset(c + 4096, 0, 0), oxrtSuccess);
  EXPECT_EQ(oxrtFree(p), oxrtSuccess);
}

TEST(DeviceRange, RejectsOverrunWithOneClearLine) {
  void* p = nullptr;
  ASSERT_EQ(oxrtMalloc(&p, 4096), oxrtSuccess);
  char* c = static_cast<char*>(p);
  c[4095] = 1;
  auto [rc, err] = WithStderr([&] { return oxrtMemset(c + 1, 0, 4096); });
  EXPECT_NE(rc, oxrtSuccess);
  EXPECT_EQ(Lines(err), 1) << err;
  EXPECT_NE(err.find("oxrtMemset"), std::string::npos) << err;
  EXPECT_NE(err.find("4096 bytes is not inside a device allocation"), std::string::npos) << err;
  EXPECT_EQ(c[4095], 1) << "a rejected memset must not write";
  // A byte count so large that pointer + count wraps around must not pass either.
  EXPECT_NE(WithStderr([&] { return oxrtMemset(c + 8, 0, SIZE_MAX - 4); }).first, oxrtSuccess);
  EXPECT_EQ(oxrtFree(p), oxrtSuccess);
}

TEST(DeviceRange, RejectsForeignNullAndFreedPointers) {
  std::vector<char> host(64);
  EXPECT_NE(WithStderr([&] { return oxrtMemset(host.data(), 0, 8); }).first, oxrtSuccess);
  EXPECT_NE(WithStderr([&] { return oxrtMemset(nullptr, 0, 8); }).first, oxrtSuccess);
  EXPECT_NE(WithStderr([&] { return oxrtMemset(nullptr, 0, 0); }).first, oxrtSuccess);
  EXPECT_NE(WithStderr([&] { return oxrtFree(host.data()); }).first, oxrtSuccess);
  EXPECT_NE(WithStderr([&] { return oxrtFree(nullptr); }).first, oxrtSuccess);
  EXPECT_EQ(oxrtMalloc(nullptr, 16), oxrtErrorInvalidValue);

  void* p = nullptr;
  ASSERT_EQ(oxrtMalloc(&p, 256), oxrtSuccess);
  EXPECT_NE(WithStderr([&] { return oxrtFree(static_cast<char*>(p) + 1); }).first, oxrtSuccess)
      << "only the start of an allocation can be freed";
  EXPECT_EQ(oxrtFree(p), oxrtSuccess);
  auto [rc, err] = WithStderr([&] { return oxrtFree(p); });
  EXPECT_NE(rc, oxrtSuccess) << "double free";
  EXPECT_EQ(Lines(err), 1) << err;
  EXPECT_NE(WithStderr([&] { return oxrtMemset(p, 0, 1); }).first, oxrtSuccess)
      << "use after free";
}

TEST(DeviceRange, ZeroByteAllocationsAreUniqueAndFreeable) {
  void* a = nullptr;
  void* b = nullptr;
  ASSERT_EQ(oxrtMalloc(&a, 0), oxrtSuccess);
  ASSERT_EQ(oxrtMalloc(&b, 0), oxrtSuccess);
  EXPECT_NE(a, nullptr);
  EXPECT_NE(a, b);
  EXPECT_EQ(oxrtMemset(a, 0, 0), oxrtSuccess);
  EXPECT_NE(WithStderr([&] { return oxrtMemset(a, 0, 1); }).first, oxrtSuccess);
  EXPECT_EQ(oxrtFree(a), oxrtSuccess);
  EXPECT_EQ(oxrtFree(b), oxrtSuccess);
}

TEST(Memcpy, CopiesBothWaysAndChecksTheDevicePointer) {
  void* d = nullptr;
  ASSERT_EQ(oxrtMalloc(&d, 1 << 20), oxrtSuccess);  // large enough for its own mapping
  std::vector<int> in(1 << 18), out(1 << 18, 0);
  for (size_t i = 0; i < in.size(); ++i) in[i] = static_cast<int>(i * 2654435761u);
  ASSERT_EQ(oxrtMemcpy(d, in.data(), 1 << 20, oxrtMemcpyHostToDevice), oxrtSuccess);
  ASSERT_EQ(oxrtMemcpy(out.data(), d, 1 << 20, oxrtMemcpyDeviceToHost), oxrtSuccess);
  EXPECT_EQ(in, out);

  auto [rc, err] = WithStderr(
      [&] { return oxrtMemcpy(d, in.data(), (1 << 20) + 1, oxrtMemcpyHostToDevice); });
  EXPECT_NE(rc, oxrtSuccess);
  EXPECT_NE(err.find("destination range"), std::string::npos) << err;
  rc = WithStderr([&] {
         return oxrtMemcpy(out.data(), static_cast<char*>(d) + 4, 1 << 20,
                           oxrtMemcpyDeviceToHost);
       }).first;
  EXPECT_NE(rc, oxrtSuccess);
  EXPECT_EQ(oxrtFree(d), oxrtSuccess);
}

// Large copies into device memory, and runs of copies that carry on one another, take a
// streaming path with ragged ends; device copies whose ranges overlap must still come out as
// memmove would make them, in both directions.
TEST(Memcpy, LargeCopiesAreExactAtEveryAlignmentAndOverlap) {
  const size_t bytes = (1 << 20) + 37;
  void* d = nullptr;
  ASSERT_EQ(oxrtMalloc(&d, 3 << 20), oxrtSuccess);
  char* dev = static_cast<char*>(d);
  std::vector<char> in(bytes + 64), out(bytes), want(3 << 20);
  for (size_t i = 0; i < in.size(); ++i) in[i] = static_cast<char>(i * 131 + i / 977);
  for (size_t shift : {size_t{0}, size_t{1}, size_t{15}, size_t{33}}) {
    ASSERT_EQ(oxrtMemcpy(dev + shift, in.data() + 7, bytes, oxrtMemcpyHostToDevice), oxrtSuccess);
    ASSERT_EQ(oxrtMemcpy(out.data(), dev + shift, bytes, oxrtMemcpyDeviceToHost), oxrtSuccess);
    ASSERT_EQ(std::memcmp(out.data(), in.data() + 7, bytes), 0) << "shift " << shift;
  }
  // A run of pieces, each one carrying on where the last ended, passes from cached copies to
  // streamed ones after its first MiB.
  for (size_t piece : {size_t{4099}, size_t{65536}}) {
    std::memset(out.data(), 0, bytes);
    for (size_t at = 0; at < bytes; at += piece) {
      const size_t m = std::min(piece, bytes - at);
      ASSERT_EQ(oxrtMemcpy(dev + 3 + at, in.data() + at, m, oxrtMemcpyHostToDevice), oxrtSuccess);
    }
    ASSERT_EQ(oxrtMemcpy(out.data(), dev + 3, bytes, oxrtMemcpyDeviceToHost), oxrtSuccess);
    ASSERT_EQ(std::memcmp(out.data(), in.data(), bytes), 0) << "piece " << piece;
  }
  for (long move : {4099L, -4099L, 1L << 20, -(1L << 20) - 3}) {
    const size_t from = move > 0 ? 5 : (1 << 20) + 200, to = from + move;
    ASSERT_EQ(oxrtMemcpy(dev, in.data(), bytes, oxrtMemcpyHostToDevice), oxrtSuccess);
    ASSERT_EQ(oxrtMemcpy(want.data(), dev, 3 << 20, oxrtMemcpyDeviceToHost), oxrtSuccess);
    std::memmove(want.data() + to, want.data() + from, bytes);
    ASSERT_EQ(oxrtMemcpy(dev + to, dev + from, bytes, oxrtMemcpyDeviceToDevice), oxrtSuccess);
    std::vector<char> got(3 << 20);
    ASSERT_EQ(oxrtMemcpy(got.data(), dev, 3 << 20, oxrtMemcpyDeviceToHost), oxrtSuccess);
    ASSERT_TRUE(got == want) << "move " << move;
  }
  EXPECT_EQ(oxrtFree(d), oxrtSuccess);
}

TEST(Memcpy, RejectsADirectionThatDoesNotMatchThePointers) {
  void* d = nullptr;
  void* e = nullptr;
  ASSERT_EQ(oxrtMalloc(&d, 64), oxrtSuccess);
  ASSERT_EQ(oxrtMalloc(&e, 64), oxrtSuccess);
  std::vector<char> host(64, 5);
  // Host and device pointers swapped for the direction given.
  EXPECT_NE(WithStderr([&] { return oxrtMemcpy(host.data(), d, 64, oxrtMemcpyHostToDevice); })
                .first, oxrtSuccess);
  EXPECT_NE(WithStderr([&] { return oxrtMemcpy(d, host.data(), 64, oxrtMemcpyDeviceToHost); })
                .first, oxrtSuccess);
  EXPECT_NE(WithStderr([&] { return oxrtMemcpy(d, e, 64, oxrtMemcpyHostToHost); }).first,
            oxrtSuccess);
  EXPECT_EQ(WithStderr([&] {
              return oxrtMemcpy(d, host.data(), 64, static_cast<oxrtMemcpyKind>(9));
            }).first, oxrtErrorInvalidMemcpyDirection);
  EXPECT_EQ(oxrtMemcpy(e, d, 64, oxrtMemcpyDeviceToDevice), oxrtSuccess);
  // Host memory may begin exactly where a device block ends: that address is not device memory.
  EXPECT_EQ(oxrtMemcpy(static_cast<char*>(d) + 64, d, 0, oxrtMemcpyDeviceToHost), oxrtSuccess);
  EXPECT_EQ(WithStderr([&] { return oxrtMemcpy(nullptr, d, 8, oxrtMemcpyDeviceToHost); }).first,
            oxrtErrorInvalidValue);
  EXPECT_EQ(oxrtFree(d), oxrtSuccess);
  EXPECT_EQ(oxrtFree(e), oxrtSuccess);
}

TEST(Capacity, MemGetInfoFollowsAllocationsPerCard) {
  ASSERT_EQ(oxrtSetDevice(0), oxrtSuccess);
  size_t free0 = 0, total0 = 0;
  ASSERT_EQ(oxrtMemGetInfo(&free0, &total0), oxrtSuccess);
  EXPECT_EQ(total0, kCapacity);
  EXPECT_EQ(free0, kCapacity);
  void* a = nullptr;
  ASSERT_EQ(oxrtMalloc(&a, 3u << 20), oxrtSuccess);
  size_t free_bytes = 0, total = 0;
  ASSERT_EQ(oxrtMemGetInfo(&free_bytes, &total), oxrtSuccess);
  EXPECT_EQ(free_bytes, kCapacity - (3u << 20));

  // The other card is untouched, and its allocations are its own.
  ASSERT_EQ(oxrtSetDevice(1), oxrtSuccess);
  ASSERT_EQ(oxrtMemGetInfo(&free_bytes, &total), oxrtSuccess);
  EXPECT_EQ(free_bytes, kCapacity);
  void* b = nullptr;
  ASSERT_EQ(oxrtMalloc(&b, 1000), oxrtSuccess);
  int card = -1;
  EXPECT_TRUE(oxsim::FindRange(b, 1000, &card));
  EXPECT_EQ(card, 1);
  ASSERT_EQ(oxrtMemGetInfo(&free_bytes, &total), oxrtSuccess);
  EXPECT_EQ(free_bytes, kCapacity - 1000);
  EXPECT_EQ(oxrtFree(b), oxrtSuccess);

  ASSERT_EQ(oxrtSetDevice(0), oxrtSuccess);
  EXPECT_EQ(oxrtFree(a), oxrtSuccess);
  ASSERT_EQ(oxrtMemGetInfo(&free_bytes, &total), oxrtSuccess);
  EXPECT_EQ(free_bytes, kCapacity);
  EXPECT_EQ(oxrtMemGetInfo(nullptr, &total), oxrtErrorInvalidValue);
}

TEST(Capacity, AllocationBeyondTheCardFails) {
  ASSERT_EQ(oxrtSetDevice(0), oxrtSuccess);
  void* a = nullptr;
  ASSERT_EQ(oxrtMalloc(&a, kCapacity), oxrtSuccess) << "the whole card can be taken";
  void* b = nullptr;
  auto [rc, err] = WithStderr([&] { return oxrtMalloc(&b, 1); });
  EXPECT_EQ(rc, oxrtErrorMemoryAllocation);
  EXPECT_EQ(Lines(err), 1) << err;
  EXPECT_EQ(oxrtFree(a), oxrtSuccess);
  EXPECT_EQ(WithStderr([&] { return oxrtMalloc(&b, kCapacity + 1); }).first,
            oxrtErrorMemoryAllocation);
  EXPECT_EQ(WithStderr([&] { return oxrtMalloc(&b, SIZE_MAX); }).first,
            oxrtErrorMemoryAllocation);
}

TEST(Capacity, ConcurrentAllocationsNeverOvershoot) {
  // Four threads race for 1 MiB blocks of an 8 MiB card: exactly eight can succeed.
  std::atomic<int> granted{0};
  std::vector<std::vector<void*>> held(4);
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < 6; ++i) {
        void* p = nullptr;
        if (oxsim::DeviceAlloc(0, 1u << 20, &p)) {
          ++granted;
          held[t].push_back(p);
        }
      }
    });
  }
  for (auto& th : threads) th.join();
  EXPECT_EQ(granted.load(), 8);
  for (auto& list : held)
    for (void* p : list) EXPECT_TRUE(oxsim::DeviceFree(p));
  uint64_t used = 1, total = 0;
  ASSERT_TRUE(oxsim::CardUsage(0, &used, &total));
  EXPECT_EQ(used, 0u);
}

TEST(Device, CurrentCardIsPerThreadAndChecked) {
  unsigned int count = 0;
  ASSERT_EQ(oxrtGetDeviceCount(&count), oxrtSuccess);
  EXPECT_EQ(count, 2u);
  EXPECT_EQ(oxrtGetDeviceCount(nullptr), oxrtErrorInvalidValue);
  ASSERT_EQ(oxrtSetDevice(1), oxrtSuccess);
  int other = -1;
  std::thread([&] { oxrtGetDevice(&other); }).join();
  EXPECT_EQ(other, 0) << "a new thread starts on card 0";
  int mine = -1;
  ASSERT_EQ(oxrtGetDevice(&mine), oxrtSuccess);
  EXPECT_EQ(mine, 1);
  EXPECT_EQ(WithStderr([] { return oxrtSetDevice(2); }).first, oxrtErrorInvalidDevice);
  EXPECT_EQ(WithStderr([] { return oxrtSetDevice(-1); }).first, oxrtErrorInvalidDevice);
  ASSERT_EQ(oxrtGetDevice(&mine), oxrtSuccess);
  EXPECT_EQ(mine, 1) << "a failed selection keeps the card";
}

// Another process maps a device range through /proc/<pid>/fd/<fd>; mapping it here the same
// way must show the very bytes behind the device pointer, and writes must go both ways.
TEST(SharedMemory, LargeBlocksAreMemoryFilesOnceSharingIsOn) {
  void* before = nullptr;
  ASSERT_EQ(oxrtMalloc(&before, 1 << 20), oxrtSuccess);
  oxsim::SharedRange range;
  EXPECT_FALSE(oxsim::FindSharedRange(before, 16, &range)) << "sharing is off by default";

  oxsim::ShareDeviceMemory();
  void* small = nullptr;
  void* big = nullptr;
  ASSERT_EQ(oxrtMalloc(&small, 1024), oxrtSuccess);
  ASSERT_EQ(oxrtMalloc(&big, (3 << 20) + 100), oxrtSuccess);
  EXPECT_FALSE(oxsim::FindSharedRange(small, 16, &range)) << "small blocks live on the heap";
  char* p = static_cast<char*>(big);
  std::memset(p, 0x5a, (3 << 20) + 100);
  ASSERT_TRUE(oxsim::FindSharedRange(p + 4096 + 7, 1000, &range));
  EXPECT_EQ(range.offset, 4096u + 7);
  EXPECT_GE(range.file_bytes, (3u << 20) + 100);
  EXPECT_FALSE(oxsim::FindSharedRange(p + 4096, 3 << 20, &range)) << "runs past the block";
  ASSERT_TRUE(oxsim::FindSharedRange(p, 0, &range));

  const std::string path = "/proc/self/fd/" + std::to_string(range.fd);
  const int fd = open(path.c_str(), O_RDWR);
  ASSERT_GE(fd, 0);
  char* view = static_cast<char*>(
      mmap(nullptr, range.file_bytes, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0));
  close(fd);
  ASSERT_NE(view, MAP_FAILED);
  EXPECT_EQ(view[0], 0x5a);
  EXPECT_EQ(view[(3 << 20) + 99], 0x5a);
  view[12345] = 0x11;
  EXPECT_EQ(p[12345], 0x11);
  munmap(view, range.file_bytes);

  // A second block gets its own file and serial.
  void* other = nullptr;
  ASSERT_EQ(oxrtMalloc(&other, 1 << 20), oxrtSuccess);
  oxsim::SharedRange second;
  ASSERT_TRUE(oxsim::FindSharedRange(other, 1, &second));
  EXPECT_NE(second.fd, range.fd);
  EXPECT_NE(second.serial, range.serial);
  for (void* ptr : {before, small, big, other}) EXPECT_EQ(oxrtFree(ptr), oxrtSuccess);
}

TEST(ErrorNames, EveryCodeHasAName) {
  for (int code = 0; code <= oxrtErrorUnknown; ++code) {
    const char* name = oxrtGetErrorName(static_cast<oxrtError_t>(code));
    ASSERT_NE(name, nullptr);
    EXPECT_EQ(std::string(name).rfind("oxrt", 0), 0u) << name;
  }
  EXPECT_STREQ(oxrtGetErrorName(oxrtErrorInvalidValue), "oxrtErrorInvalidValue");
  EXPECT_NE(oxrtGetErrorName(static_cast<oxrtError_t>(12345)), nullptr);
  EXPECT_NE(oxrtGetErrorName(static_cast<oxrtError_t>(-1)), nullptr);
  int major = 0, minor = 0, patch = 0;
  EXPECT_EQ(oxrtGetLibVersion(&major, &minor, &patch), oxrtSuccess);
  EXPECT_EQ(oxrtGetLibVersion(&major, nullptr, &patch), oxrtErrorInvalidValue);
}

TEST(HostBacking, CardCapacityIsCheckedFirst) {
  // On a small card the per-card message stays, however far beyond the host the request is.
  ASSERT_EQ(oxrtSetDevice(0), oxrtSuccess);
  void* p = nullptr;
  auto [rc, err] = WithStderr([&] { return oxrtMalloc(&p, SIZE_MAX / 2); });
  EXPECT_EQ(rc, oxrtErrorMemoryAllocation);
  EXPECT_NE(err.find("do not fit on card 0"), std::string::npos) << err;
  EXPECT_EQ(err.find("host memory"), std::string::npos) << err;
}

// The refusal needs cards larger than the host, so it runs in a child of this binary started
// with 1 PiB cards; this process has 8 MiB cards.
constexpr const char* kChildMark = "OX_TEST_HOST_BACKING_CHILD";

void CheckHostBackingInHugeCards() {
  const uint64_t backable = oxsim::HostBackableBytes();
  ASSERT_NE(backable, UINT64_MAX);
  ASSERT_EQ(oxrtSetDevice(0), oxrtSuccess);
  // Beyond the host: one clear line, nothing granted, the card's accounting untouched.
  void* p = reinterpret_cast<void*>(1);
  const size_t beyond = backable + (1ull << 30);
  auto [rc, err] = WithStderr([&] { return oxrtMalloc(&p, beyond); });
  EXPECT_EQ(rc, oxrtErrorMemoryAllocation);
  EXPECT_EQ(p, nullptr);
  EXPECT_EQ(Lines(err), 1) << err;
  EXPECT_NE(err.find("oxsim: oxrtMalloc: " + std::to_string(beyond) +
                     " bytes on card 0 exceed the host memory that can back them"),
            std::string::npos)
      << err;
  size_t free_bytes = 0, total = 0;
  ASSERT_EQ(oxrtMemGetInfo(&free_bytes, &total), oxrtSuccess);
  EXPECT_EQ(free_bytes, total);
  // Half is granted (untouched, it costs nothing yet) and counts for every card of the
  // process; once freed it is given back.
  void* half = nullptr;
  ASSERT_EQ(oxrtMalloc(&half, backable / 2), oxrtSuccess);
  ASSERT_EQ(oxrtSetDevice(1), oxrtSuccess);
  void* more = nullptr;
  EXPECT_EQ(WithStderr([&] { return oxrtMalloc(&more, backable / 2 + backable / 4); }).first,
            oxrtErrorMemoryAllocation);
  EXPECT_EQ(oxrtFree(half), oxrtSuccess);
  ASSERT_EQ(oxrtMalloc(&more, backable / 2 + backable / 4), oxrtSuccess);
  EXPECT_EQ(oxrtFree(more), oxrtSuccess);
}

TEST(HostBacking, RefusesWhatTheHostCannotBack) {
  if (std::getenv(kChildMark) != nullptr) {
    CheckHostBackingInHugeCards();
    return;
  }
  char log_name[] = "/tmp/oxsim_host_backing_XXXXXX";
  const int log = mkstemp(log_name);
  ASSERT_GE(log, 0);
  // Everything the child needs is made before the fork: it only redirects and executes.
  std::vector<std::string> env = {std::string(kChildMark) + "=1",
                                  "OXSIM_DEVICE_MEMORY=1048576G", "OXSIM_DEVICE_COUNT=2"};
  for (char** e = environ; *e != nullptr; ++e) {
    const std::string item = *e;
    if (item.rfind("OXSIM_DEVICE_", 0) != 0 && item.rfind(kChildMark, 0) != 0) env.push_back(item);
  }
  std::vector<char*> envp;
  for (std::string& item : env) envp.push_back(item.data());
  envp.push_back(nullptr);
  char arg0[] = "test_sim_memory";
  char filter[] = "--gtest_filter=HostBacking.RefusesWhatTheHostCannotBack";
  char* argv[] = {arg0, filter, nullptr};
  const pid_t pid = fork();
  if (pid == 0) {
    dup2(log, 1);
    dup2(log, 2);
    execve("/proc/self/exe", argv, envp.data());
    _exit(127);
  }
  int status = 0;
  ASSERT_EQ(waitpid(pid, &status, 0), pid);
  std::ifstream in(log_name);
  std::stringstream text;
  text << in.rdbuf();
  close(log);
  unlink(log_name);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << text.str();
  EXPECT_NE(text.str().find("[  PASSED  ] 1 test"), std::string::npos) << text.str();
}

}  // namespace
