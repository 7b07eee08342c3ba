// The entry point names that OXSIM_FAULT may name, shared by the parser and the entry points.
#ifndef OX_SIM_COMMON_FAULT_TABLE_H_
#define OX_SIM_COMMON_FAULT_TABLE_H_

#include <string>

namespace oxsim {

// True for every entry point of the simulated libraries: those that can fail and those that
// only return text.
bool IsKnownEntryPoint(const std::string& name);

}  // namespace oxsim

#endif  // OX_SIM_COMMON_FAULT_TABLE_H_
