#include "validate.h"

#include "dtype.h"
#include "log.h"
#include "oxsim.h"

namespace oxcl_sim {

oxclResult_t CheckType(const char* api, oxclDataType_t type) {
  if (TypeSize(type) != 0) return oxclSuccess;
  Report("%s: unknown element type code %d", api, static_cast<int>(type));
  return oxclInvalidArgument;
}

oxclResult_t CheckOp(const char* api, oxclReduceOp_t op) {
  if (KnownOp(op)) return oxclSuccess;
  Report("%s: unknown reduction operation code %d", api, static_cast<int>(op));
  return oxclInvalidArgument;
}

oxclResult_t CheckBytes(const char* api, uint64_t count, uint64_t blocks, oxclDataType_t type,
                        uint64_t* bytes) {
  uint64_t elements;
  if (!__builtin_mul_overflow(count, blocks, &elements) &&
      ByteSize(elements, TypeSize(type), bytes))
    return oxclSuccess;
  Report("%s: %llu x %llu elements of %s overflow a 64-bit byte count", api,
         static_cast<unsigned long long>(blocks), static_cast<unsigned long long>(count),
         TypeName(type));
  return oxclInvalidArgument;
}

oxclResult_t CheckBuffer(const char* api, const char* what, const void* ptr, uint64_t bytes,
                         int card) {
  if (bytes == 0) return oxclSuccess;
  int found = -1;
  if (!oxsim::FindRange(ptr, bytes, &found)) {
    Report("%s: %s range %p + %llu bytes is not inside a device allocation", api, what, ptr,
           static_cast<unsigned long long>(bytes));
    return oxclInvalidArgument;
  }
  if (found != card) {
    Report("%s: %s %p is memory of card %d, the communicator's card is %d", api, what, ptr, found,
           card);
    return oxclInvalidArgument;
  }
  return oxclSuccess;
}

oxclResult_t CheckAlias(const char* api, const void* in, uint64_t in_bytes, const void* out,
                        uint64_t out_bytes, const void* in_place) {
  if (in_bytes == 0 || out_bytes == 0 || in == in_place) return oxclSuccess;
  const auto a = reinterpret_cast<uintptr_t>(in);
  const auto b = reinterpret_cast<uintptr_t>(out);
  if (a + in_bytes <= b || b + out_bytes <= a) return oxclSuccess;
  Report("%s: send range %p + %llu bytes overlaps receive range %p + %llu bytes (only the "
         "in-place position %p may)", api, in, static_cast<unsigned long long>(in_bytes), out,
         static_cast<unsigned long long>(out_bytes), in_place);
  return oxclInvalidArgument;
}

oxclResult_t CheckPeer(const char* api, int peer, int nranks) {
  if (peer >= 0 && peer < nranks) return oxclSuccess;
  Report("%s: peer %d is not a rank of the communicator (0 to %d)", api, peer, nranks - 1);
  return oxclInvalidArgument;
}

}  // namespace oxcl_sim
