#include <windows.h>

#include <algorithm>
#include <filesystem>
#include <stdexcept>

#include "support/test_support.h"

namespace {

// Quotes one argument by the rules the C runtime uses to split a command line.
std::string quoteArgument(const std::string& arg) {
  if (!arg.empty() && arg.find_first_of(" \t\"") == std::string::npos) return arg;
  std::string out = "\"";
  std::size_t backslashes = 0;
  for (const char c : arg) {
    if (c == '\\') {
      ++backslashes;
    } else if (c == '"') {
      out.append(backslashes * 2 + 1, '\\');
      out += '"';
      backslashes = 0;
    } else {
      out.append(backslashes, '\\');
      out += c;
      backslashes = 0;
    }
  }
  out.append(backslashes * 2, '\\');
  out += '"';
  return out;
}

// The Unix path Wine gives a Windows path; empty outside Wine.
std::string unixPath(const std::string& path) {
  using UnixName = char* (*)(const wchar_t*);
  const auto unixName = reinterpret_cast<UnixName>(reinterpret_cast<void*>(
      GetProcAddress(GetModuleHandleW(L"kernel32.dll"), "wine_get_unix_file_name")));
  if (unixName == nullptr) return "";
  char* name = unixName(std::filesystem::path(path).wstring().c_str());
  if (name == nullptr) return "";
  std::string result = name;
  HeapFree(GetProcessHeap(), 0, name);
  return result;
}

// Runs a Linux program from inside Wine and waits for it; false outside Wine.
bool runUnix(std::vector<std::string> argv) {
  using Spawn = int (*)(char* const* argv, int wait);
  const auto spawn = reinterpret_cast<Spawn>(reinterpret_cast<void*>(
      GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "__wine_unix_spawnvp")));
  if (spawn == nullptr) return false;
  std::vector<char*> args;
  for (std::string& arg : argv) args.push_back(&arg[0]);
  args.push_back(nullptr);
  return spawn(args.data(), /*wait=*/1) == 0;
}

}  // namespace

bool makeDirectoryLink(const std::string& target, const std::string& link) {
  std::string unixTarget = std::filesystem::path(target).is_absolute() ? unixPath(target) : target;
  std::replace(unixTarget.begin(), unixTarget.end(), '\\', '/');
  const std::string unixLink = unixPath(link);
  return !unixTarget.empty() && !unixLink.empty() &&
         runUnix({"/bin/ln", "-s", unixTarget, unixLink});
}

bool removeDirectoryLink(const std::string& link) {
  const std::string unixLink = unixPath(link);
  return !unixLink.empty() && runUnix({"/bin/rm", "-f", "--", unixLink});
}

void clearProtection(const std::string& root) {
  // The library here takes a link for a folder and would delete through it:
  // links go first, from the Linux side, where Wine made them.
  std::vector<std::string> links = {"/bin/rm", "-f", "--"};
  std::error_code ec;
  if (!std::filesystem::exists(root, ec)) return;
  for (auto it = std::filesystem::recursive_directory_iterator(root, ec);
       !ec && it != std::filesystem::recursive_directory_iterator(); it.increment(ec)) {
    const std::wstring wide = it->path().wstring();
    const DWORD attributes = GetFileAttributesW(wide.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES) continue;
    if (attributes & FILE_ATTRIBUTE_REPARSE_POINT) {
      links.push_back(unixPath(it->path().string()));
      it.disable_recursion_pending();
    } else if (attributes & FILE_ATTRIBUTE_READONLY) {
      SetFileAttributesW(wide.c_str(), attributes & ~FILE_ATTRIBUTE_READONLY);
    }
  }
  if (links.size() > 3) runUnix(links);
}

// What Windows would not remove goes from the Linux side: a program the
// test started that is still exiting, or a link Wine cannot remove.
void removeWhatIsLeft(const std::string& root) {
  const std::string unixRoot = unixPath(root);
  if (unixRoot.find("/vexo-test-") != std::string::npos) {
    runUnix({"/bin/rm", "-rf", "--", unixRoot});
  }
}

