// bench-allgather's collective: the one that main runs.
#include "allgather.h"

namespace oxcl_benchmark {
namespace {
DeclareBench allgather_registration(new Allgather());
}  // namespace
}  // namespace oxcl_benchmark
