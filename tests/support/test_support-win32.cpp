#include <windows.h>

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

}  // namespace

void clearProtection(const std::string& root) {
  std::error_code ec;
  if (!std::filesystem::exists(root, ec)) return;
  for (auto it = std::filesystem::recursive_directory_iterator(root, ec);
       !ec && it != std::filesystem::recursive_directory_iterator(); it.increment(ec)) {
    const std::wstring wide = it->path().wstring();
    const DWORD attributes = GetFileAttributesW(wide.c_str());
    if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_READONLY)) {
      SetFileAttributesW(wide.c_str(), attributes & ~FILE_ATTRIBUTE_READONLY);
    }
  }
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
  std::string commandLine;
  for (const std::string& arg : argv) {
    if (!commandLine.empty()) commandLine += ' ';
    commandLine += quoteArgument(arg);
  }
  STARTUPINFOA startup{};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION info{};
  if (!CreateProcessA(argv[0].c_str(), &commandLine[0], nullptr, nullptr,
                      /*inheritHandles=*/FALSE, 0, nullptr,
                      workDir.empty() ? nullptr : workDir.c_str(), &startup, &info)) {
    throw std::runtime_error("cannot start " + argv[0] + ": error " +
                             std::to_string(GetLastError()));
  }
  CloseHandle(info.hThread);
  Child child;
  child.handle = reinterpret_cast<std::intptr_t>(info.hProcess);
  child.pid = info.dwProcessId;
  return child;
}

Child startChildWithStderr(const std::vector<std::string>& argv, const std::string& errorPath,
                           const std::string& workDir) {
  std::string commandLine;
  for (const std::string& arg : argv) {
    if (!commandLine.empty()) commandLine += ' ';
    commandLine += quoteArgument(arg);
  }
  SECURITY_ATTRIBUTES inheritable{};
  inheritable.nLength = sizeof inheritable;
  inheritable.bInheritHandle = TRUE;
  const HANDLE errorFile =
      CreateFileA(errorPath.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                  &inheritable, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (errorFile == INVALID_HANDLE_VALUE) {
    throw std::runtime_error("cannot create " + errorPath + ": error " +
                             std::to_string(GetLastError()));
  }
  STARTUPINFOA startup{};
  startup.cb = sizeof startup;
  startup.dwFlags = STARTF_USESTDHANDLES;
  startup.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
  startup.hStdOutput = GetStdHandle(STD_OUTPUT_HANDLE);
  startup.hStdError = errorFile;
  PROCESS_INFORMATION info{};
  const BOOL started = CreateProcessA(argv[0].c_str(), &commandLine[0], nullptr, nullptr,
                                      /*inheritHandles=*/TRUE, 0, nullptr,
                                      workDir.empty() ? nullptr : workDir.c_str(), &startup, &info);
  const DWORD error = GetLastError();
  CloseHandle(errorFile);
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
