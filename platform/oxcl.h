// Collective communication library.
#ifndef OX_PLATFORM_OXCL_H_
#define OX_PLATFORM_OXCL_H_

#include <stdint.h>

#include "oxrt.h"

#ifdef __cplusplus
extern "C" {
#endif

typedef enum oxclResult {
  oxclSuccess = 0,
  oxclUnhandledOxrtError = 1,
  oxclSystemError = 2,
  oxclInternalError = 3,
  oxclInvalidArgument = 4,
  oxclInvalidUsage = 5,
  oxclRemoteError = 6,
  oxclAborted = 7,
  oxclNotSupported = 8,
  oxclNumResults = 9,
} oxclResult_t;

typedef enum oxclDataType {
  oxclFloat16 = 16,
  oxclBfloat16 = 17,
  oxclFloat32 = 18,
  oxclInt8 = 32,
  oxclInt16 = 33,
  oxclInt32 = 34,
  oxclInt64 = 35,
  oxclUint8 = 48,
  oxclUint16 = 49,
  oxclUint32 = 50,
  oxclUint64 = 51,
} oxclDataType_t;

typedef enum oxclReduceOp {
  oxclSum = 0,
  oxclProd = 1,
  oxclMax = 2,
  oxclMin = 3,
} oxclReduceOp_t;

// Opaque communicator; one per rank.
typedef struct oxclComm oxclComm;

#define OXCL_CLIQUE_ID_BYTES 136
// Made by process 0 and broadcast as bytes to the others.
typedef struct oxclCliqueId {
  char internal[OXCL_CLIQUE_ID_BYTES];
} oxclCliqueId;

// Flag word of the communicator configuration.
#define OXCL_COMM_CONFIG_PRIORITY 16
typedef struct oxclCommConfig {
  int32_t flags;
} oxclCommConfig_t;

oxclResult_t oxclGetCliqueId(oxclCliqueId* clique_id);
// Creates n communicators of this process: card devs[i] and global rank ranks[i] for
// comms[i]; nranks is the rank count of the whole clique.
oxclResult_t oxclInitComms(oxclComm** comms, int n, const int* devs, const int* ranks, int nranks,
                           oxclCliqueId clique_id);
oxclResult_t oxclSetCommConfig(oxclComm* comm, const oxclCommConfig_t* config);
oxclResult_t oxclDestroyComms(oxclComm** comms, int n);
// Abandons outstanding operations of the communicator: ranks waiting in them return an error.
oxclResult_t oxclAbortComm(oxclComm* comm);
// Number of ranks of the communicator.
oxclResult_t oxclGetCommCount(int* count, const oxclComm* comm);

oxclResult_t oxclAllReduce(const void* sendbuff, void* recvbuff, uint64_t count,
                           oxclDataType_t datatype, oxclReduceOp_t op, oxclComm* comm,
                           oxrtQueue_t queue);
oxclResult_t oxclReduceScatter(const void* sendbuff, void* recvbuff, uint64_t recvcount,
                               oxclDataType_t datatype, oxclReduceOp_t op, oxclComm* comm,
                               oxrtQueue_t queue);
oxclResult_t oxclAllGather(const void* sendbuff, void* recvbuff, uint64_t sendcount,
                           oxclDataType_t datatype, oxclComm* comm, oxrtQueue_t queue);
// One block per peer j: sendbuffs[j] (sendcounts[j] elements of sendtypes[j]) goes to peer j,
// recvbuffs[j] receives peer j's block.
oxclResult_t oxclAlltoAllv(const void* const* sendbuffs, const uint32_t* sendcounts,
                           const oxclDataType_t* sendtypes, void* const* recvbuffs,
                           const uint32_t* recvcounts, const oxclDataType_t* recvtypes,
                           oxclComm* comm, oxrtQueue_t queue);
oxclResult_t oxclSend(const void* sendbuff, uint64_t count, oxclDataType_t datatype, int peer,
                      oxclComm* comm, oxrtQueue_t queue);
oxclResult_t oxclRecv(void* recvbuff, uint64_t count, oxclDataType_t datatype, int peer,
                      oxclComm* comm, oxrtQueue_t queue);

const char* oxclGetErrorStr(oxclResult_t result);
oxclResult_t oxclGetLibVersion(int* major, int* minor, int* patch);

// Optional entry points of newer libraries (1.8.0 and later for oxclAlltoAll, 1.12.0 for
// groups). The benchmark binds them at run time and never links them.
oxclResult_t oxclGroupStart(void);
oxclResult_t oxclGroupEnd(void);
oxclResult_t oxclAlltoAll(const void* sendbuff, void* recvbuff, uint64_t count,
                          oxclDataType_t datatype, oxclComm* comm, oxrtQueue_t queue);

#ifdef __cplusplus
}  // extern "C"

namespace oxcl {
// Bytes held by the inter-chip link component (1.7.0 and later; bound at run time).
oxclResult_t oxclGetOxwireMemSize(unsigned long* size);
}  // namespace oxcl
#endif

#endif  // OX_PLATFORM_OXCL_H_
