#include <windows.h>

#include <algorithm>
#include <cstdio>

#include "host/host_kit.h"
#include "host/host_kit_os.h"

const char kUpdaterName[] = "vexo-updater.exe";

namespace {

// The message of a failed call, in the updater's form, read right after it.
std::string failure(const std::string& call, DWORD error) {
  std::string text = call + " err=" + std::to_string(error);
  if (error == ERROR_ACCESS_DENIED || error == ERROR_SHARING_VIOLATION) text += " (file locked)";
  return text;
}

// Paths are taken apart and handed to the system as UTF-16: in a double-byte
// code page the second byte of a character may be 0x5C, which a byte-wise
// search would take for a backslash.
bool toWide(const std::string& narrow, std::wstring* wide) {
  wide->clear();
  if (narrow.empty()) return true;
  const int size = static_cast<int>(narrow.size());
  const int length =
      MultiByteToWideChar(CP_ACP, MB_ERR_INVALID_CHARS, narrow.data(), size, nullptr, 0);
  if (length <= 0) return false;
  wide->resize(static_cast<std::size_t>(length));
  return MultiByteToWideChar(CP_ACP, MB_ERR_INVALID_CHARS, narrow.data(), size, &(*wide)[0],
                             length) == length;
}

// Back to the code page; exact for what toWide made.
std::string toNarrow(const std::wstring& wide) {
  if (wide.empty()) return "";
  const int size = static_cast<int>(wide.size());
  const int length =
      WideCharToMultiByte(CP_ACP, 0, wide.data(), size, nullptr, 0, nullptr, nullptr);
  std::string narrow(static_cast<std::size_t>(length > 0 ? length : 0), '\0');
  if (length > 0) {
    WideCharToMultiByte(CP_ACP, 0, wide.data(), size, &narrow[0], length, nullptr, nullptr);
  }
  return narrow;
}

// Back to the code page, failing where a character has no exact form there
// (a working directory may hold one): the updater could not be given it.
bool toNarrowExactly(const std::wstring& wide, std::string* narrow) {
  narrow->clear();
  if (wide.empty()) return true;
  const int size = static_cast<int>(wide.size());
  // A UTF-8 code page takes no best-fit flag and no used-default pointer.
  const bool utf8 = GetACP() == CP_UTF8;
  const DWORD flags = utf8 ? WC_ERR_INVALID_CHARS : WC_NO_BEST_FIT_CHARS;
  BOOL usedDefault = FALSE;
  BOOL* usedDefaultPointer = utf8 ? nullptr : &usedDefault;
  const int length = WideCharToMultiByte(CP_ACP, flags, wide.data(), size, nullptr, 0, nullptr,
                                         usedDefaultPointer);
  if (length <= 0 || usedDefault) return false;
  narrow->resize(static_cast<std::size_t>(length));
  return WideCharToMultiByte(CP_ACP, flags, wide.data(), size, &(*narrow)[0], length, nullptr,
                             usedDefaultPointer) == length &&
         !usedDefault;
}

bool isSeparator(wchar_t c) { return c == L'\\' || c == L'/'; }

// The absolute, normalised path, for comparisons only.
bool comparablePath(const std::string& path, std::wstring* full) {
  std::wstring wide;
  if (!toWide(path, &wide) || wide.empty()) return false;
  const DWORD size = GetFullPathNameW(wide.c_str(), 0, nullptr, nullptr);
  if (size == 0) return false;
  full->resize(size);
  const DWORD length = GetFullPathNameW(wide.c_str(), size, &(*full)[0], nullptr);
  if (length == 0 || length >= size) return false;
  full->resize(length);
  return true;
}

// Without regard to case, as the file system compares names.
bool sameName(const std::wstring& a, const std::wstring& b) {
  return CompareStringOrdinal(a.c_str(), static_cast<int>(a.size()), b.c_str(),
                              static_cast<int>(b.size()), /*ignoreCase=*/TRUE) == CSTR_EQUAL;
}

// True when the absolute path inner is the absolute folder outer or lies
// below it, by their names.
bool startsWithFolder(const std::wstring& inner, std::wstring outer) {
  while (outer.size() > 1 && isSeparator(outer.back())) outer.pop_back();
  if (inner.size() < outer.size() || !sameName(inner.substr(0, outer.size()), outer)) return false;
  return inner.size() == outer.size() || isSeparator(inner[outer.size()]) ||
         isSeparator(outer.back());
}

// An absolute path as its root ("C:\", "\\server\share\", "\\?\C:\") and
// the names below it.
struct SplitPath {
  std::wstring root;
  std::vector<std::wstring> names;

