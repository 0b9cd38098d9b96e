#include <windows.h>

#include "host_os.h"

const char kHostSeparator = '\\';
const char kUpdaterFileName[] = "vexo-updater.exe";

namespace {

// Quotes one argument so that the C runtime of the started program splits it
// back to the same bytes: blanks, quotation marks and a trailing backslash
// (as in "C:\My App\") all survive.
std::string quoteArgument(const std::string& arg) {
  if (!arg.empty() && arg.find_first_of(" \t\"") == std::string::npos) return arg;
  std::string out = "\"";
  std::size_t backslashes = 0;
  for (const char c : arg) {
    if (c == '\\') {
      ++backslashes;
      continue;
    }
    // Backslashes are literal unless a quotation mark follows them.
    out.append(c == '"' ? backslashes * 2 + 1 : backslashes, '\\');
    out += c;
    backslashes = 0;
  }
  out.append(backslashes * 2, '\\');
  out += '"';
  return out;
}

}  // namespace

std::string ownExecutablePath() {
  char buffer[32768];
  const DWORD length = GetModuleFileNameA(nullptr, buffer, sizeof buffer);
  return std::string(buffer, length);
}

std::uint32_t ownProcessId() { return GetCurrentProcessId(); }

std::string currentDirectory() {
  char buffer[32768];
  const DWORD length = GetCurrentDirectoryA(sizeof buffer, buffer);
  return std::string(buffer, length < sizeof buffer ? length : 0);
}

bool startDetached(const std::vector<std::string>& argv) {
  std::string commandLine;
  for (const std::string& arg : argv) {
    if (!commandLine.empty()) commandLine += ' ';
    commandLine += quoteArgument(arg);
  }
  STARTUPINFOA startup{};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION info{};
  // No inherited handles: the updater must not keep any file of ours open
  // while it replaces our files. No console window either: a desktop
  // application has none to share, and the updater talks only to its log.
  if (!CreateProcessA(argv[0].c_str(), &commandLine[0], nullptr, nullptr,
                      /*inheritHandles=*/FALSE, CREATE_NO_WINDOW, nullptr, nullptr, &startup,
                      &info)) {
    return false;
  }
  // Not waited for: the updater waits for us.
  CloseHandle(info.hProcess);
  CloseHandle(info.hThread);
  return true;
}
