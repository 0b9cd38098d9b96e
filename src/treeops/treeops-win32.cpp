#include <windows.h>

#include <algorithm>
#include <climits>
#include <string>
#include <system_error>
#include <vector>

#include "treeops/treeops_os.h"

namespace fs = std::filesystem;

namespace {

std::error_code systemError(DWORD code) {
  return std::error_code(static_cast<int>(code), std::system_category());
}

// The string lengths the conversion functions take are ints; a longer path
// is no path the system would accept anyway.
int checkedLength(std::size_t size, const char* what) {
  if (size > static_cast<std::size_t>(INT_MAX)) {
    throw std::system_error(systemError(ERROR_FILENAME_EXCED_RANGE), what);
  }
  return static_cast<int>(size);
}

bool isNotFound(DWORD code) { return code == ERROR_FILE_NOT_FOUND || code == ERROR_PATH_NOT_FOUND; }

// Symbolic links and junctions (mount points) lead elsewhere. Every other
// reparse point is the file or folder it appears to be, its contents part of
// the tree: a cloud file's placeholder, a deduplicated or a compressed (WOF)
// file. A reparse point whose tag the system leaves at 0, a tag Windows lets
// no file carry, is how Wine shows a Unix link made on the Linux side (0x410,
// tag 0): it may lead anywhere, so it is a link too.
bool isLinkTag(DWORD tag) {
  return tag == IO_REPARSE_TAG_SYMLINK || tag == IO_REPARSE_TAG_MOUNT_POINT ||
         tag == IO_REPARSE_TAG_RESERVED_ZERO;
}

// An entry as it is itself, not what it may lead to.
struct OwnEntry {
  DWORD attributes = 0;
  bool link = false;
};

// Reads the entry at path: the one test of "is this a link" that every walk
// makes, on this toolchain, whose library never reports a link. Only a
// reparse point costs a second call, for its tag, from a listing of that one
// name, which neither opens nor recalls the entry. Returns 0, or the
// system's code when the entry cannot be read.
DWORD readOwnEntry(const fs::path& path, OwnEntry* entry) {
  entry->attributes = GetFileAttributesW(path.c_str());
  if (entry->attributes == INVALID_FILE_ATTRIBUTES) return GetLastError();
  entry->link = false;
  if ((entry->attributes & FILE_ATTRIBUTE_REPARSE_POINT) == 0) return 0;
  // A listing takes a name, not a folder's trailing separator.
  fs::path name = path;
  while (!name.has_filename() && name.has_relative_path()) name = name.parent_path();
  WIN32_FIND_DATAW found{};
  const HANDLE listing = FindFirstFileW(name.c_str(), &found);
  if (listing == INVALID_HANDLE_VALUE) return GetLastError();
  FindClose(listing);
  entry->link =
      (found.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0 && isLinkTag(found.dwReserved0);
  return 0;
}

// The attributes without those in mask, in the form SetFileAttributesW takes.
DWORD withoutAttributes(DWORD attributes, DWORD mask) {
  const DWORD cleared = attributes & ~mask;
  return cleared == 0 ? FILE_ATTRIBUTE_NORMAL : cleared;
}

// Makes the file at path durable. Flushing needs write access, which a
// read-only file (the attribute travels with a copy) grants only for a
// moment. Returns 0 or the system's code.
DWORD flushFile(const fs::path& path) {
  const DWORD attributes = GetFileAttributesW(path.c_str());
  const bool readOnly =
      attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_READONLY) != 0;
  if (readOnly) {
    SetFileAttributesW(path.c_str(), withoutAttributes(attributes, FILE_ATTRIBUTE_READONLY));
  }
  const HANDLE file = CreateFileW(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr,
                                  OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  const BOOL flushed = file != INVALID_HANDLE_VALUE && FlushFileBuffers(file);
  const DWORD error = flushed ? 0 : GetLastError();
  if (file != INVALID_HANDLE_VALUE) CloseHandle(file);
  if (readOnly) SetFileAttributesW(path.c_str(), attributes);
  return error;
}

// Removes a file, read-only or not. Returns 0 or the system's code.
DWORD deleteFile(const fs::path& path) {
  const DWORD attributes = GetFileAttributesW(path.c_str());
  if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_READONLY) != 0) {
    SetFileAttributesW(path.c_str(), withoutAttributes(attributes, FILE_ATTRIBUTE_READONLY));
  }
  return DeleteFileW(path.c_str()) ? 0 : GetLastError();
}