  // The root and the first count names: one of the folders above the path,
  // or the path itself.
  std::wstring upTo(std::size_t count) const {
    std::wstring path = root;
    for (std::size_t i = 0; i < count; ++i) {
      if (!path.empty() && !isSeparator(path.back())) path += L'\\';
      path += names[i];
    }
    return path;
  }
};

SplitPath splitPath(const std::wstring& full) {
  // How many names after the prefix belong to the root: a share's server and
  // share name, or a drive's letter.
  std::size_t start = 0;
  int rootNames = 1;
  if (full.compare(0, 8, L"\\\\?\\UNC\\") == 0) {
    start = 8;
    rootNames = 2;
  } else if (full.compare(0, 4, L"\\\\?\\") == 0 || full.compare(0, 4, L"\\\\.\\") == 0) {
    start = 4;
  } else if (full.compare(0, 2, L"\\\\") == 0) {
    start = 2;
    rootNames = 2;
  }
  SplitPath split;
  std::size_t pos = start;
  for (int i = 0; i < rootNames; ++i) {
    const std::size_t end = full.find_first_of(L"\\/", pos);
    pos = end == std::wstring::npos ? full.size() : end + 1;
  }
  split.root = full.substr(0, pos);
  // A drive's root is "C:\": "C:" alone names that drive's working directory.
  if (!split.root.empty() && !isSeparator(split.root.back())) split.root += L'\\';
  while (pos < full.size()) {
    const std::size_t end = std::min(full.find_first_of(L"\\/", pos), full.size());
    if (end > pos) split.names.push_back(full.substr(pos, end - pos));
    pos = end + 1;
  }
  return split;
}

// The identity of an existing file or folder: its volume's serial number
// and its index there, the same under every name it has.
struct FileId {
  DWORD volume = 0;
  DWORD high = 0;
  DWORD low = 0;
  bool operator==(const FileId& other) const {
    return volume == other.volume && high == other.high && low == other.low;
  }
};

bool fileIdOf(const std::wstring& path, FileId* id) {
  // No access right is needed to read it, and full sharing disturbs nobody
  // who has the file open; folders open only with backup semantics.
  const HANDLE file = CreateFileW(path.c_str(), /*desiredAccess=*/0,
                                  FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                  /*securityAttributes=*/nullptr, OPEN_EXISTING,
                                  FILE_FLAG_BACKUP_SEMANTICS, /*templateFile=*/nullptr);
  if (file == INVALID_HANDLE_VALUE) return false;
  BY_HANDLE_FILE_INFORMATION info{};
  const BOOL known = GetFileInformationByHandle(file, &info);
  CloseHandle(file);
  if (!known) return false;
  id->volume = info.dwVolumeSerialNumber;
  id->high = info.nFileIndexHigh;
  id->low = info.nFileIndexLow;
  return true;
}

// Creates folder after its missing parents; 0 or the first error.
DWORD createWide(std::wstring folder) {
  while (folder.size() > 1 && isSeparator(folder.back())) folder.pop_back();
  if (CreateDirectoryW(folder.c_str(), nullptr)) return 0;
  DWORD error = GetLastError();
  const std::size_t end = folder.find_last_of(L"\\/");
  if (error == ERROR_PATH_NOT_FOUND && end != std::wstring::npos && end > 0) {
    error = createWide(folder.substr(0, end));
    if (error == 0) {
      if (CreateDirectoryW(folder.c_str(), nullptr)) return 0;
      error = GetLastError();
    }
  }
  // Already there (a drive's root gives access denied instead).
  const DWORD attributes = GetFileAttributesW(folder.c_str());
  if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY)) return 0;
  return error;
}

}  // namespace

