#include <windows.h>

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
  while (outer.size() > 1 && isSeparator(outer.back())) outer.pop_back();
  // Without regard to case, as the file system compares names.
  const int prefix = static_cast<int>(outer.size());
  if (inner.size() < outer.size() ||
      CompareStringOrdinal(inner.c_str(), prefix, outer.c_str(), prefix, /*ignoreCase=*/TRUE) !=
          CSTR_EQUAL) {
    return false;
  }
  return inner.size() == outer.size() || isSeparator(inner[outer.size()]) ||
         isSeparator(outer.back());
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
