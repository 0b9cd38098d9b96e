#include <windows.h>
// The C runtime's descriptors, under which the standard streams write.
#include <fcntl.h>
#include <io.h>

#include <cstdio>
#include <exception>
#include <iostream>
#include <string>
#include <vector>

#include "os/command_line.h"
#include "os/error.h"
#include "os/paths.h"
#include "os/process.h"
#include "os/win32_paths.h"

namespace fs = std::filesystem;

namespace {

// The absolute path that CreateProcessW is given for path: the ordinary form
// where it fits in MAX_PATH, the long form only beyond. A program started by
// its long form sees that form as its own module name (GetModuleFileNameW),
// which the host application's own code may not expect. Returns 0, or the
// system's code.
DWORD makeStartingPath(const fs::path& path, std::wstring* started, std::wstring* ordinary) {
  if (const DWORD error = makeFullPath(path.native(), ordinary)) return error;
  if (ordinary->size() < MAX_PATH) {
    *started = *ordinary;
    return 0;
  }
  return makeLongForm(path, started);
}

// The C runtime's split of the wide command line, by the same rules as the
// narrow arguments main() receives: only the conversion to the code page
// differs between the two. (CommandLineToArgvW would serve too, but loading
// SHELL32 brings USER32 and a desktop with it into every run.)
struct StartupInfo {
  int newMode;
};
extern "C" int __wgetmainargs(int* argc, wchar_t*** argv, wchar_t*** environment,
                              int expandWildcards, StartupInfo* info);

}  // namespace

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

void pauseMilliseconds(std::uint32_t milliseconds) { Sleep(milliseconds); }

std::string startDetached(const fs::path& program, const std::vector<std::string>& arguments,
                          const fs::path& workDir) {
  const std::string subject = toNarrowText(program);
  std::wstring application;
  std::wstring commandLine;
  std::wstring directory;
  try {
    std::wstring programPath;
    if (const DWORD error = makeStartingPath(program, &application, &programPath)) {
      return failureText("start", subject, error);
    }
    // Quoted as UTF-16 and started through the wide call: the program's C
    // runtime converts the line back to the code page, giving each argument
    // its bytes.
    std::vector<std::wstring> argv{programPath};
    for (const std::string& argument : arguments) argv.push_back(toFsPath(argument).native());
    commandLine = windowsCommandLine(argv);
    std::wstring ordinaryDirectory;
    if (!workDir.empty()) {
      if (const DWORD error = makeStartingPath(workDir, &directory, &ordinaryDirectory)) {
        return failureText("start", subject, error);
      }
    }
  } catch (const SystemError& e) {
    return failureText("start", subject, e.code());
  }

  STARTUPINFOW startup{};
  startup.cb = sizeof startup;
  // Explicitly no standard handles: otherwise the system may hand the
  // program this process's, and whoever reads those would wait for it too;
  // the updater's are its log, whose first lines the program's output would
  // overwrite under Wine.
  startup.dwFlags = STARTF_USESTDHANDLES;
  PROCESS_INFORMATION info{};
  // No inherited handles: the program must not hold a file of this process
  // open after it has gone (the updater replaces the host's files, the
  // application must not keep the log). A console of its own that is never
  // shown: there is none to share.
  if (!CreateProcessW(application.c_str(), &commandLine[0], /*processAttributes=*/nullptr,
                      /*threadAttributes=*/nullptr, /*inheritHandles=*/FALSE, CREATE_NO_WINDOW,
                      /*environment=*/nullptr, directory.empty() ? nullptr : directory.c_str(),
                      &startup, &info)) {
    const DWORD error = GetLastError();
    return failureText("start", subject, error);
  }
  // Not waited for: the program started waits for this one, if for anything.
  CloseHandle(info.hProcess);
  CloseHandle(info.hThread);
  return "";
}

std::uint32_t currentProcessId() { return GetCurrentProcessId(); }

