#ifndef VEXO_HOST_HOST_OS_H_
#define VEXO_HOST_HOST_OS_H_

// The few operating-system services the stand-in application needs.

#include <cstdint>
#include <string>
#include <vector>

// The platform's path separator: '\\' on Windows, '/' elsewhere.
extern const char kHostSeparator;
// The updater's file name: "vexo-updater.exe" on Windows, "vexo-updater" elsewhere.
extern const char kUpdaterFileName[];

// The full path of the running executable.
std::string ownExecutablePath();

// The id of the running process, as the updater's --vexo-pid wants it.
std::uint32_t ownProcessId();

// The current working directory.
std::string currentDirectory();

// Starts argv[0] with the arguments, passed through unchanged, and does not wait
// for it. Returns false when it could not be started.
bool startDetached(const std::vector<std::string>& argv);

#endif  // VEXO_HOST_HOST_OS_H_