Mount::Mount(const std::string& folder, const std::string& source, VolumeKind kind)
    : folder_(folder) {
  makeDirectories(folder);
  const std::string unixFolder = unixPath(folder);
  if (unixFolder.empty() || kind == VolumeKind::kBind || kind == VolumeKind::kNoUnnamedFiles) {
    return;
  }
  if (kind == VolumeKind::kMemory) {
    mounted_ = runUnix({"/bin/mount", "-t", "tmpfs", "-o", "size=" + source, "tmpfs", unixFolder});
    return;
  }
  mounted_ = true;
  for (const auto& command : loopMountCommands(kind, source, unixFolder + ".img", unixFolder)) {
    mounted_ = mounted_ && runUnix(command);
  }
}

bool Mount::resize(const std::string& size) {
  return mounted_ && runUnix({"/bin/mount", "-o", "remount,size=" + size, unixPath(folder_)});
}

Mount::~Mount() {
  if (mounted_) runUnix({"/bin/umount", "-l", unixPath(folder_)});
}

// Windows has no immutable flag; the tests hold such files open instead.
bool setImmutable(const std::string&, bool) { return false; }

std::string binaryDir() {
  char buffer[MAX_PATH * 4];
  const DWORD length = GetModuleFileNameA(nullptr, buffer, sizeof buffer);
  std::string path(buffer, length);
  return path.substr(0, path.find_last_of('\\'));
}

Child startChild(const std::vector<std::string>& argv, const std::string& workDir) {
  return startChildWithStderr(argv, "", workDir);
}

// An empty errorPath leaves the child the caller's standard error.
Child startChildWithStderr(const std::vector<std::string>& argv, const std::string& errorPath,
                           const std::string& workDir) {
  std::string commandLine;
  for (const std::string& arg : argv) {
    if (!commandLine.empty()) commandLine += ' ';
    commandLine += quoteArgument(arg);
  }
  STARTUPINFOA startup{};
  startup.cb = sizeof startup;
  HANDLE errorFile = INVALID_HANDLE_VALUE;
  if (!errorPath.empty()) {
    SECURITY_ATTRIBUTES inheritable{};
    inheritable.nLength = sizeof inheritable;
    inheritable.bInheritHandle = TRUE;
    errorFile = CreateFileA(errorPath.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                            &inheritable, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (errorFile == INVALID_HANDLE_VALUE) {
      throw std::runtime_error("cannot create " + errorPath + ": error " +
                               std::to_string(GetLastError()));
    }
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
    startup.hStdOutput = GetStdHandle(STD_OUTPUT_HANDLE);
    startup.hStdError = errorFile;
  }
  PROCESS_INFORMATION info{};
  const BOOL started =
      CreateProcessA(argv[0].c_str(), &commandLine[0], nullptr, nullptr,
                     /*inheritHandles=*/errorFile != INVALID_HANDLE_VALUE, 0, nullptr,
                     workDir.empty() ? nullptr : workDir.c_str(), &startup, &info);
  const DWORD error = GetLastError();
  if (errorFile != INVALID_HANDLE_VALUE) CloseHandle(errorFile);
  if (!started) {
    throw std::runtime_error("cannot start " + argv[0] + ": error " + std::to_string(error));
  }
  CloseHandle(info.hThread);
  Child child;
  child.handle = reinterpret_cast<std::intptr_t>(info.hProcess);
  child.pid = info.dwProcessId;
  return child;
}

int waitChild(Child& child) {
  const HANDLE process = reinterpret_cast<HANDLE>(child.handle);
  WaitForSingleObject(process, INFINITE);
  DWORD code = 0;
  GetExitCodeProcess(process, &code);
  CloseHandle(process);
  child.handle = 0;
  return static_cast<int>(code);
}

void killChild(Child& child) {
  if (child.handle != 0) TerminateProcess(reinterpret_cast<HANDLE>(child.handle), 9);
}