[[noreturn]] void throwRemoveAll(const fs::path& top, const fs::path& entry, DWORD code) {
  if (entry == top) throw fs::filesystem_error("remove_all", top, systemError(code));
  throw fs::filesystem_error("remove_all", top, entry, systemError(code));
}

// Clears the read-only attribute on path and everything below it, which
// would otherwise make the removal stop half-way with "Access denied". Links
// and junctions are removed here, unentered: the library's remove_all on
// this platform cannot tell them from directories and would delete what
// they point to.
void prepareForRemoval(const fs::path& top, const fs::path& path) {
  OwnEntry entry;
  if (const DWORD error = readOwnEntry(path, &entry)) {
    if (isNotFound(error)) return;
    throwRemoveAll(top, path, error);
  }
  const DWORD attributes = entry.attributes;
  if ((attributes & FILE_ATTRIBUTE_READONLY) &&
      !SetFileAttributesW(path.c_str(), withoutAttributes(attributes, FILE_ATTRIBUTE_READONLY))) {
    throwRemoveAll(top, path, GetLastError());
  }
  if (entry.link) {
    // Under Wine no call removes a Unix link to a directory (145, "not
    // empty"); the removal then stops here rather than go through it.
    const BOOL removed = (attributes & FILE_ATTRIBUTE_DIRECTORY) ? RemoveDirectoryW(path.c_str())
                                                                 : DeleteFileW(path.c_str());
    if (!removed) throwRemoveAll(top, path, GetLastError());
    return;
  }
  if (!(attributes & FILE_ATTRIBUTE_DIRECTORY)) return;

  // The names are read first so that no listing is open while entries go.
  std::vector<fs::path> children;
  std::error_code error;
  for (fs::directory_iterator it(path, error), end; !error && it != end; it.increment(error)) {
    children.push_back(it->path());
  }
  if (error) throw fs::filesystem_error("remove_all", top, path, error);
  for (const fs::path& child : children) prepareForRemoval(top, child);
}

}  // namespace

fs::path toFsPath(const std::string& narrow) {
  static const char kWhat[] = "cannot convert path from the ANSI code page";
  if (narrow.empty()) return fs::path();
  const int length = checkedLength(narrow.size(), kWhat);
  const int wideLength =
      MultiByteToWideChar(CP_ACP, MB_ERR_INVALID_CHARS, narrow.data(), length, nullptr, 0);
  if (wideLength == 0) throw std::system_error(systemError(GetLastError()), kWhat);
  std::wstring wide(static_cast<std::size_t>(wideLength), L'\0');
  if (MultiByteToWideChar(CP_ACP, MB_ERR_INVALID_CHARS, narrow.data(), length, &wide[0],
                          wideLength) != wideLength) {
    throw std::system_error(systemError(GetLastError()), kWhat);
  }
  return fs::path(wide);
}

std::string toNarrow(const fs::path& path) {
  static const char kWhat[] = "cannot convert path to the ANSI code page";
  const std::wstring& wide = path.native();
  if (wide.empty()) return std::string();
  const int length = checkedLength(wide.size(), kWhat);
  // With UTF-8 as the ANSI code page the system refuses the used-default
  // pointer; every character is representable there and only broken UTF-16
  // fails. Elsewhere a best-fit or default substitution counts as failure.
  const bool utf8 = GetACP() == CP_UTF8;
  const DWORD flags = utf8 ? WC_ERR_INVALID_CHARS : WC_NO_BEST_FIT_CHARS;
  BOOL usedDefault = FALSE;
  BOOL* const usedDefaultOut = utf8 ? nullptr : &usedDefault;
  const int narrowLength =
      WideCharToMultiByte(CP_ACP, flags, wide.data(), length, nullptr, 0, nullptr, usedDefaultOut);
  if (narrowLength == 0) throw std::system_error(systemError(GetLastError()), kWhat);
  if (usedDefault) throw std::system_error(systemError(ERROR_NO_UNICODE_TRANSLATION), kWhat);
  std::string narrow(static_cast<std::size_t>(narrowLength), '\0');
  if (WideCharToMultiByte(CP_ACP, flags, wide.data(), length, &narrow[0], narrowLength, nullptr,
                          usedDefaultOut) != narrowLength) {
    throw std::system_error(systemError(GetLastError()), kWhat);
  }
  if (usedDefault) throw std::system_error(systemError(ERROR_NO_UNICODE_TRANSLATION), kWhat);
  return narrow;
}

