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

// True when each argument after the program's path is exactly what the
// caller passed. On Windows the narrow arguments are the wide command line
// converted to the ANSI code page with best-fit mapping, which can turn a
// character into another ("\xC5\x81" into 'L', a fullwidth quotation mark into
// '"'); each is compared with its wide original converted without any
// substitution. Elsewhere always true. On false, *why tells which argument.
bool argumentsAreExact(int argc, const char* const* argv, std::string* why);

#endif  // VEXO_APP_OPTIONS_H_
