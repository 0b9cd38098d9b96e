#ifndef VEXO_OS_FILES_H_
#define VEXO_OS_FILES_H_

// Files and folders: every look at the disk and every change to it. Failures
// throw SystemError, told as "<call>(<path>) err=<code>"; only the system's
// own "not found" counts as absent, never a failure to look.

#include <cstdint>
#include <filesystem>
#include <functional>
#include <set>
#include <string>

// What an entry of a directory is. Links and junctions are told apart from
// what they lead to: a link to an existing file or directory, or a dangling
// one. Any other reparse point (a cloud file's placeholder, a deduplicated
// file) is the file or directory it appears to be.
enum class EntryKind { kFile, kDirectory, kLinkToFile, kLinkToDirectory, kDanglingLink, kOther };

// Calls each(name, kind) for every entry of the directory, in the order of
// the system's listing, "." and ".." left out; the listing stays open while
// each runs, which may move the entry away. Stops when each returns false,
// and returns false then. Throws when the directory cannot be listed or an
// entry's kind cannot be read.
bool listDirectory(
    const std::filesystem::path& directory,
    const std::function<bool(const std::filesystem::path& name, EntryKind kind)>& each);

// True when there is an entry at path, a link counting as itself (a dangling
// one too); false only when the system says it is not there.
bool entryExists(const std::filesystem::path& path);

// True when a directory is at path (links followed); false when there is
// nothing, or something else.
bool directoryExists(const std::filesystem::path& path);

// True when the entry at path is itself a link or junction (a dangling one
// too), told as listDirectory tells it; false for anything else, or none.
bool isLinkEntry(const std::filesystem::path& path);

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

// Reads the stamp of the entry at path, a link as itself. Returns false when
// there is no entry.
bool readStamp(const std::filesystem::path& path, FileStamp* stamp);

// The size of the file at path, links followed.
std::uint64_t fileSize(const std::filesystem::path& path);

// The system's identity of the existing file or directory at path (links
// followed), the same under every name it has.
std::string fileIdentity(const std::filesystem::path& path);

// True when both paths exist and name the same file or directory; false when
// either cannot be opened.
bool sameFileIdentity(const std::filesystem::path& a, const std::filesystem::path& b);

// True when path, as written, names the root of a network share
// (\\server\share, also as \\?\UNC\server\share) or a drive's root in the
// \\?\ or \\.\ form. Always false where there are none.
bool isShareOrDeviceRoot(const std::filesystem::path& path);

// Creates the directory and the missing ones above it. Returns whether it
// made any; an existing directory is no failure.
bool createDirectories(const std::filesystem::path& path);

// Removes whatever path names, read-only files included; a link or junction
// goes as itself, never what it leads to. Nothing there is no failure.
void removeTree(const std::filesystem::path& path);

// Removes the file or link at path. Returns false when there was none.
bool removeFile(const std::filesystem::path& path);

// Copies the contents of from (links followed) over to, replacing a file
// there; on Windows the copy is on the disk when this returns.
void copyFileOver(const std::filesystem::path& from, const std::filesystem::path& to);

// Copies a program over to, beside which a copy is made and renamed over it
// so that it is never seen half-written, keeping it executable. Refuses
// (kErrorSharingViolation) where to is a program that is running.
void copyProgram(const std::filesystem::path& from, const std::filesystem::path& to);

// Moves one file (a link as itself) over to, replacing a file there; clears
// the read-only, hidden and system attributes of the file replaced on
// Windows (which refuses to replace such a file otherwise), and puts them
// back if the move is refused. Across file systems the file is copied beside
// the target under the target's name with temporarySuffix appended (cut
// short where the two would be longer than a name may be), made durable,
// renamed over the target, and only then removed from where it was; a file
// already under that name is this update's own, left by a run that was
// stopped, and goes first. A source that cannot be removed is refused before
// the target is touched where the system can tell. Returns 0, or the system
// error code of the failure.
std::uint32_t moveFileReplacing(const std::filesystem::path& from, const std::filesystem::path& to,
                                const std::string& temporarySuffix);

// Makes the moves into these directories durable; a directory that cannot
// be opened for it is passed over, as nothing is left to undo then.
void flushDirectories(const std::set<std::filesystem::path>& directories);

// Makes what was written to the file at path, and its entry in its folder,
// durable.
void syncFile(const std::filesystem::path& path);

// Makes every file copied below path durable, where copyFileOver has not
// already (on Windows each copy is flushed as it is made).
void flushFileSystem(const std::filesystem::path& path);

// A file opened for reading, read in pieces: the journal, the marker and
// staged files are never read whole.
class InputFile {
 public:
  explicit InputFile(const std::filesystem::path& path);
  ~InputFile();
  InputFile(const InputFile&) = delete;
  InputFile& operator=(const InputFile&) = delete;
  // Reads up to size bytes into buffer; 0 at the end of the file.
  std::size_t read(char* buffer, std::size_t size);

 private:
  std::filesystem::path path_;
  std::intptr_t handle_;
};

// How an OutputFile opens its file: emptied, written at its end, or made
// new (an existing file is refused, kErrorFileExists) for its owner alone to
// read, where the system has owners (natively; on Windows the folder's
// rights pass on to it).
enum class WriteMode { kTruncate, kAppend, kNewPrivate };

// A file opened for writing, created when missing (its folder is not); other
// processes may read and write it meanwhile. Each write goes to the system
// at once: a caller with many small pieces gathers them first.
class OutputFile {
 public:
  OutputFile(const std::filesystem::path& path, WriteMode mode);
  ~OutputFile();
  OutputFile(const OutputFile&) = delete;
  OutputFile& operator=(const OutputFile&) = delete;
  void write(const std::string& bytes);
  // Closes the file; a failure to close throws, where the destructor would
  // pass it over.
  void close();

 private:
  std::filesystem::path path_;
  std::intptr_t handle_;
};

#endif  // VEXO_OS_FILES_H_
