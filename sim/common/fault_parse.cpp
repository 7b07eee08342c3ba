// The OXSIM_FAULT grammar:
//   NAME:N[:CODE]                      the N-th call of entry point NAME fails with CODE
//   corrupt:NAME:N[:RANK[:INDEX[:KIND]]]
//                                      after the N-th call (or every call, N = '*') of
//                                      collective NAME on global rank RANK, element INDEX of
//                                      its receive buffer is changed as KIND says: far (the
//                                      default), bit=B, ulp, zero, nan or drop
//   hang:NAME:N                        the N-th call (or every call, N = '*') of entry point
//                                      NAME never completes until a communicator of the
//                                      process is aborted
// Items are comma separated. Anything else is rejected: a fault that silently does not fire
// would make a failure test pass for the wrong reason.
#include <climits>
#include <cstdio>
#include <cstring>

#include "fault_table.h"
#include "knobs.h"
#include "oxsim.h"

namespace oxsim {
namespace {

// Entry points that return a status code and can therefore be made to fail. Functions that
// only return text (error names and strings) are counted but never fail.
const char* const kFailable[] = {
    "oxrtGetDeviceCount", "oxrtSetDevice", "oxrtGetDevice", "oxrtQueueCreate",
    "oxrtQueueDestroy", "oxrtQueueSync", "oxrtNotifierCreate", "oxrtNotifierDestroy",
    "oxrtPlaceNotifier", "oxrtWaitNotifier", "oxrtNotifierDuration", "oxrtMalloc", "oxrtFree",
    "oxrtMemset", "oxrtMemcpy", "oxrtMemGetInfo", "oxrtGetLibVersion",
    "oxInit", "oxGetDriverVersion", "oxGetLibVersion", "oxDeviceGetPCIBusId", "oxGetErrorString",
    "oxdevInit", "oxdevGetLibVersion", "oxdevGetDeviceHandleByPciBusId",
    "oxdevGetCardNameStringByDevId",
    "oxclGetCliqueId", "oxclInitComms", "oxclSetCommConfig", "oxclDestroyComms",
    "oxclAbortComm", "oxclGetCommCount", "oxclAllReduce", "oxclReduceScatter", "oxclAllGather",
    "oxclAlltoAllv", "oxclSend", "oxclRecv", "oxclGetLibVersion", "oxclGroupStart",
    "oxclGroupEnd", "oxclAlltoAll", "oxclGetOxwireMemSize",
    "OX_MPI_Init", "OX_MPI_Finalize", "OX_MPI_Comm_size", "OX_MPI_Comm_rank", "OX_MPI_Barrier",
    "OX_MPI_Bcast", "OX_MPI_Allgather", "OX_MPI_Allreduce",
};

// Entry points that only return text.
const char* const kTextOnly[] = {"oxrtGetErrorName", "oxdevGetErrorString", "oxclGetErrorStr"};

// Calls that write a receive buffer, the targets of `corrupt:`.
const char* const kCorruptible[] = {
    "oxclAllReduce", "oxclReduceScatter", "oxclAllGather", "oxclAlltoAll", "oxclAlltoAllv",
    "oxclRecv",
};

template <size_t N>
bool Contains(const char* const (&names)[N], const std::string& name) {
  for (const char* n : names)
    if (name == n) return true;
  return false;
}

// Quotes text for the error line; control bytes are escaped so the line stays one line, and at
// most `limit` characters of the quoted form are kept so the line fits the start-up message.
std::string Quote(const std::string& text, size_t limit) {
  std::string out = "'";
  size_t shown = 0;
  for (unsigned char c : text) {
    char piece[8] = {static_cast<char>(c), '\0'};
    if (c < 0x20 || c >= 0x7f || c == '\'') snprintf(piece, sizeof(piece), "\\x%02x", c);
    if (shown + strlen(piece) > limit) {
      out += "...";
      break;
    }
    out += piece;
    shown += strlen(piece);
  }
  return out + "'";
}

std::vector<std::string> SplitKeepEmpty(const std::string& text, char sep) {
  std::vector<std::string> parts;
  size_t start = 0;
  for (;;) {
    const size_t end = text.find(sep, start);
    parts.push_back(text.substr(start, end == std::string::npos ? std::string::npos : end - start));
    if (end == std::string::npos) return parts;
    start = end + 1;
  }
}

bool ParseIntInRange(const std::string& text, uint64_t low, uint64_t high, uint64_t* value) {
  return ParseUnsigned(text, value) && *value >= low && *value <= high;
}

// N of a hang: or corrupt: item: a call number from 1, or '*' (0) for every call.
bool ParseCallOrEvery(const std::string& text, uint64_t* nth, std::string* why) {
  uint64_t v = 0;
  if (text == "*") {
    *nth = 0;
  } else if (ParseIntInRange(text, 1, UINT64_MAX, &v)) {
    *nth = v;
  } else {
    *why = "N must be a call number from 1 or '*'";
    return false;
  }
  return true;
}

// KIND of a corrupt: item. Bits beyond the element's type are refused when the call runs,
// where the type is known; here only beyond the widest type.
bool ParseCorruptKind(const std::string& text, CorruptHow* how, std::string* why) {
  static const struct {
    const char* name;
    CorruptKind kind;
  } kKinds[] = {{"far", CorruptKind::kFar},   {"ulp", CorruptKind::kUlp},
                {"zero", CorruptKind::kZero}, {"nan", CorruptKind::kNan},
                {"drop", CorruptKind::kDrop}};
  for (const auto& k : kKinds) {
    if (text == k.name) {
      how->kind = k.kind;
      return true;
    }
  }
  uint64_t bit = 0;
  if (text.compare(0, 4, "bit=") == 0) {
    if (!ParseIntInRange(text.substr(4), 0, 63, &bit)) {
      *why = "KIND bit=B needs a bit number B from 0 to 63";
      return false;
    }
    how->kind = CorruptKind::kBit;
    how->bit = static_cast<unsigned>(bit);
    return true;
  }
  *why = "KIND must be far, bit=B, ulp, zero, nan or drop";
  return false;
}

// Parses one item; on failure `why` says what is wrong with it.
bool ParseItem(const std::string& item, FaultItem* out, std::string* why) {
  if (item.empty()) {
    *why = "empty item (stray comma)";
    return false;
  }
  const std::vector<std::string> f = SplitKeepEmpty(item, ':');
  uint64_t v = 0;
  FaultItem fi;
  if (f[0] == "hang") {
    if (f.size() != 3) {
      *why = "expected hang:NAME:N";
      return false;
    }
    fi.hang = true;
    fi.name = f[1];
    // Only a call that returns a status can hand back the abort error once released.
    if (!Contains(kFailable, fi.name)) {
      *why = Quote(fi.name, 60) + " is not an entry point that can hang";
      return false;
    }
    if (!ParseCallOrEvery(f[2], &fi.nth, why)) return false;
  } else if (f[0] == "corrupt") {
    if (f.size() < 3 || f.size() > 6) {
      *why = "expected corrupt:NAME:N[:RANK[:INDEX[:KIND]]]";
      return false;
    }
    fi.corrupt = true;
    fi.name = f[1];
    if (!Contains(kCorruptible, fi.name)) {
      *why = Quote(fi.name, 60) + " is not a collective whose data can be corrupted";
      return false;
    }
    if (!ParseCallOrEvery(f[2], &fi.nth, why)) return false;
    if (f.size() > 3) {
      if (!ParseIntInRange(f[3], 0, INT_MAX, &v)) {
        *why = "RANK must be a rank number from 0";
        return false;
      }
      fi.rank = static_cast<int>(v);
    }
    if (f.size() > 4) {
      if (!ParseIntInRange(f[4], 0, UINT64_MAX, &v)) {
        *why = "INDEX must be an element index from 0";
        return false;
      }
      fi.index = v;
    }
    if (f.size() > 5 && !ParseCorruptKind(f[5], &fi.how, why)) return false;
  } else {
    if (f.size() < 2 || f.size() > 3) {
      *why = "expected NAME:N[:CODE], corrupt:NAME:N[:RANK[:INDEX[:KIND]]] or hang:NAME:N";
      return false;
    }
    fi.name = f[0];
    if (!Contains(kFailable, fi.name)) {
      *why = Quote(fi.name, 60) + " is not an entry point that can fail";
      return false;
    }
    if (!ParseIntInRange(f[1], 1, UINT64_MAX, &v)) {
      *why = "N must be a call number from 1";
      return false;
    }
    fi.nth = v;
    if (f.size() > 2) {
      // Code 0 would be success, which is no fault at all.
      if (!ParseIntInRange(f[2], 1, INT_MAX, &v)) {
        *why = "CODE must be a status code from 1";
        return false;
      }
      fi.has_code = true;
      fi.code = static_cast<int>(v);
    }
  }
  *out = fi;
  return true;
}

}  // namespace

bool IsKnownEntryPoint(const std::string& name) {
  return Contains(kFailable, name) || Contains(kTextOnly, name);
}

bool ParseFaults(const std::string& text, std::vector<FaultItem>* items, std::string* error) {
  std::vector<FaultItem> parsed;
  if (!text.empty()) {
    for (const std::string& item : SplitKeepEmpty(text, ',')) {
      FaultItem fi;
      std::string why;
      if (!ParseItem(item, &fi, &why)) {
        if (error) *error = "bad item " + Quote(item, 200) + ": " + why;
        return false;
      }
      parsed.push_back(fi);
    }
  }
  if (items) *items = std::move(parsed);
  return true;
}

}  // namespace oxsim
