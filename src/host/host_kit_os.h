#ifndef VEXO_HOST_HOST_KIT_OS_H_
#define VEXO_HOST_HOST_KIT_OS_H_

// The operating-system calls of the host library, one implementation per
// platform (host_kit-win32.cpp, host_kit-posix.cpp). Each returns an empty
// string on success or a message naming the call, the path and the error.

#include <cstdint>
#include <string>
#include <vector>

// The updater's file name: "vexo-updater.exe" on Windows, "vexo-updater" elsewhere.
extern const char kUpdaterName[];

// folder + separator + name; the separator is left out when folder ends in one.
// On Windows the bytes are read as characters of the ANSI code page, in which
// the second byte of a double-byte character can be 0x5C, a backslash.
std::string pathInFolder(const std::string& folder, const std::string& name);

// The path without its last component and the separator before it; "" when
// it has no separator.
std::string parentFolder(const std::string& path);

// Replaces *path, when it is not empty, by its absolute form against the
// working directory (on Windows also with "." and ".." taken out, as the
// system reads them).
std::string makeAbsolute(std::string* path);

// The id of the calling process.
std::uint32_t currentProcessId();

// Whether path names the same place as folder or a place below it. Both are
// made absolute first; on Windows letter case does not count, natively links
// are resolved.
bool liesWithin(const std::string& path, const std::string& folder);

// Creates the folder and the missing folders above it.
std::string createFolders(const std::string& folder);

// Copies the file over target (replacing an earlier copy), keeping it
// executable.
std::string copyExecutable(const std::string& source, const std::string& target);

// Starts argv[0] with the arguments in workDir without waiting for it: no
// handle, standard stream, console or session of the caller's.
std::string startDetached(const std::vector<std::string>& argv, const std::string& workDir);

#endif  // VEXO_HOST_HOST_KIT_OS_H_