std::string pathInFolder(const std::string& folder, const std::string& name) {
  std::wstring wide;
  if (toWide(folder, &wide) && !wide.empty() && isSeparator(wide.back())) return folder + name;
  return folder + '\\' + name;
}

std::string parentFolder(const std::string& path) {
  std::wstring wide;
  if (!toWide(path, &wide)) return "";
  const std::size_t end = wide.find_last_of(L"\\/");
  if (end == std::wstring::npos) return "";
  return toNarrow(wide.substr(0, end == 0 ? 1 : end));
}

std::string makeAbsolute(std::string* path) {
  if (path->empty()) return "";
  std::wstring full;
  if (!comparablePath(*path, &full)) {
    const DWORD error = GetLastError();
    return failure("GetFullPathName(" + *path + ")",
                   error != 0 ? error : ERROR_NO_UNICODE_TRANSLATION);
  }
  std::string narrow;
  if (!toNarrowExactly(full, &narrow)) {
    return failure("GetFullPathName(" + *path + "), whose result the code page cannot hold",
                   ERROR_NO_UNICODE_TRANSLATION);
  }
  *path = narrow;
  return "";
}

std::uint32_t currentProcessId() { return GetCurrentProcessId(); }

bool liesWithin(const std::string& path, const std::string& folder) {
  std::wstring inner;
  std::wstring outer;
  if (!comparablePath(path, &inner) || !comparablePath(folder, &outer)) return false;
  if (startsWithFolder(inner, outer)) return true;
  // The names differ, yet a short name, a junction or a directory link can
  // give one folder two: compare the folders themselves. The folder may not
  // exist yet (a backup not made); then its nearest existing folder stands
  // for it, with the names still to be made below it.
  const SplitPath innerParts = splitPath(inner);
  const SplitPath outerParts = splitPath(outer);
  std::size_t outerKnown = outerParts.names.size();
  FileId outerId{};
  while (!fileIdOf(outerParts.upTo(outerKnown), &outerId)) {
    if (outerKnown == 0) return false;
    --outerKnown;
  }
  for (std::size_t depth = innerParts.names.size() + 1; depth-- > 0;) {
    FileId id{};
    if (!fileIdOf(innerParts.upTo(depth), &id) || !(id == outerId)) continue;
    // Below the same folder: inside when the names still to be made of the
    // folder lead the rest of path.
    const std::size_t missing = outerParts.names.size() - outerKnown;
    if (innerParts.names.size() - depth < missing) continue;
    bool leads = true;
    for (std::size_t i = 0; i < missing && leads; ++i) {
      leads = sameName(innerParts.names[depth + i], outerParts.names[outerKnown + i]);
    }
    if (leads) return true;
  }
  return false;
}

std::string createFolders(const std::string& folder) {
  std::wstring wide;
  if (!toWide(folder, &wide)) {
    return failure("CreateDirectory(" + folder + ")", ERROR_NO_UNICODE_TRANSLATION);
  }
  const DWORD error = createWide(wide);
  return error == 0 ? "" : failure("CreateDirectory(" + folder + ")", error);
}

std::string copyExecutable(const std::string& source, const std::string& target) {
  // Replaces an earlier copy, unless that one is still running.
  if (!CopyFileA(source.c_str(), target.c_str(), /*failIfExists=*/FALSE)) {
    const DWORD error = GetLastError();
    return failure("CopyFile(" + source + ", " + target + ")", error);
  }
  return "";
}

