#ifndef VEXO_APP_OPTIONS_H_
#define VEXO_APP_OPTIONS_H_

#include <cstdint>
#include <map>
#include <string>

// Option name (the argument without its two leading dashes) to value, both
// byte strings exactly as received. Read with operator[]: a name that was not
// given reads as the empty string.
using OptionMap = std::map<std::string, std::string>;

// Pairs the arguments positionally; never fails. argv[0] is not read.
OptionMap parseOptions(int argc, const char* const* argv);

// Converts a vexo-pid value like strtoul in base 10 within 32 bits. Returns
// false when there is no digit or the value does not fit in 32 bits.
bool convertProcessId(const std::string& text, std::uint32_t* processId);

#endif  // VEXO_APP_OPTIONS_H_
