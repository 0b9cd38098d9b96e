#ifndef VEXO_TREEOPS_TREEOPS_OS_H_
#define VEXO_TREEOPS_TREEOPS_OS_H_

// The operating-system calls beneath the tree operations, one implementation
// in treeops-win32.cpp and one in treeops-posix.cpp. Error codes that leave
// this layer are Windows system error codes on every platform, so that the
// texts built from them read the same everywhere.

#include <cstdint>
#include <filesystem>
#include <set>
#include <string>

// The Windows codes both layers and the shared logic speak.
constexpr std::uint32_t kWaitObject0 = 0;
constexpr std::uint32_t kWaitTimeout = 258;
constexpr std::uint32_t kErrorAccessDenied = 5;
constexpr std::uint32_t kErrorSharingViolation = 32;

// Converts a narrow path (the ANSI code page on Windows, raw bytes on POSIX)
// to a file-system path. Throws std::system_error when it cannot be exact.
std::filesystem::path toFsPath(const std::string& narrow);

// Converts a file-system path to its narrow form. Throws std::system_error
// when a character has no exact narrow representation.
std::string toNarrow(const std::filesystem::path& path);

// The path's narrow form for a text that people read (the log, the marker):
// a character the code page cannot hold becomes '?'. Never throws.
std::string toNarrowText(const std::filesystem::path& path);

// A path below a tree as the update journal records it, and back: bytes
// natively, UTF-8 on Windows, so that every name a file system holds has
// one exact form. Throws std::system_error when it cannot be exact.
std::string toJournalText(const std::filesystem::path& relative);
std::filesystem::path fromJournalText(const std::string& text);

// A process opened for waiting.
struct ProcessWait {
  std::intptr_t handle = -1;
  std::uint32_t processId = 0;
};

// Opens the process with the right to wait for it only. Returns false and
// sets *errorCode when it cannot be opened.
bool openProcessForWait(std::uint32_t processId, ProcessWait* wait, std::uint32_t* errorCode);

// Waits once. Returns kWaitObject0 when the process has ended, kWaitTimeout
// on the time-out, and any other value for a failed wait.
std::uint32_t waitOnProcess(const ProcessWait& wait, std::uint32_t timeoutMs);

// Releases what openProcessForWait took.
void closeProcessWait(const ProcessWait& wait);

// What an entry of a directory listing is. Links and junctions are told
// apart from what they lead to: a link to an existing file or directory, or a
// dangling one. Any other reparse point (a cloud file's placeholder, a
// deduplicated file) is the file or directory it appears to be.
enum class EntryKind { kFile, kDirectory, kLinkToFile, kLinkToDirectory, kDanglingLink, kOther };

// The kind of a listed entry: the one test of "is this a link" that every
// walk makes. Throws std::filesystem::filesystem_error when it cannot be read.
EntryKind entryKind(const std::filesystem::directory_entry& entry);

// Removes the link or junction at path itself, never what it leads to; only
// ever given an entry that entryKind called a link.
// Throws std::filesystem::filesystem_error named "remove".
void removeLink(const std::filesystem::path& path);

// Copies the contents of from (links followed) over to, replacing a file
// there; on Windows the copy is on the disk when this returns. Throws
// std::filesystem::filesystem_error.
void copyFileOver(const std::filesystem::path& from, const std::filesystem::path& to);

// Removes whatever path names, read-only files included; a link goes, not
// its target. Throws std::filesystem::filesystem_error named "remove_all".
void removeTree(const std::filesystem::path& path);

// Moves one file (a link as itself) over to, replacing a file there.
// Across file systems it is copied beside the target under the target's
// name with temporarySuffix appended (cut short where the two would be
// longer than a name may be), made durable, renamed over the target, and
// only then removed from where it was; a file already under that name is
// this update's own, left by a run that was stopped, and goes first.
// Returns 0 on success, else the system error code of the failure.
std::uint32_t moveFileReplacing(const std::filesystem::path& from, const std::filesystem::path& to,
                                const std::string& temporarySuffix);

// Makes the moves done so far durable; called once before a swap returns,
// with every directory that received a file.
void flushDirectories(const std::set<std::filesystem::path>& directories);

// Makes what was written to the file at path, and its entry in its folder,
// durable. Throws std::filesystem::filesystem_error named "write".
void syncFile(const std::filesystem::path& path);

// Makes every file copied below path durable, where copyFileOver has not
// already (on Windows each copy is flushed as it is made).
void flushFileSystem(const std::filesystem::path& path);

// True when there is an entry at path, a link counting as itself (a dangling
// one too); false only when the system says it is not there. Any other
// failure to look throws std::filesystem::filesystem_error, its text naming
// the system's code as "status err=<code>".
bool entryExists(const std::filesystem::path& path);

// True when the entry at path is itself a link or junction (a dangling one
// too), told as entryKind tells it; false for anything else, or no entry.
// Throws as entryExists does.
bool isLinkEntry(const std::filesystem::path& path);

// True when a directory is at path (links followed); false when there is
// nothing, or something else. Throws as entryExists does.
bool directoryExists(const std::filesystem::path& path);

// What the update journal knows a file by: its size, its modification time
// in the system's unit (kStampTicksPerSecond to a second), and its identity,
// the volume it lies on and its index there, which a rename keeps and a
// copy does not.
struct FileStamp {
  std::uint64_t size = 0;
  std::int64_t time = 0;
  std::string volume;
  std::string index;
};
extern const std::int64_t kStampTicksPerSecond;

// Reads the stamp of the entry at path (a link as itself). Returns false
// when there is no entry. Throws as entryExists does.
bool readStamp(const std::filesystem::path& path, FileStamp* stamp);

// The system's identity of the existing file or directory at path. Throws
// std::filesystem::filesystem_error when it cannot be read.
std::string fileIdentity(const std::filesystem::path& path);

// Takes the hold named name (letters and digits): one process at a time can
// have it, and the system lets it go when the process ends, however it ends.
// With keep it is kept until then; without, let go at once. Returns true
// when taken; false with *errorCode 0 when another process has it, or the
// system's code when it cannot be asked.
bool takeHold(const std::string& name, bool keep, std::uint32_t* errorCode);

// True when path, as written, names the root of a network share
// (\\server\share, also as \\?\UNC\server\share) or a drive's root in
// the \\?\ or \\.\ form: roots that this toolchain's library takes for
// folders. Always false where there are none.
bool isShareOrDeviceRoot(const std::filesystem::path& path);

// True when both paths exist and name the same file or directory.
bool sameFileIdentity(const std::filesystem::path& a, const std::filesystem::path& b);

#endif  // VEXO_TREEOPS_TREEOPS_OS_H_
