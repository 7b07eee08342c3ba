// liboxmpi_wrapper.so over the system MPI. Handles carry the MPI library's own handles as
// opaque values; a process started without a launcher runs as a group of one.
#include "oxmpi_wrapper.h"

#include <mpi.h>

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <type_traits>

#include "oxsim.h"

namespace {

// MPI handles are pointers in Open MPI and integers elsewhere; both fit in a void*.
template <typename Handle>
void* ToOpaque(Handle h) {
  static_assert(sizeof(Handle) <= sizeof(void*), "MPI handle wider than a pointer");
  void* opaque = nullptr;
  memcpy(&opaque, &h, sizeof(h));
  return opaque;
}

template <typename Handle>
Handle FromOpaque(void* opaque) {
  Handle h;
  memcpy(&h, &opaque, sizeof(h));
  return h;
}

// A process that no launcher started is a group of one, and MPI is not started for it: its
// singleton start-up spawns a helper process and takes a few hundred milliseconds, which every
// run of a program would pay for nothing. OXSIM_MPI_SINGLETON=1 starts MPI all the same.
enum SoloState { kNotSolo, kSoloRunning, kSoloFinalised };
std::atomic<int> solo{kNotSolo};

bool Solo() { return solo.load() != kNotSolo; }

bool StartedByLauncher() {
  for (const char* name : {"OMPI_COMM_WORLD_SIZE", "PMIX_RANK", "PMI_RANK", "PMI_SIZE"})
    if (getenv(name)) return true;
  const char* forced = getenv("OXSIM_MPI_SINGLETON");
  return forced && strcmp(forced, "1") == 0;
}

// True when MPI may be called now; otherwise says why once per call.
bool Usable(const char* entry) {
  int initialised = 0, finalised = 0;
  if (Solo()) {
    initialised = 1;
    finalised = solo.load() == kSoloFinalised;
  } else {
    MPI_Initialized(&initialised);
    MPI_Finalized(&finalised);
  }
  if (initialised && !finalised) return true;
  oxsim::Complain("%s: MPI is %s", entry, finalised ? "already finalised" : "not initialised");
  return false;
}

// A default-made handle holds null, which no MPI handle of Open MPI is.
bool Valid(const char* entry, const char* what, void* handle) {
  if (handle) return true;
  oxsim::Complain("%s: null %s handle", entry, what);
  return false;
}

// A group of one knows only the world communicator.
bool SoloComm(const char* entry, void* handle) {
  if (FromOpaque<MPI_Comm>(handle) == MPI_COMM_WORLD) return true;
  oxsim::Complain("%s: unknown communicator in a process without a launcher", entry);
  return false;
}

// Bytes of one element of the datatypes a group of one copies; 0 for any other.
size_t SoloTypeSize(void* handle) {
  const MPI_Datatype type = FromOpaque<MPI_Datatype>(handle);
  if (type == MPI_BYTE) return 1;
  if (type == MPI_UNSIGNED_LONG) return sizeof(unsigned long);
  return 0;
}

#define OXMPI_ENTER(name)                                 \
  static oxsim::EntryPoint entry_point(name);             \
  if (int injected = entry_point.Enter(MPI_ERR_INTERN))   \
  return injected

}  // namespace

const OxMpiObj& OxMpiObj::Get() {
  // The constants are link-time values, valid before MPI_Init.
  static const OxMpiObj obj = [] {
    OxMpiObj o;
    o.comm_world = OX_MPI_Comm(ToOpaque(MPI_COMM_WORLD));
    o.byte_type = OX_MPI_Datatype(ToOpaque(MPI_BYTE));
    o.datatype_null = OX_MPI_Datatype(ToOpaque(MPI_DATATYPE_NULL));
    o.unsigned_long_type = OX_MPI_Datatype(ToOpaque(MPI_UNSIGNED_LONG));
    o.sum_op = OX_MPI_Op(ToOpaque(MPI_SUM));
    o.in_place = MPI_IN_PLACE;
    return o;
  }();
  return obj;
}