std::string toNarrowText(const fs::path& path) {
  const std::wstring& wide = path.native();
  if (wide.empty()) return std::string();
  const int length = checkedLength(wide.size(), "path");
  const int narrowLength =
      WideCharToMultiByte(CP_ACP, 0, wide.data(), length, nullptr, 0, nullptr, nullptr);
  std::string narrow(static_cast<std::size_t>(narrowLength > 0 ? narrowLength : 0), '\0');
  if (narrowLength > 0) {
    WideCharToMultiByte(CP_ACP, 0, wide.data(), length, &narrow[0], narrowLength, nullptr, nullptr);
  }
  return narrow;
}

std::string toJournalText(const fs::path& relative) {
  static const char kWhat[] = "cannot convert path to UTF-8";
  const std::wstring& wide = relative.native();
  if (wide.empty()) return std::string();
  const int length = checkedLength(wide.size(), kWhat);
  const int size = WideCharToMultiByte(CP_UTF8, WC_ERR_INVALID_CHARS, wide.data(), length, nullptr,
                                       0, nullptr, nullptr);
  if (size == 0) throw std::system_error(systemError(GetLastError()), kWhat);
  std::string text(static_cast<std::size_t>(size), '\0');
  WideCharToMultiByte(CP_UTF8, WC_ERR_INVALID_CHARS, wide.data(), length, &text[0], size, nullptr,
                      nullptr);
  return text;
}

fs::path fromJournalText(const std::string& text) {
  static const char kWhat[] = "cannot convert path from UTF-8";
  if (text.empty()) return fs::path();
  const int length = checkedLength(text.size(), kWhat);
  const int size =
      MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, text.data(), length, nullptr, 0);
  if (size == 0) throw std::system_error(systemError(GetLastError()), kWhat);
  std::wstring wide(static_cast<std::size_t>(size), L'\0');
  MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, text.data(), length, &wide[0], size);
  return fs::path(wide);
}

const std::int64_t kStampTicksPerSecond = 10000000;

bool openProcessForWait(std::uint32_t processId, ProcessWait* wait, std::uint32_t* errorCode) {
  const HANDLE process = OpenProcess(SYNCHRONIZE, /*inheritHandle=*/FALSE, processId);
  if (process == nullptr) {
    *errorCode = GetLastError();
    return false;
  }
  wait->handle = reinterpret_cast<std::intptr_t>(process);
  wait->processId = processId;
  return true;
}

std::uint32_t waitOnProcess(const ProcessWait& wait, std::uint32_t timeoutMs) {
  return WaitForSingleObject(reinterpret_cast<HANDLE>(wait.handle), timeoutMs);
}

void closeProcessWait(const ProcessWait& wait) {
  CloseHandle(reinterpret_cast<HANDLE>(wait.handle));
}