fs::path ownExecutablePath() {
  // A path may be up to 32,767 characters long; the call cuts it short, and
  // says so, where the buffer is smaller.
  std::wstring buffer(MAX_PATH, L'\0');
  for (;;) {
    const DWORD length =
        GetModuleFileNameW(/*module=*/nullptr, &buffer[0], static_cast<DWORD>(buffer.size()));
    if (length == 0) {
      const DWORD error = GetLastError();
      throw SystemError("status", "", error);
    }
    if (length < buffer.size()) {
      buffer.resize(length);
      break;
    }
    if (buffer.size() > 32768) throw SystemError("status", "", ERROR_INSUFFICIENT_BUFFER);
    buffer.assign(buffer.size() * 4, L'\0');
  }
  // A program started by its long form has that as its module name; every
  // other path of the run is in the ordinary form.
  return fs::path(ordinaryFormOf(buffer));
}

bool argumentsAreExact(int argc, const char* const* argv, std::string* why) {
  int wideCount = 0;
  wchar_t** wide = nullptr;
  wchar_t** environment = nullptr;
  StartupInfo info{0};
  if (__wgetmainargs(&wideCount, &wide, &environment, /*expandWildcards=*/0, &info) < 0 ||
      wide == nullptr) {
    *why = "the command line cannot be read";
    return false;
  }
  // A substituted quotation mark re-splits the line, so the counts differ.
  if (wideCount != argc) {
    *why = "the command line splits into " + std::to_string(wideCount - 1) + " arguments, not " +
           std::to_string(argc - 1);
  }
  for (int i = 1; i < argc && why->empty(); ++i) {
    bool exact = false;
    try {
      exact = toNarrow(fs::path(std::wstring(wide[i]))) == argv[i];
    } catch (const std::exception&) {
      // No exact form in the code page at all.
    }
    if (!exact) {
      *why = "argument " + std::to_string(i) + " (\"" + argv[i] +
             "\") is not what was passed: the system's code page cannot represent it exactly";
    }
  }
  return why->empty();
}

void appendStandardStreamsTo(const fs::path& path) {
  std::cout.flush();
  std::cerr.flush();
  std::fflush(stdout);
  std::fflush(stderr);
  // The C runtime's own reopening stops at MAX_PATH; the log is opened here
  // by its long form, for appending only, so that every write of either
  // stream lands at the end, and shared, so that others may read it.
  HANDLE file = INVALID_HANDLE_VALUE;
  std::wstring longForm;
  if (makeLongForm(path, &longForm) == 0) {
    file = CreateFileW(longForm.c_str(), FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE,
                       /*securityAttributes=*/nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL,
                       /*templateFile=*/nullptr);
  }
  // A log that cannot be opened loses the run's lines, silently: the streams
  // keep working on the null device.
  if (file == INVALID_HANDLE_VALUE) {
    file = CreateFileW(L"NUL", GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                       /*securityAttributes=*/nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL,
                       /*templateFile=*/nullptr);
  }
  if (file == INVALID_HANDLE_VALUE) return;
  // A descriptor in text mode gives both streams CR LF line ends, and in
  // append mode it writes at the end of the file every time.
  const int descriptor =
      _open_osfhandle(reinterpret_cast<std::intptr_t>(file), _O_APPEND | _O_TEXT);
  if (descriptor == -1) {
    CloseHandle(file);
    return;
  }
  const int output = _fileno(stdout);
  const int error = _fileno(stderr);
  _dup2(descriptor, output);
  _dup2(descriptor, error);
  _close(descriptor);
  // Whoever writes through the system's standard handles lands there too.
  SetStdHandle(STD_OUTPUT_HANDLE, reinterpret_cast<HANDLE>(_get_osfhandle(output)));
  SetStdHandle(STD_ERROR_HANDLE, reinterpret_cast<HANDLE>(_get_osfhandle(error)));
  // A stream that failed before (no standard handle at all) writes again.
  std::clearerr(stdout);
  std::clearerr(stderr);
  std::setvbuf(stderr, nullptr, _IONBF, 0);
}
