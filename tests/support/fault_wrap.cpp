// Link-time stand-ins for vexo-updater-test, the updater the end-to-end tests
// start. The program is linked with -Wl,--wrap=<name> for five calls, so the
// code that calls them reaches the __wrap_ functions here, and __real_
// reaches the product's own:
//   pauseMilliseconds   does not pause: hundreds of runs would each wait 500 ms.
//   waitOnProcess       waits at most kWaitCapMs, whatever the run asked for
//                       (its log line still names the time asked); with
//                       VEXO_TEST_WAIT_FAILS set it fails at once instead, as a
//                       wait the system refuses does.
//   relaunchApplication with VEXO_TEST_RECORD_RELAUNCH naming the marker, first
//                       copies what the marker holds to "<marker>.at-relaunch".
//   moveFileReplacing   the n-th move whose source path begins with
//                       VEXO_TEST_FAIL_MOVE_FROM (n = VEXO_TEST_FAIL_MOVE_AT,
//                       from 1) is not made and returns the Windows code
//                       VEXO_TEST_FAIL_MOVE_CODE instead; this stands for a
//                       refusal the system cannot be made to give on demand,
//                       a file of the backup, which the run itself creates.
//   copyFileOver and    the run is killed outright (SIGKILL, TerminateProcess
//   moveFileReplacing   on Windows) just before its VEXO_TEST_KILL_AT-th copy
//                       or move, the two counted together from 1; or it
//                       pauses there (VEXO_TEST_PAUSE_AT, below).
// With VEXO_TEST_KILL_BEFORE=<step>:<n> the run is killed just before the
// n-th time it reaches a named step: "temporary-rename" (the rename of a
// copy made under a temporary name over its target, in a move across file
// systems) or "end-journal" (the removal of the journal after the marker).
// With VEXO_TEST_TRACE naming a file, every step that decides what survives
// a power cut is appended to it, one line each, in the order made, the
// fields separated by tabs:
//   copy <from> <to>       a file copied into the backup
//   move <from> <to>       a file renamed or moved; on Windows a last field
//                          "write-through" when MoveFileExW was asked to wait
//                          for the data
//   remove <path>          a file unlinked (natively)
//   flush <path>           a file's or folder's data sent to the disk (fsync,
//                          FlushFileBuffers)
//   syncfs <path>          the whole file system holding path synced (natively)
//   marker <path>          the marker about to be written
//   end-journal <backup>   the journal beside the backup about to be removed
// The system calls are caught where the product calls them (natively
// fsync, syncfs, rename and unlink; on Windows the import slots of
// FlushFileBuffers, MoveFileExW and DeleteFileW), so no flush can be left
// out unseen.
// Lookups of one entry are refused on request (see lookupRefused), whoever
// makes them: natively lstat, and stat in place of the C library's (the
// standard library's lookups too); on Windows GetFileAttributesExW and the
// C runtime's _wstat64.
// Run.RealBuildWaitsAndPauses shows that the updater itself waits and pauses.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <cwchar>
#include <filesystem>
#include <fstream>
#include <string>

#ifdef _WIN32
#include <windows.h>
#else
#include <dlfcn.h>
#include <signal.h>
#include <unistd.h>
#endif
#include <sys/stat.h>

#include <cerrno>
#include <map>

#include "os/paths.h"
#include "os/process.h"
#include "report/marker_record.h"