int OX_MPI_Init(int* argc, char*** argv) {
  OXMPI_ENTER("OX_MPI_Init");
  int initialised = 0, finalised = 0;
  MPI_Initialized(&initialised);
  MPI_Finalized(&finalised);
  if (finalised || solo.load() == kSoloFinalised) {
    oxsim::Complain("OX_MPI_Init: MPI was finalised and cannot start again");
    return MPI_ERR_OTHER;
  }
  // Another part of the process (or a test) may have started MPI already.
  if (initialised || solo.load() == kSoloRunning) return MPI_SUCCESS;
  if (!StartedByLauncher()) {
    solo.store(kSoloRunning);
    return MPI_SUCCESS;
  }
  int provided = MPI_THREAD_SINGLE;
  // The collective library sends from its own threads.
  const int rc = MPI_Init_thread(argc, argv, MPI_THREAD_MULTIPLE, &provided);
  if (rc == MPI_SUCCESS && provided < MPI_THREAD_MULTIPLE)
    oxsim::Complain("OX_MPI_Init: MPI gives thread level %d, not MPI_THREAD_MULTIPLE", provided);
  return rc;
}

int OX_MPI_Finalize() {
  OXMPI_ENTER("OX_MPI_Finalize");
  // A second finalize would abort inside MPI; refuse it with a code instead.
  if (!Usable("OX_MPI_Finalize")) return MPI_ERR_OTHER;
  if (Solo()) {
    solo.store(kSoloFinalised);
    return MPI_SUCCESS;
  }
  return MPI_Finalize();
}

int OX_MPI_Comm_size(OX_MPI_Comm comm, int* size) {
  OXMPI_ENTER("OX_MPI_Comm_size");
  if (!Valid("OX_MPI_Comm_size", "communicator", comm.handle())) return MPI_ERR_COMM;
  if (!size) return MPI_ERR_ARG;
  if (!Usable("OX_MPI_Comm_size")) return MPI_ERR_OTHER;
  if (Solo()) {
    if (!SoloComm("OX_MPI_Comm_size", comm.handle())) return MPI_ERR_COMM;
    *size = 1;
    return MPI_SUCCESS;
  }
  return MPI_Comm_size(FromOpaque<MPI_Comm>(comm.handle()), size);
}

int OX_MPI_Comm_rank(OX_MPI_Comm comm, int* rank) {
  OXMPI_ENTER("OX_MPI_Comm_rank");
  if (!Valid("OX_MPI_Comm_rank", "communicator", comm.handle())) return MPI_ERR_COMM;
  if (!rank) return MPI_ERR_ARG;
  if (!Usable("OX_MPI_Comm_rank")) return MPI_ERR_OTHER;
  if (Solo()) {
    if (!SoloComm("OX_MPI_Comm_rank", comm.handle())) return MPI_ERR_COMM;
    *rank = 0;
    return MPI_SUCCESS;
  }
  return MPI_Comm_rank(FromOpaque<MPI_Comm>(comm.handle()), rank);
}

int OX_MPI_Barrier(OX_MPI_Comm comm) {
  OXMPI_ENTER("OX_MPI_Barrier");
  if (!Valid("OX_MPI_Barrier", "communicator", comm.handle())) return MPI_ERR_COMM;
  if (!Usable("OX_MPI_Barrier")) return MPI_ERR_OTHER;
  if (Solo()) return SoloComm("OX_MPI_Barrier", comm.handle()) ? MPI_SUCCESS : MPI_ERR_COMM;
  return MPI_Barrier(FromOpaque<MPI_Comm>(comm.handle()));
}

