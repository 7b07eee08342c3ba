// bench-reducescatter's collective: the one that main runs.
#include "reducescatter.h"

namespace oxcl_benchmark {
namespace {
DeclareBench reducescatter_registration(new Reducescatter());
}  // namespace
}  // namespace oxcl_benchmark