namespace {

constexpr std::uint32_t kWaitCapMs = 1000;
constexpr std::uint32_t kWaitFailed = 0xFFFFFFFF;

std::uint64_t numberFromEnvironment(const char* name) {
  const char* value = std::getenv(name);
  return value == nullptr ? 0 : std::strtoull(value, nullptr, 10);
}

std::uint64_t copiesAndMoves = 0;
std::uint64_t matchingMoves = 0;

// With VEXO_TEST_PAUSE_AT=n and VEXO_TEST_PAUSE_FILE naming a file, the run
// creates that file just before its n-th copy or move and waits (at most
// 20 s) until it is gone: a test then acts while the run is at that point.
void pauseIfDue() {
  const char* file = std::getenv("VEXO_TEST_PAUSE_FILE");
  if (file == nullptr || copiesAndMoves != numberFromEnvironment("VEXO_TEST_PAUSE_AT")) return;
  std::ofstream(file).close();
  for (int waited = 0; waited < 2000 && std::ifstream(file).good(); ++waited) {
#ifdef _WIN32
    Sleep(10);
#else
    usleep(10000);
#endif
  }
}

void killNow() {
#ifdef _WIN32
  TerminateProcess(GetCurrentProcess(), /*exitCode=*/137);
#else
  raise(SIGKILL);
#endif
}

void killIfDue() {
  ++copiesAndMoves;
  pauseIfDue();
  if (copiesAndMoves == numberFromEnvironment("VEXO_TEST_KILL_AT")) killNow();
}

// Kills the run when VEXO_TEST_KILL_BEFORE names this step and this is the
// time it asks for.
void killBeforeStep(const std::string& step) {
  static std::map<std::string, std::uint64_t> reached;
  const char* wanted = std::getenv("VEXO_TEST_KILL_BEFORE");
  if (wanted == nullptr || std::string(wanted).rfind(step + ":", 0) != 0) return;
  if (++reached[step] == std::strtoull(wanted + step.size() + 1, nullptr, 10)) killNow();
}

// Appends one line to the trace, when one is asked for.
void trace(const std::string& line) {
  const char* path = std::getenv("VEXO_TEST_TRACE");
  if (path == nullptr || *path == '\0') return;
  if (std::FILE* file = std::fopen(path, "ab")) {
    std::fputs((line + "\n").c_str(), file);
    std::fclose(file);
  }
}

#ifdef _WIN32
// The path an open handle names, without the "\\?\" prefix, in the ANSI
// code page the product's own paths use.
std::string handlePath(HANDLE handle) {
  wchar_t wide[4096];
  const DWORD length = GetFinalPathNameByHandleW(handle, wide, 4096, /*flags=*/0);
  if (length == 0 || length >= 4096) return "?";
  std::wstring name(wide, length);
  if (name.rfind(L"\\\\?\\", 0) == 0) name = name.substr(4);
  char narrow[8192];
  const int size = WideCharToMultiByte(CP_ACP, 0, name.data(), static_cast<int>(name.size()),
                                       narrow, sizeof narrow, nullptr, nullptr);
  return std::string(narrow, size > 0 ? static_cast<std::size_t>(size) : 0);
}
#else
std::string descriptorPath(int fd) {
  char target[4096];
  const ssize_t length =
      readlink(("/proc/self/fd/" + std::to_string(fd)).c_str(), target, sizeof target);
  return length > 0 ? std::string(target, static_cast<std::size_t>(length)) : "?";
}
#endif

// True when a lookup of path is to be refused as access denied: it is the
// path VEXO_TEST_FAIL_LOOKUP names, and the file VEXO_TEST_FAIL_LOOKUP_WHILE
// names exists; or, with VEXO_TEST_FAIL_LOOKUP_ONLY=n instead, it is the
// n-th lookup of that path, the others answered (each refusal is traced).
// This stands for a failure to look (a denied folder, a network drive
// reconnecting) that root cannot be given here on demand.
bool lookupRefused(const std::string& path) {
  static std::uint64_t lookups = 0;
  const char* refused = std::getenv("VEXO_TEST_FAIL_LOOKUP");
  if (refused == nullptr || path != refused) return false;
  const std::uint64_t only = numberFromEnvironment("VEXO_TEST_FAIL_LOOKUP_ONLY");
  if (only != 0) {
    if (++lookups != only) return false;
    trace("refused\t" + path);
    return true;
  }
  const char* trigger = std::getenv("VEXO_TEST_FAIL_LOOKUP_WHILE");
  return trigger != nullptr && std::ifstream(trigger).good();
}

// The code the move is to fail with, or 0 when it is to be made.
std::uint32_t injectedMoveFailure(const std::string& from) {
  const char* prefix = std::getenv("VEXO_TEST_FAIL_MOVE_FROM");
  if (prefix == nullptr || *prefix == '\0' || from.rfind(prefix, 0) != 0) return 0;
  ++matchingMoves;
  if (matchingMoves != numberFromEnvironment("VEXO_TEST_FAIL_MOVE_AT")) return 0;
  return static_cast<std::uint32_t>(numberFromEnvironment("VEXO_TEST_FAIL_MOVE_CODE"));
}

}  // namespace