std::string startDetached(const std::vector<std::string>& argv, const std::string& workDir) {
  std::vector<std::wstring> wideArgv(argv.size());
  for (std::size_t i = 0; i < argv.size(); ++i) {
    if (!toWide(argv[i], &wideArgv[i])) {
      return failure("CreateProcess(" + argv[0] + "), argument " + std::to_string(i),
                     ERROR_NO_UNICODE_TRANSLATION);
    }
  }
  std::wstring wideWorkDir;
  if (!toWide(workDir, &wideWorkDir)) {
    return failure("CreateProcess(" + argv[0] + "), directory " + workDir,
                   ERROR_NO_UNICODE_TRANSLATION);
  }
  // Quoted as UTF-16 and started through the wide call: the child's C runtime
  // converts the line back to the code page, giving each argument its bytes.
  std::wstring commandLine = windowsCommandLine(wideArgv);

  STARTUPINFOW startup{};
  startup.cb = sizeof startup;
  // Explicitly no standard handles: otherwise the system may hand the updater
  // the host's, and whoever reads the host's output would wait for the
  // updater too.
  startup.dwFlags = STARTF_USESTDHANDLES;
  PROCESS_INFORMATION info{};
  // No inherited handles: the updater must not hold any file of the host's
  // open while it replaces the host's files. A console of its own that is
  // never shown: a desktop host has none to share.
  if (!CreateProcessW(wideArgv[0].c_str(), &commandLine[0], /*processAttributes=*/nullptr,
                      /*threadAttributes=*/nullptr, /*inheritHandles=*/FALSE, CREATE_NO_WINDOW,
                      /*environment=*/nullptr, wideWorkDir.c_str(), &startup, &info)) {
    const DWORD error = GetLastError();
    return failure("CreateProcess(" + argv[0] + ")", error);
  }
  // Not waited for: the updater waits for the host.
  CloseHandle(info.hProcess);
  CloseHandle(info.hThread);
  return "";
}

namespace {

// Not in this toolchain's headers.
constexpr DWORD kAttributeRecallOnOpen = 0x00040000;
constexpr DWORD kAttributeRecallOnDataAccess = 0x00400000;

std::string hexOf(DWORD value) {
  char text[11];
  snprintf(text, sizeof text, "0x%08lx", static_cast<unsigned long>(value));
  return text;
}

// LongPathsEnabled, read through RegGetValueW of ADVAPI32, which is loaded
// only here: the library imports nothing beyond KERNEL32 and the C runtime.
bool longPathsEnabled() {
  wchar_t system[MAX_PATH];
  const UINT length = GetSystemDirectoryW(system, MAX_PATH);
  if (length == 0 || length >= MAX_PATH) return false;
  const HMODULE advapi = LoadLibraryW((std::wstring(system, length) + L"\\advapi32.dll").c_str());
  if (advapi == nullptr) return false;
  using RegGetValue = LONG(WINAPI*)(HKEY, LPCWSTR, LPCWSTR, DWORD, LPDWORD, PVOID, LPDWORD);
  const auto getValue = reinterpret_cast<RegGetValue>(
      reinterpret_cast<void*>(GetProcAddress(advapi, "RegGetValueW")));
  DWORD value = 0;
  DWORD size = sizeof value;
  const bool read = getValue != nullptr &&
                    getValue(HKEY_LOCAL_MACHINE, L"SYSTEM\\CurrentControlSet\\Control\\FileSystem",
                             L"LongPathsEnabled", RRF_RT_REG_DWORD, /*type=*/nullptr, &value,
                             &size) == ERROR_SUCCESS;
  FreeLibrary(advapi);
  return read && value == 1;
}

}  // namespace

