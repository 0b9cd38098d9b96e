#include <windows.h>

#include <climits>
#include <string>
#include <vector>

#include "os/error.h"
#include "os/paths.h"
#include "os/win32_paths.h"

namespace fs = std::filesystem;

namespace {

constexpr DWORD kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;

bool startsWith(const std::wstring& text, const wchar_t* prefix) {
  return text.rfind(prefix, 0) == 0;
}

// The conversion functions take int lengths; a longer string is no path the
// system would accept anyway.
int checkedLength(std::size_t size) {
  if (size > static_cast<std::size_t>(INT_MAX)) {
    throw SystemError("convert", "", ERROR_FILENAME_EXCED_RANGE);
  }
  return static_cast<int>(size);
}

// With UTF-8 as the ANSI code page the system refuses the best-fit flag and
// the used-default pointer: every character has a form there, and only
// broken UTF-16 fails.
bool ansiIsUtf8() { return GetACP() == CP_UTF8; }

void dropTrailingSeparators(std::wstring* path) {
  const std::size_t root = rootLengthOf(*path);
  while (path->size() > root && path->back() == L'\\') path->pop_back();
}

// Sets *resolved to the name the system gives the open file or folder, every
// link and junction on its way resolved and every name in its own spelling.
// Returns 0, or the system's code.
DWORD finalPathOf(HANDLE file, std::wstring* resolved) {
  resolved->assign(MAX_PATH, L'\0');
  for (;;) {
    const DWORD length =
        GetFinalPathNameByHandleW(file, &(*resolved)[0], static_cast<DWORD>(resolved->size()),
                                  FILE_NAME_NORMALIZED | VOLUME_NAME_DOS);
    if (length == 0) return GetLastError();
    if (length < resolved->size()) {
      resolved->resize(length);
      return 0;
    }
    // Too small: the length asked for counts the terminating NUL.
    resolved->assign(static_cast<std::size_t>(length) + 1, L'\0');
  }
}

// Where one name lies in a path.
struct NameSpan {
  std::size_t start;
  std::size_t end;
};

// Sets *resolved to the system's name of the existing entry at the long form
// front, every link and junction on its way resolved, short names made long
// and every name spelled as on the disk. Opening asks for no access right
// and shares everything, so no holder stands in the way, and the folder
// flag lets a folder open. Returns 0, or the system's code.
DWORD nameExisting(const std::wstring& front, std::wstring* resolved) {
  const HANDLE file =
      CreateFileW(front.c_str(), /*desiredAccess=*/0, kShareAll, /*securityAttributes=*/nullptr,
                  OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, /*templateFile=*/nullptr);
  if (file == INVALID_HANDLE_VALUE) return GetLastError();
  const DWORD error = finalPathOf(file, resolved);
  CloseHandle(file);
  return error;
}

// Names the existing entry made of the long form's first count names where
// the system cannot name it at once: Wine names no file whose name is longer
// than MAX_PATH (its GetFinalPathNameByHandleW fails with ERROR_MORE_DATA).
// The longest front it can name is named; each name after it is spelled as
// its folder's listing spells it, which gives a short name's long one and
// the case on the disk, and a link or junction among them is named again at
// what it leads to. Returns 0, or the system's code.
DWORD nameStepByStep(const std::wstring& longForm, std::size_t root,
                     const std::vector<NameSpan>& names, std::size_t count,
                     std::wstring* resolved) {
  std::size_t named = count;
  DWORD error = ERROR_MORE_DATA;
  while (error == ERROR_MORE_DATA && named > 0) {
    --named;
    error = nameExisting(longForm.substr(0, named == 0 ? root : names[named - 1].end), resolved);
  }
  if (error != 0) return error;
  for (std::size_t i = named; i < count; ++i) {
    const std::wstring entry =
        childOf(*resolved, longForm.substr(names[i].start, names[i].end - names[i].start));
    WIN32_FIND_DATAW found{};
    const HANDLE listing =
        FindFirstFileExW(entry.c_str(), FindExInfoBasic, &found, FindExSearchNameMatch,
                         /*searchFilter=*/nullptr, /*additionalFlags=*/0);
    if (listing == INVALID_HANDLE_VALUE) return GetLastError();
    FindClose(listing);
    if ((found.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0 &&
        isLinkTag(found.dwReserved0)) {
      if (const DWORD linkError = nameExisting(entry, resolved)) return linkError;
    } else {
      *resolved = childOf(*resolved, found.cFileName);
    }
  }
  return 0;
}

}  // namespace

DWORD makeFullPath(const std::wstring& path, std::wstring* full) {
  DWORD size = GetFullPathNameW(path.c_str(), 0, nullptr, nullptr);
  for (;;) {
    if (size == 0) {
      const DWORD error = GetLastError();
      // Wine fails an empty path without setting a code.
      return error != 0 ? error : ERROR_INVALID_NAME;
    }
    full->assign(size, L'\0');
    const DWORD length = GetFullPathNameW(path.c_str(), size, &(*full)[0], nullptr);
    if (length == 0) {
      const DWORD error = GetLastError();
      return error != 0 ? error : ERROR_INVALID_NAME;
    }
    if (length < size) {
      full->resize(length);
      return 0;
    }
    // The working directory grew in between: ask again with the new size.
    size = length;
  }
}

DWORD makeLongForm(const fs::path& path, std::wstring* longForm) {
  const std::wstring& text = path.native();
  std::wstring full;
  if (startsWith(text, L"\\\\?\\")) {
    // The system reads a long form exactly as it is written, and so is it
    // kept: it may name what no ordinary form can (a trailing dot).
    full = text;
  } else {
    // GetFullPathNameW takes "." and ".." out and makes '/' into '\', which
    // the long form would otherwise keep as parts of names.
    if (const DWORD error = makeFullPath(text, &full)) return error;
    if (startsWith(full, L"\\\\.\\")) {
      full = L"\\\\?\\" + full.substr(4);
    } else if (startsWith(full, L"\\\\")) {
      full = L"\\\\?\\UNC\\" + full.substr(2);
    } else {
      full = L"\\\\?\\" + full;
    }
  }
  dropTrailingSeparators(&full);
  *longForm = std::move(full);
  return 0;
}

std::wstring longFormFor(const fs::path& path, const char* call) {
  std::wstring longForm;
  if (const DWORD error = makeLongForm(path, &longForm)) {
    throw SystemError(call, toNarrowText(path), error);
  }
  return longForm;
}

std::wstring ordinaryFormOf(const std::wstring& path) {
  if (startsWith(path, L"\\\\?\\UNC\\")) return L"\\\\" + path.substr(8);
  // Only a drive has an ordinary form; a volume's GUID name has none.
  if (startsWith(path, L"\\\\?\\") && path.size() >= 6 && path[5] == L':') return path.substr(4);
  return path;
}

std::size_t rootLengthOf(const std::wstring& path) {
  // How many names after the prefix belong to the root: a share's server and
  // share name, or a drive's letter (or a volume's name).
  std::size_t start = 0;
  int rootNames = 1;
  if (startsWith(path, L"\\\\?\\UNC\\")) {
    start = 8;
    rootNames = 2;
  } else if (startsWith(path, L"\\\\?\\") || startsWith(path, L"\\\\.\\")) {
    start = 4;
  } else if (startsWith(path, L"\\\\")) {
    start = 2;
    rootNames = 2;
  } else if (path.size() >= 2 && path[1] == L':') {
    return path.size() >= 3 && (path[2] == L'\\' || path[2] == L'/') ? 3 : 2;
  } else {
    return !path.empty() && (path[0] == L'\\' || path[0] == L'/') ? 1 : 0;
  }
  std::size_t pos = start;
  for (int i = 0; i < rootNames; ++i) {
    const std::size_t end = path.find(L'\\', pos);
    if (end == std::wstring::npos) return path.size();
    pos = end + 1;
  }
  return pos;
}

std::wstring parentOf(const std::wstring& path) {
  const std::size_t root = rootLengthOf(path);
  const std::size_t end = path.rfind(L'\\');
  if (end == std::wstring::npos || end < root) return path.substr(0, root);
  return path.substr(0, end);
}

std::wstring childOf(const std::wstring& folder, const std::wstring& name) {
  if (!folder.empty() && folder.back() == L'\\') return folder + name;
  return folder + L'\\' + name;
}

bool isAbsentCode(DWORD code) {
  // A name no entry can have is an answer about the path. A share or server
  // that does not answer is not: a mapped drive may be reconnecting.
  return code == ERROR_FILE_NOT_FOUND || code == ERROR_PATH_NOT_FOUND ||
         code == ERROR_INVALID_NAME || code == ERROR_BAD_PATHNAME;
}

bool isLinkTag(DWORD tag) {
  // Symbolic links and junctions (mount points) lead elsewhere. Every other
  // reparse point is the file or folder it appears to be, its contents part
  // of the tree: a cloud file's placeholder, a deduplicated or a compressed
  // (WOF) file. A reparse point whose tag the system leaves at 0, a tag
  // Windows lets no file carry, is how Wine shows a Unix link made on the
  // Linux side (0x410, tag 0): it may lead anywhere, so it is a link too.
  return tag == IO_REPARSE_TAG_SYMLINK || tag == IO_REPARSE_TAG_MOUNT_POINT ||
         tag == IO_REPARSE_TAG_RESERVED_ZERO;
}

namespace {

// The wide form of bytes in the code page; subject names it in a failure.
// MB_ERR_INVALID_CHARS: an invalid sequence fails, never a substitution.
std::wstring wideOf(const std::string& bytes, UINT codePage, const std::string& subject) {
  if (bytes.empty()) return std::wstring();
  const int length = checkedLength(bytes.size());
  const int size =
      MultiByteToWideChar(codePage, MB_ERR_INVALID_CHARS, bytes.data(), length, nullptr, 0);
  std::wstring wide(static_cast<std::size_t>(size > 0 ? size : 0), L'\0');
  if (size == 0 || MultiByteToWideChar(codePage, MB_ERR_INVALID_CHARS, bytes.data(), length,
                                       &wide[0], size) != size) {
    const DWORD error = GetLastError();
    throw SystemError("convert", subject, error);
  }
  return wide;
}

// The bytes of wide in the code page. With exact, a character that has no
// form there, or only a best fit, fails ("convert"); without, it becomes
// '?'. A UTF-8 code page takes neither the best-fit flag nor the used-default
// pointer: every character has a form there, and only broken UTF-16 fails.
std::string bytesOf(const std::wstring& wide, UINT codePage, bool exact) {
  if (wide.empty() || wide.size() > static_cast<std::size_t>(INT_MAX)) return std::string();
  const int length = static_cast<int>(wide.size());
  const bool utf8 = codePage == CP_UTF8 || (codePage == CP_ACP && ansiIsUtf8());
  const DWORD flags = utf8 ? (exact ? WC_ERR_INVALID_CHARS : 0) : WC_NO_BEST_FIT_CHARS;
  BOOL usedDefault = FALSE;
  BOOL* const usedDefaultOut = utf8 || !exact ? nullptr : &usedDefault;
  const int size = WideCharToMultiByte(codePage, flags, wide.data(), length, nullptr, 0, nullptr,
                                       usedDefaultOut);
  std::string bytes(static_cast<std::size_t>(size > 0 ? size : 0), '\0');
  const int written = size == 0 ? 0
                                : WideCharToMultiByte(codePage, flags, wide.data(), length,
                                                      &bytes[0], size, nullptr, usedDefaultOut);
  if (exact && (written != size || size == 0 || usedDefault)) {
    const DWORD error = written != size || size == 0 ? GetLastError() : 0;
    throw SystemError("convert", bytesOf(wide, codePage, /*exact=*/false),
                      error != 0 ? error : ERROR_NO_UNICODE_TRANSLATION);
  }
  bytes.resize(static_cast<std::size_t>(written > 0 ? written : 0));
  return bytes;
}

}  // namespace

fs::path toFsPath(const std::string& narrow) { return wideOf(narrow, CP_ACP, narrow); }

std::string toNarrow(const fs::path& path) { return bytesOf(path.native(), CP_ACP, true); }

std::string toNarrowText(const fs::path& path) { return bytesOf(path.native(), CP_ACP, false); }

std::string toJournalText(const fs::path& relative) {
  return bytesOf(relative.native(), CP_UTF8, true);
}

fs::path fromJournalText(const std::string& text) { return wideOf(text, CP_UTF8, text); }

fs::path absolutePath(const fs::path& path) {
  // A long form is absolute already, and the system reads it as written.
  if (startsWith(path.native(), L"\\\\?\\")) return path;
  std::wstring full;
  if (const DWORD error = makeFullPath(path.native(), &full)) {
    throw SystemError("canonical", toNarrowText(path), error);
  }
  return fs::path(std::move(full));
}

fs::path canonicalPath(const fs::path& path) {
  const std::wstring longForm = longFormFor(path, "canonical");
  // The names after the root: the folders on the way are the long form's
  // fronts up to the end of each.
  const std::size_t root = rootLengthOf(longForm);
  std::vector<NameSpan> names;
  for (std::size_t pos = root; pos < longForm.size();) {
    std::size_t end = longForm.find(L'\\', pos);
    if (end == std::wstring::npos) end = longForm.size();
    if (end > pos) names.push_back({pos, end});
    pos = end + 1;
  }
  // The longest front that exists is named by the system; the rest does not
  // exist and is taken as written.
  for (std::size_t count = names.size() + 1; count-- > 0;) {
    const std::size_t known = count == 0 ? root : names[count - 1].end;
    std::wstring resolved;
    DWORD error = nameExisting(longForm.substr(0, known), &resolved);
    if (isAbsentCode(error)) continue;
    if (error == ERROR_MORE_DATA) error = nameStepByStep(longForm, root, names, count, &resolved);
    if (error != 0) throw SystemError("canonical", toNarrowText(path), error);
    dropTrailingSeparators(&resolved);
    if (count < names.size()) resolved = childOf(resolved, longForm.substr(names[count].start));
    return fs::path(ordinaryFormOf(resolved));
  }
  // Not even the root is there (a drive that does not exist): all of it is
  // taken as written.
  return fs::path(ordinaryFormOf(longForm));
}

fs::path currentDirectory() {
  DWORD size = GetCurrentDirectoryW(0, nullptr);
  for (;;) {
    if (size == 0) {
      const DWORD error = GetLastError();
      throw SystemError("status", ".", error);
    }
    std::wstring directory(size, L'\0');
    const DWORD length = GetCurrentDirectoryW(size, &directory[0]);
    if (length == 0) {
      const DWORD error = GetLastError();
      throw SystemError("status", ".", error);
    }
    if (length < size) {
      directory.resize(length);
      return fs::path(std::move(directory));
    }
    // Another thread changed it in between: ask again with the new size.
    size = length;
  }
}

const bool kNamesIgnoreCase = true;

fs::path caseFolded(const fs::path& name) {
  const std::wstring& wide = name.native();
  if (wide.empty() || wide.size() > INT_MAX) return name;
  // NTFS compares names through one upper-case table, whatever the user's
  // language: the invariant locale's simple upper case is the nearest the
  // system offers.
  std::wstring upper(wide.size(), L'\0');
  const int length = static_cast<int>(wide.size());
  if (LCMapStringEx(LOCALE_NAME_INVARIANT, LCMAP_UPPERCASE, wide.data(), length, &upper[0], length,
                    /*versionInformation=*/nullptr, /*reserved=*/nullptr,
                    /*sortHandle=*/0) != length) {
    return name;
  }
  return fs::path(std::move(upper));
}