int OX_MPI_Bcast(void* buffer, int count, OX_MPI_Datatype datatype, int root, OX_MPI_Comm comm) {
  OXMPI_ENTER("OX_MPI_Bcast");
  if (!Valid("OX_MPI_Bcast", "communicator", comm.handle())) return MPI_ERR_COMM;
  if (!Valid("OX_MPI_Bcast", "datatype", datatype.handle())) return MPI_ERR_TYPE;
  if (!buffer && count > 0) return MPI_ERR_BUFFER;
  if (!Usable("OX_MPI_Bcast")) return MPI_ERR_OTHER;
  if (Solo()) {
    if (!SoloComm("OX_MPI_Bcast", comm.handle())) return MPI_ERR_COMM;
    return root == 0 ? MPI_SUCCESS : MPI_ERR_ROOT;  // the data is already where it goes
  }
  return MPI_Bcast(buffer, count, FromOpaque<MPI_Datatype>(datatype.handle()), root,
                   FromOpaque<MPI_Comm>(comm.handle()));
}

int OX_MPI_Allgather(const void* sendbuf, int sendcount, OX_MPI_Datatype sendtype, void* recvbuf,
                     int recvcount, OX_MPI_Datatype recvtype, OX_MPI_Comm comm) {
  OXMPI_ENTER("OX_MPI_Allgather");
  const bool in_place = sendbuf == MPI_IN_PLACE;
  if (!Valid("OX_MPI_Allgather", "communicator", comm.handle())) return MPI_ERR_COMM;
  if (!Valid("OX_MPI_Allgather", "receive datatype", recvtype.handle())) return MPI_ERR_TYPE;
  // In place, the send arguments are ignored, so a default-made send type is fine.
  if (!in_place && !Valid("OX_MPI_Allgather", "send datatype", sendtype.handle()))
    return MPI_ERR_TYPE;
  if (!recvbuf || (!in_place && !sendbuf && sendcount > 0)) return MPI_ERR_BUFFER;
  if (!Usable("OX_MPI_Allgather")) return MPI_ERR_OTHER;
  if (Solo()) {
    if (!SoloComm("OX_MPI_Allgather", comm.handle())) return MPI_ERR_COMM;
    if (in_place) return MPI_SUCCESS;
    const size_t bytes = SoloTypeSize(sendtype.handle()) * static_cast<size_t>(sendcount);
    if (sendcount < 0 || (sendcount > 0 && bytes == 0)) return MPI_ERR_TYPE;
    memmove(recvbuf, sendbuf, bytes);
    return MPI_SUCCESS;
  }
  const MPI_Datatype send_type =
      sendtype.handle() ? FromOpaque<MPI_Datatype>(sendtype.handle()) : MPI_DATATYPE_NULL;
  return MPI_Allgather(sendbuf, sendcount, send_type, recvbuf, recvcount,
                       FromOpaque<MPI_Datatype>(recvtype.handle()),
                       FromOpaque<MPI_Comm>(comm.handle()));
}

int OX_MPI_Allreduce(const void* sendbuf, void* recvbuf, int count, OX_MPI_Datatype datatype,
                     OX_MPI_Op op, OX_MPI_Comm comm) {
  OXMPI_ENTER("OX_MPI_Allreduce");
  if (!Valid("OX_MPI_Allreduce", "communicator", comm.handle())) return MPI_ERR_COMM;
  if (!Valid("OX_MPI_Allreduce", "datatype", datatype.handle())) return MPI_ERR_TYPE;
  if (!Valid("OX_MPI_Allreduce", "operation", op.handle())) return MPI_ERR_OP;
  if ((!recvbuf || !sendbuf) && count > 0) return MPI_ERR_BUFFER;
  if (!Usable("OX_MPI_Allreduce")) return MPI_ERR_OTHER;
  if (Solo()) {
    if (!SoloComm("OX_MPI_Allreduce", comm.handle())) return MPI_ERR_COMM;
    if (sendbuf == MPI_IN_PLACE) return MPI_SUCCESS;
    const size_t bytes = SoloTypeSize(datatype.handle()) * static_cast<size_t>(count);
    if (count < 0 || (count > 0 && bytes == 0)) return MPI_ERR_TYPE;
    memmove(recvbuf, sendbuf, bytes);
    return MPI_SUCCESS;
  }
  return MPI_Allreduce(sendbuf, recvbuf, count, FromOpaque<MPI_Datatype>(datatype.handle()),
                       FromOpaque<MPI_Op>(op.handle()), FromOpaque<MPI_Comm>(comm.handle()));
}
