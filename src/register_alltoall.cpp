// bench-alltoall's collective: the one that main runs.
#include "alltoall.h"

namespace oxcl_benchmark {
namespace {
DeclareBench alltoall_registration(new AllToAll());
}  // namespace
}  // namespace oxcl_benchmark
