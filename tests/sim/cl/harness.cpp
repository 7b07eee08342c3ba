#include "harness.h"

#include <gtest/gtest.h>

#include <thread>
#include <utility>

namespace oxcl_test {

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
  EXPECT_EQ(oxclGetCliqueId(&id), oxclSuccess);
  std::vector<int> ranks(n);
  const int cards = CardCount();
  for (int r = 0; r < n; ++r) {
    ranks[r] = r;
    cards_[r] = r % cards;
  }
  EXPECT_EQ(oxclInitComms(comms_.data(), n, cards_.data(), ranks.data(), n, id), oxclSuccess);
}

oxclResult_t Clique::Destroy() {
  if (comms_.empty() || comms_[0] == nullptr) return oxclSuccess;
  const oxclResult_t rc = oxclDestroyComms(comms_.data(), size());
  for (oxclComm*& comm : comms_) comm = nullptr;
  return rc;
}

Clique::~Clique() { EXPECT_EQ(Destroy(), oxclSuccess); }

Queues::Queues(const Clique& clique) : queues_(clique.size(), nullptr) {
  for (int r = 0; r < clique.size(); ++r) {
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
    const oxrtError_t rc = oxrtQueueSync(q);
    if (first == oxrtSuccess) first = rc;
  }
  return first;
}

std::vector<oxclResult_t> OnEachRank(int n, const std::function<oxclResult_t(int)>& body) {
  std::vector<oxclResult_t> results(n, oxclInternalError);
  std::vector<std::thread> threads;
  threads.reserve(n);
  for (int r = 0; r < n; ++r) threads.emplace_back([&, r] { results[r] = body(r); });
  for (std::thread& t : threads) t.join();
  return results;
}

}  // namespace oxcl_test
