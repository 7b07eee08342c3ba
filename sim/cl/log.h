// One-line diagnostics of the collective library on standard error.
#ifndef OX_SIM_CL_LOG_H_
#define OX_SIM_CL_LOG_H_

namespace oxcl_sim {

// Prints "oxcl: <text>" as one line on standard error (a single write, so lines of
// concurrent ranks never interleave).
void Report(const char* format, ...) __attribute__((format(printf, 1, 2)));

}  // namespace oxcl_sim

#endif  // OX_SIM_CL_LOG_H_