std::string placeholderState(const std::string& folder) {
  std::wstring wide;
  if (!toWide(folder, &wide)) return "";
  const DWORD attributes = GetFileAttributesW(wide.c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES) return "";
  std::string which;
  const auto note = [&](DWORD flag, const char* name) {
    if ((attributes & flag) == 0) return;
    which += which.empty() ? ": " : ", ";
    which += name;
  };
  note(FILE_ATTRIBUTE_OFFLINE, "offline");
  note(kAttributeRecallOnOpen, "recall on open");
  note(kAttributeRecallOnDataAccess, "recall on data access");
  return which.empty() ? "" : "attributes " + hexOf(attributes) + which;
}

std::string probeWritable(const std::string& folder) {
  std::wstring wide;
  if (!toWide(folder, &wide)) {
    return failure("CreateFile(" + folder + ")", ERROR_NO_UNICODE_TRANSLATION);
  }
  // A name no one else uses: this process's id and a count of its probes.
  static unsigned probes = 0;
  const std::wstring name = L".vexo-check-" + std::to_wstring(GetCurrentProcessId()) + L"-" +
                            std::to_wstring(++probes) + L".tmp";
  const std::wstring path = wide + (!wide.empty() && isSeparator(wide.back()) ? L"" : L"\\") + name;
  // Deleted by the system when its handle closes, or when the process ends;
  // the delete also asks for the right to remove files, which replacing
  // them needs.
  const HANDLE file =
      CreateFileW(path.c_str(), GENERIC_WRITE, /*shareMode=*/0,
                  /*securityAttributes=*/nullptr, CREATE_NEW,
                  FILE_ATTRIBUTE_TEMPORARY | FILE_ATTRIBUTE_HIDDEN | FILE_FLAG_DELETE_ON_CLOSE,
                  /*templateFile=*/nullptr);
  if (file == INVALID_HANDLE_VALUE) {
    const DWORD error = GetLastError();
    return "CreateFile(" + toNarrow(path) + ") err=" + std::to_string(error);
  }
  CloseHandle(file);
  return "";
}

std::string volumeSpace(const std::string& folder, std::uint64_t* freeBytes, std::uint64_t* unit) {
  std::wstring wide;
  if (!toWide(folder, &wide)) {
    return failure("GetDiskFreeSpaceEx(" + folder + ")", ERROR_NO_UNICODE_TRANSLATION);
  }
  // Any folder names its volume here, and the quota of this user counts.
  ULARGE_INTEGER available{};
  if (!GetDiskFreeSpaceExW(wide.c_str(), &available, /*totalBytes=*/nullptr,
                           /*totalFreeBytes=*/nullptr)) {
    const DWORD error = GetLastError();
    return failure("GetDiskFreeSpaceEx(" + folder + ")", error);
  }
  *freeBytes = available.QuadPart;
  // The cluster size wants the volume's root; NTFS's usual 4 KiB otherwise.
  *unit = 4096;
  wchar_t root[MAX_PATH];
  DWORD sectorsPerCluster = 0;
  DWORD bytesPerSector = 0;
  DWORD freeClusters = 0;
  DWORD clusters = 0;
  if (GetVolumePathNameW(wide.c_str(), root, MAX_PATH) &&
      GetDiskFreeSpaceW(root, &sectorsPerCluster, &bytesPerSector, &freeClusters, &clusters) &&
      sectorsPerCluster != 0 && bytesPerSector != 0) {
    *unit = static_cast<std::uint64_t>(sectorsPerCluster) * bytesPerSector;
  }
  return "";
}

PathLimits pathLimits() {
  PathLimits limits;
  // A folder's path leaves room for a file's 8.3 name below it.
  limits.file = MAX_PATH - 1;
  limits.folder = MAX_PATH - 12 - 1;
  limits.name = 255;
  limits.source = "MAX_PATH; long paths are not enabled on this computer";
  if (longPathsEnabled()) {
    limits.file = 32767 - 1;
    limits.folder = 32767 - 1;
    limits.source = "long paths are enabled on this computer";
  }
  return limits;
}
