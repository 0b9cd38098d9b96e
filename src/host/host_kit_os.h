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

// Why the existing folder's contents may not be on this computer: on
// Windows a cloud file's placeholder or a file marked offline
// (FILE_ATTRIBUTE_OFFLINE, RECALL_ON_OPEN or RECALL_ON_DATA_ACCESS), as
// "attributes 0x...: <which>". Empty when there is none, when the folder's
// attributes cannot be read, and always natively, where no such folders are.
std::string placeholderState(const std::string& folder);

// Whether this process may create files in the existing folder: creates one
// that the system removes when it is closed, or when the process ends,
// however it ends (natively an unnamed O_TMPFILE where the file system has
// them, else a unique name removed at once). Returns an empty string, or the
// call that failed with the path and the error.
std::string probeWritable(const std::string& folder);

// The bytes free to this process on the volume that holds the existing
// folder, and the volume's allocation unit, to which each file's size is
// rounded up.
std::string volumeSpace(const std::string& folder, std::uint64_t* freeBytes, std::uint64_t* unit);

// The longest paths the updater can use on this machine, in the units the
// system counts (UTF-16 code units on Windows, bytes natively), without the
// terminating NUL.
struct PathLimits {
  std::size_t file = 0;    // the path of a file
  std::size_t folder = 0;  // the path of a folder the updater creates
  std::size_t name = 0;    // one name in a path
  std::string source;      // where the limits come from, for messages
};

// On Windows MAX_PATH (259 characters for a file, 247 for a folder) unless
// HKLM\SYSTEM\CurrentControlSet\Control\FileSystem LongPathsEnabled is 1
// (the updater's manifest declares it long-path aware); natively PATH_MAX
// and NAME_MAX.
PathLimits pathLimits();

#endif  // VEXO_HOST_HOST_KIT_OS_H_
