#ifndef VEXO_STANDIN_STANDIN_OS_H_
#define VEXO_STANDIN_STANDIN_OS_H_

// The few operating-system services the stand-in application needs beyond
// the host library.

#include <cstdint>
#include <string>

// The platform's path separator: '\\' on Windows, '/' elsewhere.
extern const char kSeparator;

// The full path of the running executable.
std::string ownExecutablePath();

// The id of the running process.
std::uint32_t ownProcessId();

// The current working directory.
std::string currentDirectory();

#endif  // VEXO_STANDIN_STANDIN_OS_H_
