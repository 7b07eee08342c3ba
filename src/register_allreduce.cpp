// bench-allreduce's collective: the one that main runs.
#include "allreduce.h"

namespace oxcl_benchmark {
namespace {
DeclareBench allreduce_registration(new Allreduce());
}  // namespace
}  // namespace oxcl_benchmark
