#ifndef VEXO_OS_VOLUME_H_
#define VEXO_OS_VOLUME_H_

// What a host asks of a folder before an update: whether it may write there,
// how much room its volume has, whether a storage service keeps it online,
// and how long a name may be.

#include <cstdint>
#include <filesystem>
#include <string>

// Whether this process may create files in the existing folder: creates one
// that the system removes when it is closed, or when the process ends,
// however it ends (natively an unnamed O_TMPFILE where the file system has
// them, else a unique name removed at once; on Windows FILE_FLAG_DELETE_ON_CLOSE,
// which also asks for the right to delete). Returns an empty string, or the
// failure ("<call>(<path>) err=<code>").
std::string probeWritable(const std::filesystem::path& folder);

// The bytes free to this process on the volume that holds the existing
// folder, and the volume's allocation unit, to which each file's size is
// rounded up. Returns an empty string, or the failure.
std::string volumeSpace(const std::filesystem::path& folder, std::uint64_t* freeBytes,
                        std::uint64_t* unit);

// Why the existing folder's contents may not be on this computer: on Windows
// a cloud file's placeholder or a file marked offline (FILE_ATTRIBUTE_OFFLINE,
// RECALL_ON_OPEN or RECALL_ON_DATA_ACCESS), as "attributes 0x...: <which>".
// Empty when there is none, when the attributes cannot be read, and always
// natively, where no such folders are.
std::string placeholderState(const std::filesystem::path& folder);

// The longest path and name this machine's file systems take, in the units
// the system counts (bytes natively, UTF-16 code units on Windows), without
// the terminating NUL; a path of any length on Windows, whose long form
// reaches 32,767.
struct PathLimits {
  std::size_t path = 0;
  std::size_t name = 0;
};
PathLimits pathLimits();

#endif  // VEXO_OS_VOLUME_H_
