// Test harness over the library's public interface: cliques of n ranks in this process,
// device buffers, one thread per rank, queues.
#ifndef OX_TESTS_SIM_CL_HARNESS_H_
#define OX_TESTS_SIM_CL_HARNESS_H_

#include <functional>
#include <vector>

#include "oxcl.h"
#include "oxrt.h"

namespace oxcl_test {

// A device allocation on one card, freed on destruction.
class DeviceBuffer {
 public:
  DeviceBuffer() = default;
  DeviceBuffer(int card, size_t bytes);
  ~DeviceBuffer();
  DeviceBuffer(DeviceBuffer&& other) noexcept;
  DeviceBuffer& operator=(DeviceBuffer&& other) noexcept;
  DeviceBuffer(const DeviceBuffer&) = delete;
  DeviceBuffer& operator=(const DeviceBuffer&) = delete;

  unsigned char* data() const { return static_cast<unsigned char*>(ptr_); }
  size_t size() const { return bytes_; }
  // Copies between host and device through the runtime (checked with gtest assertions).
  void Write(size_t offset, const void* src, size_t bytes);
  void Read(size_t offset, void* dst, size_t bytes) const;
  std::vector<unsigned char> ReadAll() const;
  void Fill(unsigned char byte);

 private:
  void* ptr_ = nullptr;
  size_t bytes_ = 0;
};

// Which process holds rank r of an n-rank clique. One process holds them all, unless the
// tests run under an MPI launcher (the build with OXCL_TEST_MPI): then the ranks are dealt to
// the processes in blocks, or round-robin when OXCL_TEST_PLACEMENT=cyclic.
int OwnerOf(int n, int r);
// True when this process holds rank r.
bool Mine(int n, int r);

// n communicators of one clique, rank r on card r mod the card count; destroyed on destruction.
// Only this process's ranks have a communicator (comm(r) is null for the others).
class Clique {
 public:
  explicit Clique(int n);
  ~Clique();
  Clique(const Clique&) = delete;
  Clique& operator=(const Clique&) = delete;

  int size() const { return static_cast<int>(comms_.size()); }
  oxclComm* comm(int r) const { return comms_[r]; }
  int card(int r) const { return cards_[r]; }
  // Destroys every communicator now (the destructor then does nothing).
  oxclResult_t Destroy();

 private:
  std::vector<oxclComm*> comms_;
  std::vector<int> cards_;
};

// One queue per rank of this process, on the rank's card; destroyed on destruction.
class Queues {
 public:
  explicit Queues(const Clique& clique);
  ~Queues();
  oxrtQueue_t operator[](int r) const { return queues_[r]; }
  // Syncs every queue; returns the first error.
  oxrtError_t SyncAll();

 private:
  std::vector<oxrtQueue_t> queues_;
};

// Runs body(r) on one thread per rank of this process at once and returns the results by
// rank (oxclSuccess for ranks of other processes).
std::vector<oxclResult_t> OnEachRank(int n, const std::function<oxclResult_t(int)>& body);

// Card count the runtime reports.
int CardCount();

}  // namespace oxcl_test

#endif  // OX_TESTS_SIM_CL_HARNESS_H_
