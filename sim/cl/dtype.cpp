#include "dtype.h"

namespace oxcl_sim {

size_t TypeSize(oxclDataType_t type) {
  switch (type) {
    case oxclInt8:
    case oxclUint8:
      return 1;
    case oxclFloat16:
    case oxclBfloat16:
    case oxclInt16:
    case oxclUint16:
      return 2;
    case oxclFloat32:
    case oxclInt32:
    case oxclUint32:
      return 4;
    case oxclInt64:
    case oxclUint64:
      return 8;
  }
  return 0;
}

bool KnownOp(oxclReduceOp_t op) {
  return op == oxclSum || op == oxclProd || op == oxclMax || op == oxclMin;
}

const char* TypeName(oxclDataType_t type) {
  switch (type) {
    case oxclFloat16: return "float16";
    case oxclBfloat16: return "bfloat16";
    case oxclFloat32: return "float";
    case oxclInt8: return "int8";
    case oxclInt16: return "int16";
    case oxclInt32: return "int32";
    case oxclInt64: return "int64";
    case oxclUint8: return "uint8";
    case oxclUint16: return "uint16";
    case oxclUint32: return "uint32";
    case oxclUint64: return "uint64";
  }
  return "unknown";
}

const char* OpName(oxclReduceOp_t op) {
  switch (op) {
    case oxclSum: return "sum";
    case oxclProd: return "prod";
    case oxclMax: return "max";
    case oxclMin: return "min";
  }
  return "unknown";
}

bool ByteSize(uint64_t count, size_t size, uint64_t* bytes) {
  return !__builtin_mul_overflow(count, static_cast<uint64_t>(size), bytes);
}

}  // namespace oxcl_sim
