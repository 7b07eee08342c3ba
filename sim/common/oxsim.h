// Shared state of the host simulator (liboxsim.so): environment knobs, the device allocation
// table, fault injection, call counting and the time model. Every simulated vendor library
// links this one library, so a process has exactly one of each.
#ifndef OX_SIM_COMMON_OXSIM_H_
#define OX_SIM_COMMON_OXSIM_H_

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace oxsim {

// ---- environment knobs (read once) ----
int DeviceCount();                  // OXSIM_DEVICE_COUNT, default 8
const std::string& CardName();      // OXSIM_CARD_NAME, default "OPU-SIM"
uint64_t DeviceMemory();            // OXSIM_DEVICE_MEMORY, default 16G, per card
double LinkGbps();                  // OXSIM_LINK_GBPS, 0 when unset
double LinkLatencyUs();             // OXSIM_LINK_LATENCY_US, 0 when unset
// OXSIM_PEER_ACCESS, default 1: processes of one host may read and write each other's device
// memory directly; 0 sends everything between processes as MPI messages.
bool PeerAccess();
// OXSIM_PEER_MAP, default 1: with peer access, device memory is made of memory files that the
// other processes map; 0 keeps it anonymous, so that they reach it only through kernel copies
// (the path of buffers that cannot be mapped).
bool PeerMap();
// int8/uint8 reductions saturate on these cards and wrap elsewhere.
bool SaturatingCard();              // card name contains "OPU150" or "OPU190"

// Prints one line "oxsim: <text>" on standard error.
void Complain(const char* format, ...) __attribute__((format(printf, 1, 2)));

// Reads and checks every knob and OXSIM_FAULT once; a bad value ends the process with status 1
// and one line naming it. Every entry point calls it on first use.
void CheckEnvironment();

// Writes the PCI bus identifier of a card ("0000:1a:00.0") into buf; false when the card is
// invalid or the buffer (len bytes with the terminator) is too small.
bool PciBusId(int card, char* buf, size_t len);
// Returns the card of a bus identifier that PciBusId produces, or -1.
int CardFromPciBusId(const char* bus_id);

// ---- entry points: call counting and injected failures ----
// One static object per simulated entry point:
//   static oxsim::EntryPoint ep("oxrtMalloc");
//   if (int code = ep.Enter(oxrtErrorUnknown)) return (oxrtError_t)code;
class EntryPoint {
 public:
  explicit EntryPoint(const char* name);
  // Keeps the count for the call log when the object goes away (library unloaded, exit).
  ~EntryPoint();
  EntryPoint(const EntryPoint&) = delete;
  EntryPoint& operator=(const EntryPoint&) = delete;
  // Counts the call; returns the injected code of this call (default_code when the fault item
  // names none), or 0 when the call goes ahead.
  int Enter(int default_code) { return Enter(default_code, default_code); }
  // The same; a call that a `hang:` item names first waits here until a communicator of the
  // process is aborted (see AwaitRelease), then returns `released_code`. With `deferred`, such a
  // call returns 0 at once with *deferred set, and the caller makes its work never finish
  // instead (a collective placed on a queue).
  int Enter(int default_code, int released_code, bool* deferred = nullptr);
  const char* name() const { return name_; }
  uint64_t calls() const { return calls_.load(std::memory_order_relaxed); }

 private:
  const char* name_;
  std::atomic<uint64_t> calls_{0};
  int fault_index_ = -1;  // first fault item naming this entry point, -1 when none
};

// How a `corrupt:` item changes its element (the KIND field; kFar when it is left out).
enum class CorruptKind { kFar, kBit, kUlp, kZero, kNan, kDrop };
struct CorruptHow {
  CorruptKind kind = CorruptKind::kFar;
  unsigned bit = 0;  // kBit: the bit flipped, 0 = least significant
};

// `corrupt:NAME:N[:RANK[:INDEX[:KIND]]]`: called by a collective after its call completes on
// the communicator of global rank `rank`. Returns true (with the element index and, when `how`
// is given, the kind) when this call's receive buffer must be corrupted.
bool CorruptAfter(const char* collective, int rank, uint64_t* index, CorruptHow* how = nullptr);
// The element indices of the `drop` items for NAME on `rank`: the elements whose value before
// the call must be kept, since a drop restores it after the call.
std::vector<uint64_t> DropIndices(const char* collective, int rank);
// Called with the rank count of every communicator that completes a call: a `corrupt:` rank
// at or beyond every count seen belongs to no communicator of the run.
void NoteRankCount(int nranks);
// One line per OXSIM_FAULT item that has not fired in this process (a `corrupt:` item only
// when its rank is here, or is no rank of any communicator here); also said on standard error
// at exit.
std::vector<std::string> UnfiredFaults();

// `hang:NAME:N`: a hung call waits until oxclAbortComm of any live communicator of this
// process releases it, whatever the call (queue syncs, MPI calls and communicator set-up
// belong to no one communicator). A release is for good: hung calls that come later return
// their abort error at once, as calls on an aborted communicator do.
// Blocks the calling thread until the first release; returns at once after it.
void AwaitRelease();
// True once a release has happened.
bool HangsReleased();
// Releases every hung call of the process, now and later.
void ReleaseHangs();

// Parses an OXSIM_FAULT value; false with a reason on a malformed value. Exposed for tests.
struct FaultItem {
  bool corrupt = false;
  bool hang = false;
  std::string name;
  uint64_t nth = 0;        // 0 means '*' (every call), only for corrupt and hang items
  bool has_code = false;
  int code = 0;
  int rank = 0;
  uint64_t index = 0;
  CorruptHow how;
};
bool ParseFaults(const std::string& text, std::vector<FaultItem>* items, std::string* error);

// Calls so far of the entry point NAME in this process (all its objects, live or gone).
uint64_t CallCount(const std::string& name);

// ---- device memory ----
// Allocates bytes on card `card` against its capacity and against the host memory that can
// back it. Returns false when the card is invalid or full, or when the device memory live in
// this process plus `bytes` exceeds what the host can back; in that last case `*host_short`
// (when given) says so, with the figures. Zero bytes still yield a unique, freeable pointer.
struct HostShortage {
  bool refused = false;
  uint64_t live = 0;      // device bytes live in this process before the request
  uint64_t backable = 0;  // device bytes the host can back (see HostBackableBytes)
};
bool DeviceAlloc(int card, size_t bytes, void** ptr, HostShortage* host_short = nullptr);
// Device bytes this process can hold in host memory now: available memory and free swap
// (/proc/meminfo), plus what the process already holds resident (its touched device memory
// among it), less a reserve for the host side of the run. UINT64_MAX when unknown.
uint64_t HostBackableBytes();
// The reserve HostBackableBytes keeps for host buffers, libraries and threads.
constexpr uint64_t kHostReserveBytes = 256ull << 20;
// Frees a pointer returned by DeviceAlloc; false when it is not the start of a live allocation.
bool DeviceFree(void* ptr);
// True when [ptr, ptr + bytes) lies inside one live allocation; *card receives its card.
bool FindRange(const void* ptr, size_t bytes, int* card);
// FindRange with a complaint: false after one line on standard error, e.g.
// "oxsim: oxrtMemcpy: destination range 0x... + 8 bytes is not inside a device allocation".
bool CheckDeviceRange(const char* entry, const char* role, const void* ptr, size_t bytes,
                      int* card = nullptr);
// From now on, large device allocations are memory files that other processes of this host
// can map (a clique spanning such processes turns this on). Until then they are anonymous
// memory, which may use huge pages.
void ShareDeviceMemory();
// Where another process can map a device range from: the memory file (open in this process,
// reachable as /proc/<pid>/fd/<fd>), the allocation's serial number (unique in the process),
// the range's offset in the file and the file's size. False for ranges of allocations that
// are not shareable.
struct SharedRange {
  int fd = -1;
  uint64_t serial = 0;
  uint64_t offset = 0;
  uint64_t file_bytes = 0;
};
bool FindSharedRange(const void* ptr, size_t bytes, SharedRange* out);
// Bytes in use and capacity of a card; false when the card is invalid.
bool CardUsage(int card, uint64_t* used, uint64_t* total);

// ---- time model ----
// Sleeps until `start` + latency + bus_bytes / rate when OXSIM_LINK_GBPS is set. With only
// OXSIM_LINK_LATENCY_US set, the latency alone; with neither, returns at once.
void ModelWait(std::chrono::steady_clock::time_point start, double bus_bytes);

}  // namespace oxsim

#endif  // OX_SIM_COMMON_OXSIM_H_
