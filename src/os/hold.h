#ifndef VEXO_OS_HOLD_H_
#define VEXO_OS_HOLD_H_

// Holds that only one process at a time can have, and that the system lets
// go when the process ends, however it ends: a socket name in Linux's
// abstract namespace natively, a named mutex in the global namespace on
// Windows (seen from every session).

#include <cstdint>
#include <string>

// Takes the hold named name (letters and digits). With keep it is kept until
// the process ends; without, let go at once. Returns true when taken; false
// with *errorCode 0 when another process has it, or the system's code when
// it cannot be asked.
bool takeHold(const std::string& name, bool keep, std::uint32_t* errorCode);

#endif  // VEXO_OS_HOLD_H_
