#include <windows.h>

#include <string>
#include <vector>

#include "os/error.h"
#include "os/files.h"
#include "os/paths.h"
#include "os/win32_paths.h"

namespace fs = std::filesystem;

const std::int64_t kStampTicksPerSecond = 10000000;

namespace {

constexpr DWORD kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
constexpr DWORD kMoveFlags = MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH;

[[noreturn]] void fail(const char* call, const fs::path& path, DWORD code) {
  throw SystemError(call, toNarrowText(path), code);
}

// A handle closed however its scope is left.
struct Handle {
  HANDLE value;
  explicit Handle(HANDLE handle) : value(handle) {}
  ~Handle() {
    if (valid()) CloseHandle(value);
  }
  Handle(const Handle&) = delete;
  Handle& operator=(const Handle&) = delete;
  bool valid() const { return value != INVALID_HANDLE_VALUE && value != nullptr; }
};

// A listing's handle, closed however its scope is left: the caller's
// callback may throw while it is open.
struct Listing {
  HANDLE value;
  explicit Listing(HANDLE handle) : value(handle) {}
  ~Listing() {
    if (value != INVALID_HANDLE_VALUE) FindClose(value);
  }
  Listing(const Listing&) = delete;
  Listing& operator=(const Listing&) = delete;
};

// Opens the entry at the long form with no access right, which is enough to
// read its identity and attributes: no other holder's sharing stands in the
// way, and full sharing disturbs nobody. Folders open only with the backup
// flag; a link is followed unless its own entry is asked for.
HANDLE openForInformation(const std::wstring& longForm, bool ownEntry) {
  const DWORD flags = FILE_FLAG_BACKUP_SEMANTICS | (ownEntry ? FILE_FLAG_OPEN_REPARSE_POINT : 0);
  return CreateFileW(longForm.c_str(), /*desiredAccess=*/0, kShareAll,
                     /*securityAttributes=*/nullptr, OPEN_EXISTING, flags,
                     /*templateFile=*/nullptr);
}

// Reads the information of the entry at the long form (its own, or what it
// leads to). Returns 0, or the system's code.
DWORD readInformation(const std::wstring& longForm, bool ownEntry,
                      BY_HANDLE_FILE_INFORMATION* info) {
  const Handle file(openForInformation(longForm, ownEntry));
  if (!file.valid()) return GetLastError();
  if (!GetFileInformationByHandle(file.value, info)) return GetLastError();
  return 0;
}

std::uint64_t joined(DWORD high, DWORD low) {
  return (static_cast<std::uint64_t>(high) << 32) | low;
}

// True when the found entry is a link or junction itself: the one test of
// "is this a link" that every walk makes. The tag comes with the listing,
// which neither opens nor recalls the entry.
bool isLink(const WIN32_FIND_DATAW& found) {
  return (found.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0 &&
         isLinkTag(found.dwReserved0);
}

// True when a folder is at the long form, a link or junction to one
// counting as the folder; false for anything else, or a failure to look.
bool isFolder(const std::wstring& longForm) {
  const DWORD attributes = GetFileAttributesW(longForm.c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES) return false;
  if ((attributes & FILE_ATTRIBUTE_REPARSE_POINT) == 0) {
    return (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
  }
  BY_HANDLE_FILE_INFORMATION info{};
  return readInformation(longForm, /*ownEntry=*/false, &info) == 0 &&
         (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

// Calls each(found) for every entry of the folder at the long form, "." and
// ".." left out, while the listing stays open; stops when each returns
// false, and returns false then. Throws "list" naming directory.
template <typename Each>
bool forEachFound(const std::wstring& folder, const fs::path& directory, const Each& each) {
  WIN32_FIND_DATAW found{};
  const Listing listing(FindFirstFileExW(childOf(folder, L"*").c_str(), FindExInfoBasic, &found,
                                         FindExSearchNameMatch, /*searchFilter=*/nullptr,
                                         FIND_FIRST_EX_LARGE_FETCH));
  if (listing.value == INVALID_HANDLE_VALUE) {
    const DWORD error = GetLastError();
    // A drive's empty root has no "." or "..", so nothing at all matches.
    if (error == ERROR_FILE_NOT_FOUND && isFolder(folder)) return true;
    fail("list", directory, error);
  }
  do {
    const std::wstring name = found.cFileName;
    if (name == L"." || name == L"..") continue;
    if (!each(found)) return false;
  } while (FindNextFileW(listing.value, &found));
  const DWORD error = GetLastError();
  if (error != ERROR_NO_MORE_FILES) fail("list", directory, error);
  return true;
}

// The kind of an entry as its listing describes it, at the long form.
// Returns 0, or the system's code when a link's target cannot be looked at.
DWORD kindOf(const std::wstring& longForm, const WIN32_FIND_DATAW& found, EntryKind* kind) {
  const bool directory = (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
  if (!isLink(found)) {
    *kind = directory ? EntryKind::kDirectory : EntryKind::kFile;
    return 0;
  }
  // Opening a link follows it: that tells whether it leads anywhere, and to
  // what.
  BY_HANDLE_FILE_INFORMATION info{};
  if (const DWORD error = readInformation(longForm, /*ownEntry=*/false, &info)) {
    if (!isAbsentCode(error)) return error;
    *kind = EntryKind::kDanglingLink;
    return 0;
  }
  *kind = (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0 ? EntryKind::kLinkToDirectory
                                                                  : EntryKind::kLinkToFile;
  return 0;
}

// Reads the entry's own attributes (a link's, not its target's) into *data
// and its long form into *longForm. Returns false when the system says
// nothing is there; any other failure to look throws "status".
bool readEntry(const fs::path& path, std::wstring* longForm, WIN32_FILE_ATTRIBUTE_DATA* data) {
  DWORD error = makeLongForm(path, longForm);
  if (error == 0) {
    if (GetFileAttributesExW(longForm->c_str(), GetFileExInfoStandard, data)) return true;
    error = GetLastError();
  }
  if (isAbsentCode(error)) return false;
  fail("status", path, error);
}

// Whether the reparse point at the long form is a link or junction, by its
// tag, which only a listing of that one name gives without opening it.
// Returns 0, or the system's code.
DWORD readLinkTag(const std::wstring& longForm, bool* link) {
  WIN32_FIND_DATAW found{};
  const Listing listing(FindFirstFileExW(longForm.c_str(), FindExInfoBasic, &found,
                                         FindExSearchNameMatch, /*searchFilter=*/nullptr,
                                         /*additionalFlags=*/0));
  if (listing.value == INVALID_HANDLE_VALUE) return GetLastError();
  *link = isLink(found);
  return 0;
}

// The attributes without those in mask, in the form SetFileAttributesW takes.
DWORD withoutAttributes(DWORD attributes, DWORD mask) {
  const DWORD cleared = attributes & ~mask;
  return cleared == 0 ? FILE_ATTRIBUTE_NORMAL : cleared;
}

// Removes a file, read-only or not. Returns 0 or the system's code.
DWORD deleteFile(const std::wstring& longForm) {
  const DWORD attributes = GetFileAttributesW(longForm.c_str());
  if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_READONLY) != 0) {
    SetFileAttributesW(longForm.c_str(), withoutAttributes(attributes, FILE_ATTRIBUTE_READONLY));
  }
  return DeleteFileW(longForm.c_str()) ? 0 : GetLastError();
}

// Makes the file at the long form durable. Flushing needs write access,
// which a read-only file (the attribute travels with a copy) grants only
// for a moment. Returns 0 or the system's code.
DWORD flushFile(const std::wstring& longForm) {
  const DWORD attributes = GetFileAttributesW(longForm.c_str());
  const bool readOnly =
      attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_READONLY) != 0;
  if (readOnly) {
    SetFileAttributesW(longForm.c_str(), withoutAttributes(attributes, FILE_ATTRIBUTE_READONLY));
  }
  DWORD error = 0;
  {
    const Handle file(CreateFileW(longForm.c_str(), GENERIC_WRITE, FILE_SHARE_READ,
                                  /*securityAttributes=*/nullptr, OPEN_EXISTING,
                                  FILE_ATTRIBUTE_NORMAL, /*templateFile=*/nullptr));
    if (!file.valid() || !FlushFileBuffers(file.value)) error = GetLastError();
  }
  if (readOnly) SetFileAttributesW(longForm.c_str(), attributes);
  return error;
}

// Writes the folder's entries to the disk, passing over a folder that cannot
// be opened for it.
void flushFolder(const std::wstring& longForm) {
  // MOVEFILE_WRITE_THROUGH only makes a move that copies wait for its data;
  // a rename within a volume is ordered by the file system's log, which a
  // flush of the folder's handle writes out. Flushing needs write access,
  // and a folder opens only with the backup flag. The moves are done; a
  // folder that cannot be flushed leaves nothing to report or undo.
  const Handle folder(CreateFileW(longForm.c_str(), GENERIC_WRITE, kShareAll,
                                  /*securityAttributes=*/nullptr, OPEN_EXISTING,
                                  FILE_FLAG_BACKUP_SEMANTICS, /*templateFile=*/nullptr));
  if (folder.valid()) FlushFileBuffers(folder.value);
}

// Removes the entry at the long form, whose own attributes and link test are
// known, and everything below it; subject names it in a failure.
void removeEntry(const std::wstring& longForm, const fs::path& subject, DWORD attributes,
                 bool link) {
  // The read-only attribute would make the removal stop half-way with
  // "Access denied".
  if ((attributes & FILE_ATTRIBUTE_READONLY) != 0 &&
      !SetFileAttributesW(longForm.c_str(),
                          withoutAttributes(attributes, FILE_ATTRIBUTE_READONLY))) {
    const DWORD error = GetLastError();
    if (isAbsentCode(error)) return;
    fail("remove", subject, error);
  }
  const bool directory = (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
  if (directory && !link) {
    // The names are read first, so that no listing is open while its entries
    // go, nor when the folder itself goes.
    struct Child {
      std::wstring name;
      DWORD attributes;
      bool link;
    };
    std::vector<Child> children;
    forEachFound(longForm, subject, [&](const WIN32_FIND_DATAW& found) {
      children.push_back({found.cFileName, found.dwFileAttributes, isLink(found)});
      return true;
    });
    for (const Child& child : children) {
      removeEntry(childOf(longForm, child.name), subject / child.name, child.attributes,
                  child.link);
    }
  }
  // A link or junction goes as itself, never what it leads to: a link to a
  // folder is removed as a folder, and is never entered. Under Wine no call
  // removes a Unix link to a directory (145, "not empty"); the removal then
  // stops here rather than go through it.
  const BOOL removed =
      directory ? RemoveDirectoryW(longForm.c_str()) : DeleteFileW(longForm.c_str());
  if (!removed) {
    const DWORD error = GetLastError();
    if (isAbsentCode(error)) return;
    fail("remove", subject, error);
  }
}

// The system's move with copying allowed writes the copy over the target in
// its place: stopped half way (a full volume, a kill, a power cut) it would
// leave the target half overwritten. Instead the copy is made beside the
// target under a name of its own, made durable, renamed over the target,
// and only then is the original removed. Returns 0 or the system's code.
DWORD moveAcrossVolumes(const std::wstring& from, const std::wstring& to,
                        const std::wstring& suffix) {
  // A source another process holds without sharing its removal is refused
  // before the target is touched, as a move within a volume refuses it.
  {
    const Handle source(CreateFileW(
        from.c_str(), DELETE, kShareAll, /*securityAttributes=*/nullptr, OPEN_EXISTING,
        FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, /*templateFile=*/nullptr));
    if (!source.valid()) return GetLastError();
  }
  const std::wstring folder = parentOf(to);
  std::wstring name = to.substr(folder.size() + (folder.back() == L'\\' ? 0 : 1));
  // A name may be 255 characters long: the target's is cut short rather
  // than the suffix, which says whose the copy is.
  constexpr std::size_t kLongestName = 255;
  if (name.size() + suffix.size() > kLongestName) {
    name.resize(suffix.size() < kLongestName ? kLongestName - suffix.size() : 0);
  }
  const std::wstring temporary = childOf(folder, name + suffix);
  constexpr DWORD kCopyFlags = COPY_FILE_FAIL_IF_EXISTS | COPY_FILE_COPY_SYMLINK;
  DWORD error = CopyFileExW(from.c_str(), temporary.c_str(), /*progressRoutine=*/nullptr,
                            /*data=*/nullptr, /*cancel=*/nullptr, kCopyFlags)
                    ? 0
                    : GetLastError();
  if (error == ERROR_FILE_EXISTS) {
    // The suffix is this update's own: a copy a stopped run left behind.
    deleteFile(temporary);
    error = CopyFileExW(from.c_str(), temporary.c_str(), /*progressRoutine=*/nullptr,
                        /*data=*/nullptr, /*cancel=*/nullptr, kCopyFlags)
                ? 0
                : GetLastError();
  }
  if (error == 0) error = flushFile(temporary);
  if (error == 0 && !MoveFileExW(temporary.c_str(), to.c_str(), kMoveFlags)) error = GetLastError();
  if (error != 0) {
    deleteFile(temporary);
    return error;
  }
  // The original may go only once the copy's name is on the disk.
  flushFolder(folder);
  return deleteFile(from);
}

// Moves from over to, both long forms, clearing the attributes that make
// Windows refuse to replace a file; with acrossVolumes, a move the system
// refuses between volumes copies as moveAcrossVolumes does. Returns 0 or the
// system's code.
DWORD moveClearingAttributes(const std::wstring& from, const std::wstring& to,
                             const std::wstring& suffix, bool acrossVolumes) {
  // Windows refuses (5) to replace a read-only file, and a hidden or system
  // file where the replacing one lacks those attributes. Like the
  // established updaters, clear them on the file being replaced just before;
  // the file moved in keeps its own attributes. A refused move puts them
  // back.
  constexpr DWORD kRefusing =
      FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM;
  const DWORD attributes = GetFileAttributesW(to.c_str());
  const bool cleared = attributes != INVALID_FILE_ATTRIBUTES &&
                       (attributes & FILE_ATTRIBUTE_DIRECTORY) == 0 &&
                       (attributes & kRefusing) != 0 &&
                       SetFileAttributesW(to.c_str(), withoutAttributes(attributes, kRefusing));
  DWORD error = MoveFileExW(from.c_str(), to.c_str(), kMoveFlags) ? 0 : GetLastError();
  if (error == ERROR_NOT_SAME_DEVICE && acrossVolumes) error = moveAcrossVolumes(from, to, suffix);
  if (error != 0 && cleared) SetFileAttributesW(to.c_str(), attributes);
  return error;
}

}  // namespace

bool listDirectory(const fs::path& directory,
                   const std::function<bool(const fs::path& name, EntryKind kind)>& each) {
  const std::wstring folder = longFormFor(directory, "list");
  return forEachFound(folder, directory, [&](const WIN32_FIND_DATAW& found) {
    const std::wstring name = found.cFileName;
    EntryKind kind = EntryKind::kOther;
    if (const DWORD error = kindOf(childOf(folder, name), found, &kind)) {
      fail("status", directory / name, error);
    }
    return each(fs::path(name), kind);
  });
}

bool entryExists(const fs::path& path) {
  std::wstring longForm;
  WIN32_FILE_ATTRIBUTE_DATA data{};
  return readEntry(path, &longForm, &data);
}

bool directoryExists(const fs::path& path) {
  std::wstring longForm;
  WIN32_FILE_ATTRIBUTE_DATA data{};
  if (!readEntry(path, &longForm, &data)) return false;
  if ((data.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) == 0) {
    return (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
  }
  // A reparse point's own attributes say what it is, not what it leads to.
  BY_HANDLE_FILE_INFORMATION info{};
  if (const DWORD error = readInformation(longForm, /*ownEntry=*/false, &info)) {
    if (isAbsentCode(error)) return false;
    fail("status", path, error);
  }
  return (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

bool isLinkEntry(const fs::path& path) {
  std::wstring longForm;
  WIN32_FILE_ATTRIBUTE_DATA data{};
  if (!readEntry(path, &longForm, &data)) return false;
  if ((data.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) == 0) return false;
  bool link = false;
  if (const DWORD error = readLinkTag(longForm, &link)) {
    if (isAbsentCode(error)) return false;
    fail("status", path, error);
  }
  return link;
}

bool readStamp(const fs::path& path, FileStamp* stamp) {
  std::wstring longForm;
  WIN32_FILE_ATTRIBUTE_DATA data{};
  if (!readEntry(path, &longForm, &data)) return false;
  // Size, time and identity come from one handle of the entry itself (a
  // link as itself), so that they describe one file even if another takes
  // its name in between.
  BY_HANDLE_FILE_INFORMATION info{};
  if (const DWORD error = readInformation(longForm, /*ownEntry=*/true, &info)) {
    if (isAbsentCode(error)) return false;
    fail("status", path, error);
  }
  stamp->size = joined(info.nFileSizeHigh, info.nFileSizeLow);
  stamp->time = static_cast<std::int64_t>(
      joined(info.ftLastWriteTime.dwHighDateTime, info.ftLastWriteTime.dwLowDateTime));
  stamp->volume = std::to_string(info.dwVolumeSerialNumber);
  stamp->index = std::to_string(joined(info.nFileIndexHigh, info.nFileIndexLow));
  return true;
}

std::uint64_t fileSize(const fs::path& path) {
  BY_HANDLE_FILE_INFORMATION info{};
  if (const DWORD error = readInformation(longFormFor(path, "status"), /*ownEntry=*/false, &info)) {
    fail("status", path, error);
  }
  return joined(info.nFileSizeHigh, info.nFileSizeLow);
}

std::string fileIdentity(const fs::path& path) {
  BY_HANDLE_FILE_INFORMATION info{};
  if (const DWORD error = readInformation(longFormFor(path, "status"), /*ownEntry=*/false, &info)) {
    fail("status", path, error);
  }
  return std::to_string(info.dwVolumeSerialNumber) + ":" + std::to_string(info.nFileIndexHigh) +
         ":" + std::to_string(info.nFileIndexLow);
}

bool sameFileIdentity(const fs::path& a, const fs::path& b) {
  std::wstring longA;
  std::wstring longB;
  if (makeLongForm(a, &longA) != 0 || makeLongForm(b, &longB) != 0) return false;
  BY_HANDLE_FILE_INFORMATION infoA{};
  BY_HANDLE_FILE_INFORMATION infoB{};
  if (readInformation(longA, /*ownEntry=*/false, &infoA) != 0 ||
      readInformation(longB, /*ownEntry=*/false, &infoB) != 0) {
    return false;
  }
  return infoA.dwVolumeSerialNumber == infoB.dwVolumeSerialNumber &&
         infoA.nFileIndexHigh == infoB.nFileIndexHigh && infoA.nFileIndexLow == infoB.nFileIndexLow;
}

bool isShareOrDeviceRoot(const fs::path& path) {
  std::wstring text = path.native();
  for (wchar_t& c : text) {
    if (c == L'/') c = L'\\';
  }
  while (text.size() > 3 && text.back() == L'\\') text.pop_back();
  const auto startsWith = [&](const wchar_t* prefix) { return text.rfind(prefix, 0) == 0; };
  std::wstring rest;
  if (startsWith(L"\\\\?\\UNC\\")) {
    rest = text.substr(8);
  } else if (startsWith(L"\\\\?\\") || startsWith(L"\\\\.\\")) {
    // A drive in the long form: "\\?\C:" (its separator was dropped above).
    rest = text.substr(4);
    return rest.size() == 2 && rest[1] == L':';
  } else if (startsWith(L"\\\\")) {
    rest = text.substr(2);
  } else {
    return false;
  }
  // "server\share": two names and nothing below them.
  const std::size_t separator = rest.find(L'\\');
  return separator != 0 && separator != std::wstring::npos && separator + 1 < rest.size() &&
         rest.find(L'\\', separator + 1) == std::wstring::npos;
}

bool createDirectories(const fs::path& path) {
  std::wstring folder = longFormFor(path, "create");
  // The folders that are missing, innermost first, found by going up until
  // one can be made or is there.
  std::vector<std::wstring> missing;
  for (;;) {
    if (CreateDirectoryW(folder.c_str(), /*securityAttributes=*/nullptr)) break;
    const DWORD error = GetLastError();
    const std::wstring parent = parentOf(folder);
    if (error == ERROR_PATH_NOT_FOUND && parent != folder) {
      missing.push_back(folder);
      folder = parent;
      continue;
    }
    // Already there: a drive's root gives access denied instead of "exists",
    // and a link or junction to a folder counts as the folder.
    if (isFolder(folder)) {
      if (missing.empty()) return false;
      break;
    }
    fail("create", path, error);
  }
  for (auto it = missing.rbegin(); it != missing.rend(); ++it) {
    if (!CreateDirectoryW(it->c_str(), /*securityAttributes=*/nullptr)) {
      const DWORD error = GetLastError();
      // Another process may make the same folder at the same moment.
      if (error == ERROR_ALREADY_EXISTS && isFolder(*it)) continue;
      fail("create", path, error);
    }
  }
  return true;
}

void removeTree(const fs::path& path) {
  std::wstring longForm;
  WIN32_FILE_ATTRIBUTE_DATA data{};
  if (!readEntry(path, &longForm, &data)) return;
  bool link = false;
  if ((data.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0) {
    if (const DWORD error = readLinkTag(longForm, &link)) {
      if (isAbsentCode(error)) return;
      fail("status", path, error);
    }
  }
  removeEntry(longForm, path, data.dwFileAttributes, link);
}

bool removeFile(const fs::path& path) {
  std::wstring longForm;
  WIN32_FILE_ATTRIBUTE_DATA data{};
  if (!readEntry(path, &longForm, &data)) return false;
  // A link or junction to a folder is removed as a folder; a folder that is
  // no link is refused as DeleteFileW refuses it.
  bool folderLink = false;
  if ((data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0 &&
      (data.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0) {
    if (const DWORD error = readLinkTag(longForm, &folderLink)) {
      if (isAbsentCode(error)) return false;
      fail("status", path, error);
    }
  }
  const DWORD error =
      folderLink ? (RemoveDirectoryW(longForm.c_str()) ? 0 : GetLastError()) : deleteFile(longForm);
  if (error == 0) return true;
  if (isAbsentCode(error)) return false;
  fail("remove", path, error);
}

void copyFileOver(const fs::path& from, const fs::path& to) {
  const std::string subject = toNarrowText(from) + ", " + toNarrowText(to);
  std::wstring longFrom;
  std::wstring longTo;
  DWORD error = makeLongForm(from, &longFrom);
  if (error == 0) error = makeLongForm(to, &longTo);
  if (error == 0 && !CopyFileW(longFrom.c_str(), longTo.c_str(), /*failIfExists=*/FALSE)) {
    error = GetLastError();
  }
  if (error != 0) throw SystemError("copy", subject, error);
  // The journal written after the backup vouches for it, and the swap then
  // destroys the other copy of each file it replaces: the copy must be on the
  // disk first, not in the system's cache.
  if (const DWORD flushError = flushFile(longTo)) fail("flush", to, flushError);
}

void copyProgram(const fs::path& from, const fs::path& to) {
  const std::string subject = toNarrowText(from) + ", " + toNarrowText(to);
  std::wstring longFrom;
  std::wstring longTo;
  DWORD error = makeLongForm(from, &longFrom);
  if (error == 0) error = makeLongForm(to, &longTo);
  if (error != 0) throw SystemError("copy", subject, error);
  // The copy is made beside the target and renamed over it, so that the
  // target is never seen half-written. A running program refuses the rename
  // (5), so a copy of the updater that is still running is never replaced.
  const std::wstring temporary = longTo + L".new-" + std::to_wstring(GetCurrentProcessId());
  if (!CopyFileW(longFrom.c_str(), temporary.c_str(), /*failIfExists=*/FALSE)) {
    error = GetLastError();
    throw SystemError("copy", subject, error);
  }
  error = flushFile(temporary);
  if (error == 0) {
    error = moveClearingAttributes(temporary, longTo, std::wstring(), /*acrossVolumes=*/false);
  }
  if (error != 0) {
    deleteFile(temporary);
    throw SystemError("copy", subject, error);
  }
}

std::uint32_t moveFileReplacing(const fs::path& from, const fs::path& to,
                                const std::string& temporarySuffix) {
  std::wstring longFrom;
  std::wstring longTo;
  if (const DWORD error = makeLongForm(from, &longFrom)) return error;
  if (const DWORD error = makeLongForm(to, &longTo)) return error;
  std::wstring suffix;
  try {
    suffix = toFsPath(temporarySuffix).native();
  } catch (const SystemError& e) {
    return e.code();
  }
  return moveClearingAttributes(longFrom, longTo, suffix, /*acrossVolumes=*/true);
}

void flushDirectories(const std::set<fs::path>& directories) {
  for (const fs::path& directory : directories) {
    std::wstring longForm;
    if (makeLongForm(directory, &longForm) == 0) flushFolder(longForm);
  }
}

void syncFile(const fs::path& path) {
  const std::wstring longForm = longFormFor(path, "flush");
  {
    const Handle file(CreateFileW(longForm.c_str(), GENERIC_WRITE,
                                  FILE_SHARE_READ | FILE_SHARE_WRITE,
                                  /*securityAttributes=*/nullptr, OPEN_EXISTING,
                                  FILE_ATTRIBUTE_NORMAL, /*templateFile=*/nullptr));
    if (!file.valid() || !FlushFileBuffers(file.value)) {
      const DWORD error = GetLastError();
      fail("flush", path, error);
    }
  }
  // NTFS writes a new file's entry with its log; other file systems (FAT on
  // a removable drive) need the folder flushed too.
  flushFolder(parentOf(longForm));
}

void flushFileSystem(const fs::path&) {
  // Each copy was flushed as it was made: flushing a whole volume would need
  // administrator rights, which the updater never asks for.
}

InputFile::InputFile(const fs::path& path) : path_(path), handle_(-1) {
  const std::wstring longForm = longFormFor(path, "open");
  // Others may go on reading, writing, even renaming the file: a staged file
  // or the journal is read while nothing else should need it, and a holder
  // that shares less keeps its own promise.
  const HANDLE file = CreateFileW(longForm.c_str(), GENERIC_READ, kShareAll,
                                  /*securityAttributes=*/nullptr, OPEN_EXISTING,
                                  FILE_FLAG_SEQUENTIAL_SCAN, /*templateFile=*/nullptr);
  if (file == INVALID_HANDLE_VALUE) {
    const DWORD error = GetLastError();
    fail("open", path, error);
  }
  handle_ = reinterpret_cast<std::intptr_t>(file);
}

InputFile::~InputFile() {
  if (handle_ != -1) CloseHandle(reinterpret_cast<HANDLE>(handle_));
}

std::size_t InputFile::read(char* buffer, std::size_t size) {
  // ReadFile counts in DWORDs; a larger request is served in part, as a read
  // may be.
  const DWORD wanted = size > MAXDWORD ? MAXDWORD : static_cast<DWORD>(size);
  DWORD got = 0;
  if (!ReadFile(reinterpret_cast<HANDLE>(handle_), buffer, wanted, &got, /*overlapped=*/nullptr)) {
    const DWORD error = GetLastError();
    if (error == ERROR_HANDLE_EOF) return 0;
    fail("read", path_, error);
  }
  return got;
}

OutputFile::OutputFile(const fs::path& path, WriteMode mode) : path_(path), handle_(-1) {
  const std::wstring longForm = longFormFor(path, "open");
  // Appending asks for the right to append only, so that every write lands
  // at the end whoever else writes there (two streams into one log).
  const bool append = mode == WriteMode::kAppend;
  const HANDLE file =
      CreateFileW(longForm.c_str(), append ? FILE_APPEND_DATA : GENERIC_WRITE,
                  FILE_SHARE_READ | FILE_SHARE_WRITE, /*securityAttributes=*/nullptr,
                  append                           ? OPEN_ALWAYS
                  : mode == WriteMode::kNewPrivate ? CREATE_NEW
                                                   : CREATE_ALWAYS,
                  FILE_ATTRIBUTE_NORMAL,
                  /*templateFile=*/nullptr);
  if (file == INVALID_HANDLE_VALUE) {
    const DWORD error = GetLastError();
    fail("open", path, error);
  }
  handle_ = reinterpret_cast<std::intptr_t>(file);
}

OutputFile::~OutputFile() {
  if (handle_ != -1) CloseHandle(reinterpret_cast<HANDLE>(handle_));
}

void OutputFile::write(const std::string& bytes) {
  std::size_t done = 0;
  while (done < bytes.size()) {
    const std::size_t left = bytes.size() - done;
    const DWORD piece = left > (1u << 30) ? (1u << 30) : static_cast<DWORD>(left);
    DWORD written = 0;
    if (!WriteFile(reinterpret_cast<HANDLE>(handle_), bytes.data() + done, piece, &written,
                   /*overlapped=*/nullptr)) {
      const DWORD error = GetLastError();
      fail("write", path_, error);
    }
    done += written;
  }
}

void OutputFile::close() {
  if (handle_ == -1) return;
  const HANDLE file = reinterpret_cast<HANDLE>(handle_);
  handle_ = -1;
  if (!CloseHandle(file)) {
    const DWORD error = GetLastError();
    fail("write", path_, error);
  }
}