extern "C" {

// copyFileOver(const path&, const path&)
void __real__Z12copyFileOverRKNSt10filesystem7__cxx114pathES3_(const std::filesystem::path& from,
                                                               const std::filesystem::path& to);
void __wrap__Z12copyFileOverRKNSt10filesystem7__cxx114pathES3_(const std::filesystem::path& from,
                                                               const std::filesystem::path& to) {
  killIfDue();
  trace("copy\t" + toNarrow(from) + "\t" + toNarrow(to));
  __real__Z12copyFileOverRKNSt10filesystem7__cxx114pathES3_(from, to);
}

// moveFileReplacing(const path&, const path&, const std::string&)
std::uint32_t
__real__Z17moveFileReplacingRKNSt10filesystem7__cxx114pathES3_RKNSt7__cxx1112basic_stringIcSt11char_traitsIcESaIcEEE(
    const std::filesystem::path& from, const std::filesystem::path& to,
    const std::string& temporarySuffix);
std::uint32_t
__wrap__Z17moveFileReplacingRKNSt10filesystem7__cxx114pathES3_RKNSt7__cxx1112basic_stringIcSt11char_traitsIcESaIcEEE(
    const std::filesystem::path& from, const std::filesystem::path& to,
    const std::string& temporarySuffix) {
  killIfDue();
  const std::uint32_t code = injectedMoveFailure(toNarrowText(from));
  if (code != 0) return code;
  return __real__Z17moveFileReplacingRKNSt10filesystem7__cxx114pathES3_RKNSt7__cxx1112basic_stringIcSt11char_traitsIcESaIcEEE(
      from, to, temporarySuffix);
}

// waitOnProcess(const ProcessWait&, std::uint32_t)
std::uint32_t __real__Z13waitOnProcessRK11ProcessWaitj(const ProcessWait& wait,
                                                       std::uint32_t timeoutMs);
std::uint32_t __wrap__Z13waitOnProcessRK11ProcessWaitj(const ProcessWait& wait,
                                                       std::uint32_t timeoutMs) {
  if (std::getenv("VEXO_TEST_WAIT_FAILS") != nullptr) return kWaitFailed;
  return __real__Z13waitOnProcessRK11ProcessWaitj(wait, std::min(timeoutMs, kWaitCapMs));
}

// relaunchApplication(const path&)
void __real__Z19relaunchApplicationRKNSt10filesystem7__cxx114pathE(
    const std::filesystem::path& installDir);
void __wrap__Z19relaunchApplicationRKNSt10filesystem7__cxx114pathE(
    const std::filesystem::path& installDir) {
  if (const char* marker = std::getenv("VEXO_TEST_RECORD_RELAUNCH")) {
    std::ifstream in(marker, std::ios::binary);
    std::ofstream(std::string(marker) + ".at-relaunch", std::ios::binary) << in.rdbuf();
  }
  __real__Z19relaunchApplicationRKNSt10filesystem7__cxx114pathE(installDir);
}

// pauseMilliseconds(std::uint32_t)
void __wrap__Z17pauseMillisecondsj(std::uint32_t) {}

// writeAppliedMarker(const path&, const MarkerRecord&)
void __real__Z18writeAppliedMarkerRKNSt10filesystem7__cxx114pathERK12MarkerRecord(
    const std::filesystem::path& markerPath, const MarkerRecord& record);
void __wrap__Z18writeAppliedMarkerRKNSt10filesystem7__cxx114pathERK12MarkerRecord(
    const std::filesystem::path& markerPath, const MarkerRecord& record) {
  trace("marker\t" + toNarrowText(markerPath));
  __real__Z18writeAppliedMarkerRKNSt10filesystem7__cxx114pathERK12MarkerRecord(markerPath, record);
}

// endUpdateJournal(const path&)
void __real__Z16endUpdateJournalRKNSt10filesystem7__cxx114pathE(
    const std::filesystem::path& backupDir);
void __wrap__Z16endUpdateJournalRKNSt10filesystem7__cxx114pathE(
    const std::filesystem::path& backupDir) {
  killBeforeStep("end-journal");
  trace("end-journal\t" + toNarrowText(backupDir));
  __real__Z16endUpdateJournalRKNSt10filesystem7__cxx114pathE(backupDir);
}

#ifdef _WIN32
// The import slots: the product calls these system functions through them.
extern BOOL(WINAPI* __real___imp_FlushFileBuffers)(HANDLE);
extern BOOL(WINAPI* __real___imp_MoveFileExW)(LPCWSTR, LPCWSTR, DWORD);
extern BOOL(WINAPI* __real___imp_DeleteFileW)(LPCWSTR);

// A wide path in the ANSI code page, as the tests spell paths: the long
// form's prefix ("\\?\", "\\?\UNC\") taken off.
std::string narrowOf(LPCWSTR path) {
  std::wstring text = path;
  if (text.rfind(L"\\\\?\\UNC\\", 0) == 0) {
    text = L"\\\\" + text.substr(8);
  } else if (text.rfind(L"\\\\?\\", 0) == 0) {
    text = text.substr(4);
  }
  return toNarrowText(std::filesystem::path(text));
}

static BOOL WINAPI tracedFlushFileBuffers(HANDLE file) {
  trace("flush\t" + handlePath(file));
  return __real___imp_FlushFileBuffers(file);
}
static BOOL WINAPI tracedMoveFileExW(LPCWSTR from, LPCWSTR to, DWORD flags) {
  if (std::wcsstr(from, L".vexo-") != nullptr) killBeforeStep("temporary-rename");
  trace("move\t" + narrowOf(from) + "\t" + narrowOf(to) +
        ((flags & MOVEFILE_WRITE_THROUGH) != 0 ? "\twrite-through" : ""));
  return __real___imp_MoveFileExW(from, to, flags);
}
static BOOL WINAPI tracedDeleteFileW(LPCWSTR path) {
  trace("remove\t" + narrowOf(path));
  return __real___imp_DeleteFileW(path);
}
extern BOOL(WINAPI* __real___imp_GetFileAttributesExW)(LPCWSTR, GET_FILEEX_INFO_LEVELS, LPVOID);
static BOOL WINAPI refusableGetFileAttributesExW(LPCWSTR path, GET_FILEEX_INFO_LEVELS level,
                                                 LPVOID data) {
  if (lookupRefused(narrowOf(path))) {
    SetLastError(ERROR_ACCESS_DENIED);
    return FALSE;
  }
  return __real___imp_GetFileAttributesExW(path, level, data);
}
extern int (*__real___imp__wstat64)(const wchar_t*, struct _stat64*);
static int refusableWstat64(const wchar_t* path, struct _stat64* info) {
  if (lookupRefused(narrowOf(path))) {
    errno = EACCES;
    return -1;
  }
  return __real___imp__wstat64(path, info);
}
int (*__wrap___imp__wstat64)(const wchar_t*, struct _stat64*) = refusableWstat64;
BOOL(WINAPI* __wrap___imp_GetFileAttributesExW)
(LPCWSTR, GET_FILEEX_INFO_LEVELS, LPVOID) = refusableGetFileAttributesExW;
BOOL(WINAPI* __wrap___imp_FlushFileBuffers)(HANDLE) = tracedFlushFileBuffers;
BOOL(WINAPI* __wrap___imp_MoveFileExW)(LPCWSTR, LPCWSTR, DWORD) = tracedMoveFileExW;
BOOL(WINAPI* __wrap___imp_DeleteFileW)(LPCWSTR) = tracedDeleteFileW;
#else
int __real_fsync(int fd);
int __wrap_fsync(int fd) {
  trace("flush\t" + descriptorPath(fd));
  return __real_fsync(fd);
}
int __real_syncfs(int fd);
int __wrap_syncfs(int fd) {
  trace("syncfs\t" + descriptorPath(fd));
  return __real_syncfs(fd);
}
int __real_rename(const char* from, const char* to);
int __wrap_rename(const char* from, const char* to) {
  if (std::strstr(from, ".vexo-") != nullptr) killBeforeStep("temporary-rename");
  trace(std::string("move\t") + from + "\t" + to);
  return __real_rename(from, to);
}
int __real_lstat(const char* path, struct stat* info);
int __wrap_lstat(const char* path, struct stat* info) {
  if (lookupRefused(path)) {
    errno = EACCES;
    return -1;
  }
  return __real_lstat(path, info);
}
// Defined here, stat takes the C library's place for every caller in the
// process, the standard library's file-system functions among them.
int stat(const char* path, struct stat* info) noexcept {
  if (lookupRefused(path)) {
    errno = EACCES;
    return -1;
  }
  using Stat = int (*)(const char*, struct stat*);
  static const Stat real = reinterpret_cast<Stat>(dlsym(RTLD_NEXT, "stat"));
  return real(path, info);
}
int __real_unlink(const char* path);
int __wrap_unlink(const char* path) {
  trace(std::string("remove\t") + path);
  return __real_unlink(path);
}
#endif

}  // extern "C"
