// Checks shared by the planners of all collectives.
#include "algorithms.h"
#include "dtype.h"

namespace oxcl_sim {

bool SameCall(const Slot& slot, int n, bool with_op, std::string* why) {
  const CollArgs& first = *slot.args[0];
  for (int r = 1; r < n; ++r) {
    const CollArgs& a = *slot.args[r];
    const char* what = nullptr;
    if (a.type != first.type) what = "element type";
    else if (a.count != first.count) what = "count";
    else if (with_op && a.op != first.op) what = "reduction operation";
    if (what) {
      *why = "rank " + std::to_string(r) + " passed a different " + what + " (" +
             TypeName(a.type) + ", " + OpName(a.op) + ", " + std::to_string(a.count) +
             ") than rank 0 (" + TypeName(first.type) + ", " + OpName(first.op) + ", " +
             std::to_string(first.count) + ")";
      return false;
    }
  }
  return true;
}

}  // namespace oxcl_sim