EntryKind entryKind(const fs::directory_entry& entry) {
  OwnEntry own;
  if (const DWORD error = readOwnEntry(entry.path(), &own)) {
    throw fs::filesystem_error("status", entry.path(), systemError(error));
  }
  const bool directory = (own.attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
  if (!own.link) return directory ? EntryKind::kDirectory : EntryKind::kFile;
  // Opening a link follows it: that tells whether it leads anywhere, and to
  // what. No access right is needed, and full sharing disturbs nobody.
  const HANDLE target =
      CreateFileW(entry.path().c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                  nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  if (target == INVALID_HANDLE_VALUE) {
    const DWORD error = GetLastError();
    if (isNotFound(error)) return EntryKind::kDanglingLink;
    throw fs::filesystem_error("status", entry.path(), systemError(error));
  }
  BY_HANDLE_FILE_INFORMATION info{};
  const BOOL known = GetFileInformationByHandle(target, &info);
  const DWORD error = known ? 0 : GetLastError();
  CloseHandle(target);
  if (!known) throw fs::filesystem_error("status", entry.path(), systemError(error));
  return (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) ? EntryKind::kLinkToDirectory
                                                            : EntryKind::kLinkToFile;
}

bool isLinkEntry(const fs::path& path) {
  OwnEntry own;
  if (const DWORD error = readOwnEntry(path, &own)) {
    if (isNotFound(error)) return false;
    throw fs::filesystem_error("status err=" + std::to_string(error), path, systemError(error));
  }
  return own.link;
}

void removeLink(const fs::path& path) {
  const DWORD attributes = GetFileAttributesW(path.c_str());
  const BOOL removed = attributes != INVALID_FILE_ATTRIBUTES &&
                       ((attributes & FILE_ATTRIBUTE_DIRECTORY) ? RemoveDirectoryW(path.c_str())
                                                                : DeleteFileW(path.c_str()));
  if (!removed) throw fs::filesystem_error("remove", path, systemError(GetLastError()));
}

void copyFileOver(const fs::path& from, const fs::path& to) {
  if (!CopyFileW(from.c_str(), to.c_str(), /*failIfExists=*/FALSE)) {
    throw fs::filesystem_error("copy_file", from, to, systemError(GetLastError()));
  }
  // The journal written after the backup vouches for it, and the swap then
  // destroys the other copy of each file it replaces: the copy must be on the
  // disk first, not in the system's cache.
  if (const DWORD error = flushFile(to)) {
    throw fs::filesystem_error("copy_file", from, to, systemError(error));
  }
}

void removeTree(const fs::path& path) {
  prepareForRemoval(path, path);
  std::error_code error;
  fs::remove_all(path, error);
  if (error) throw fs::filesystem_error("remove_all", path, error);
}

namespace {

constexpr DWORD kMoveFlags = MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH;

// The system's move with copying allowed writes the copy over the target in
// its place: stopped half way (a full volume, a kill, a power cut) it would
// leave the target half overwritten. Instead the copy is made beside the
// target under a name of its own, made durable, renamed over the target,
// and only then is the original removed.
DWORD moveAcrossVolumes(const fs::path& from, const fs::path& to, const std::string& suffix) {
  // A source another process holds without sharing its removal is refused
  // before the target is touched, as a move within a volume refuses it.
  const HANDLE source = CreateFileW(
      from.c_str(), DELETE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
      OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
  if (source == INVALID_HANDLE_VALUE) return GetLastError();
  CloseHandle(source);
  std::wstring name = to.filename().native();
  const std::wstring wideSuffix(suffix.begin(), suffix.end());
  if (name.size() + wideSuffix.size() > 255) name.resize(255 - wideSuffix.size());
  const fs::path temporary = to.parent_path() / (name + wideSuffix);
  constexpr DWORD kCopyFlags = COPY_FILE_FAIL_IF_EXISTS | COPY_FILE_COPY_SYMLINK;
  BOOL copied = CopyFileExW(from.c_str(), temporary.c_str(), nullptr, nullptr, nullptr, kCopyFlags);
  DWORD error = copied ? 0 : GetLastError();
  if (error == ERROR_FILE_EXISTS) {
    // The suffix is this update's own: a copy a stopped run left behind.
    deleteFile(temporary);
    copied = CopyFileExW(from.c_str(), temporary.c_str(), nullptr, nullptr, nullptr, kCopyFlags);
    error = copied ? 0 : GetLastError();
  }
  if (error == 0) error = flushFile(temporary);
  if (error == 0 && !MoveFileExW(temporary.c_str(), to.c_str(), kMoveFlags)) error = GetLastError();
  if (error != 0) {
    deleteFile(temporary);
    return error;
  }
  // The original may go only once the copy's name is on the disk.
  flushDirectories({to.parent_path()});
  return deleteFile(from);
}

}  // namespace

std::uint32_t moveFileReplacing(const fs::path& from, const fs::path& to,
                                const std::string& temporarySuffix) {
  // Windows refuses (5) to replace a read-only file, and a hidden or system
  // file where the replacing copy lacks those attributes. Like the
  // established updaters, clear them on the file being replaced just before;
  // the file moved in keeps its own attributes. A refused move puts them back.
  constexpr DWORD kRefusing =
      FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM;
  const DWORD attributes = GetFileAttributesW(to.c_str());
  const bool cleared = attributes != INVALID_FILE_ATTRIBUTES &&
                       (attributes & FILE_ATTRIBUTE_DIRECTORY) == 0 &&
                       (attributes & kRefusing) != 0 &&
                       SetFileAttributesW(to.c_str(), withoutAttributes(attributes, kRefusing));
  DWORD error = MoveFileExW(from.c_str(), to.c_str(), kMoveFlags) ? 0 : GetLastError();
  if (error == ERROR_NOT_SAME_DEVICE) error = moveAcrossVolumes(from, to, temporarySuffix);
  if (error != 0 && cleared) SetFileAttributesW(to.c_str(), attributes);
  return error;
}

void flushDirectories(const std::set<fs::path>& directories) {
  // MOVEFILE_WRITE_THROUGH only makes a move that copies wait for its data; a
  // rename within a volume is ordered by the file system's log, which a flush
  // of the folder's handle writes out. Flushing needs write access, and a
  // folder opens only with the backup-semantics flag. The moves are done; a
  // folder that cannot be flushed leaves nothing to report or undo.
  for (const fs::path& directory : directories) {
    const HANDLE folder = CreateFileW(directory.c_str(), GENERIC_WRITE,
                                      FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                      nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (folder == INVALID_HANDLE_VALUE) continue;
    FlushFileBuffers(folder);
    CloseHandle(folder);
  }
}

bool isShareOrDeviceRoot(const fs::path& path) {
  std::wstring text = path.native();
  std::replace(text.begin(), text.end(), L'/', L'\\');
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

bool sameFileIdentity(const fs::path& a, const fs::path& b) {
  // Directories open only with the backup-semantics flag; no access right is
  // needed to read the identity, and full sharing disturbs no other holder.
  auto identify = [](const fs::path& path, BY_HANDLE_FILE_INFORMATION* info) {
    const HANDLE file =
        CreateFileW(path.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                    nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (file == INVALID_HANDLE_VALUE) return false;
    const BOOL ok = GetFileInformationByHandle(file, info);
    CloseHandle(file);
    return ok != FALSE;
  };
  BY_HANDLE_FILE_INFORMATION infoA{};
  BY_HANDLE_FILE_INFORMATION infoB{};
  if (!identify(a, &infoA) || !identify(b, &infoB)) return false;
  return infoA.dwVolumeSerialNumber == infoB.dwVolumeSerialNumber &&
         infoA.nFileIndexHigh == infoB.nFileIndexHigh && infoA.nFileIndexLow == infoB.nFileIndexLow;
}

void syncFile(const fs::path& path) {
  const HANDLE file = CreateFileW(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                  nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  const BOOL flushed = file != INVALID_HANDLE_VALUE && FlushFileBuffers(file);
  const DWORD error = flushed ? 0 : GetLastError();
  if (file != INVALID_HANDLE_VALUE) CloseHandle(file);
  if (!flushed) throw fs::filesystem_error("write", path, systemError(error));
  // NTFS writes a new file's entry with its log; other file systems (FAT on
  // a removable drive) need the folder flushed too.
  flushDirectories({path.has_parent_path() ? path.parent_path() : fs::path(".")});
}

namespace {

// The entry's own attributes (a link's, not its target's), where only "not
// there" means absent: false then, and a throw naming the code for any other
// failure.
bool readEntry(const fs::path& path, WIN32_FILE_ATTRIBUTE_DATA* data) {
  if (GetFileAttributesExW(path.c_str(), GetFileExInfoStandard, data)) return true;
  const DWORD error = GetLastError();
  // A name no entry can have is an answer about the path. A share or server
  // that does not answer is not: a mapped drive may be reconnecting.
  if (isNotFound(error) || error == ERROR_INVALID_NAME || error == ERROR_BAD_PATHNAME) {
    return false;
  }
  throw fs::filesystem_error("status err=" + std::to_string(error), path, systemError(error));
}

}  // namespace

bool entryExists(const fs::path& path) {
  WIN32_FILE_ATTRIBUTE_DATA data{};
  return readEntry(path, &data);
}

bool directoryExists(const fs::path& path) {
  WIN32_FILE_ATTRIBUTE_DATA data{};
  return readEntry(path, &data) && (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

bool readStamp(const fs::path& path, FileStamp* stamp) {
  WIN32_FILE_ATTRIBUTE_DATA data{};
  if (!readEntry(path, &data)) return false;
  // The identity takes a handle: of the entry itself, a link as itself. No
  // access right is asked for, so no other holder's sharing stands in the way.
  const HANDLE file = CreateFileW(
      path.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
      OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
  if (file == INVALID_HANDLE_VALUE) {
    const DWORD error = GetLastError();
    if (isNotFound(error)) return false;
    throw fs::filesystem_error("status err=" + std::to_string(error), path, systemError(error));
  }
  BY_HANDLE_FILE_INFORMATION info{};
  const BOOL known = GetFileInformationByHandle(file, &info);
  const DWORD error = known ? 0 : GetLastError();
  CloseHandle(file);
  if (!known) {
    throw fs::filesystem_error("status err=" + std::to_string(error), path, systemError(error));
  }
  const auto join = [](DWORD high, DWORD low) {
    return (static_cast<std::uint64_t>(high) << 32) | low;
  };
  stamp->size = join(info.nFileSizeHigh, info.nFileSizeLow);
  stamp->time = static_cast<std::int64_t>(
      join(info.ftLastWriteTime.dwHighDateTime, info.ftLastWriteTime.dwLowDateTime));
  stamp->volume = std::to_string(info.dwVolumeSerialNumber);
  stamp->index = std::to_string(join(info.nFileIndexHigh, info.nFileIndexLow));
  return true;
}

std::string fileIdentity(const fs::path& path) {
  const HANDLE file =
      CreateFileW(path.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                  OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  if (file == INVALID_HANDLE_VALUE) {
    throw fs::filesystem_error("status", path, systemError(GetLastError()));
  }
  BY_HANDLE_FILE_INFORMATION info{};
  const BOOL known = GetFileInformationByHandle(file, &info);
  const DWORD error = known ? 0 : GetLastError();
  CloseHandle(file);
  if (!known) throw fs::filesystem_error("status", path, systemError(error));
  return std::to_string(info.dwVolumeSerialNumber) + ":" + std::to_string(info.nFileIndexHigh) +
         ":" + std::to_string(info.nFileIndexLow);
}

bool takeHold(const std::string& name, bool keep, std::uint32_t* errorCode) {
  // A named mutex in the global namespace, so that runs in other sessions
  // see it too. Its owner's end, however it comes, abandons it, and the next
  // waiter then owns it.
  const std::wstring wide = L"Global\\vexo-updater-hold-" + std::wstring(name.begin(), name.end());
  const HANDLE mutex = CreateMutexW(nullptr, /*initialOwner=*/FALSE, wide.c_str());
  if (mutex == nullptr) {
    *errorCode = GetLastError();
    return false;
  }
  const DWORD waited = WaitForSingleObject(mutex, 0);
  if (waited == WAIT_OBJECT_0 || waited == WAIT_ABANDONED) {
    if (!keep) {
      ReleaseMutex(mutex);
      CloseHandle(mutex);
    }
    return true;
  }
  const DWORD error = waited == WAIT_TIMEOUT ? 0 : GetLastError();
  CloseHandle(mutex);
  *errorCode = error;
  return false;
}

void flushFileSystem(const std::filesystem::path&) {
  // Each copy was flushed as it was made: flushing a whole volume would need
  // administrator rights, which the updater never asks for.
}
