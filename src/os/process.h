#ifndef VEXO_OS_PROCESS_H_
#define VEXO_OS_PROCESS_H_

// Processes: waiting for the host, starting a program detached, and this
// process's own arguments, identity and standard streams.

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

constexpr std::uint32_t kWaitObject0 = 0;
constexpr std::uint32_t kWaitTimeout = 258;

// A process opened for waiting.
struct ProcessWait {
  std::intptr_t handle = -1;
  std::uint32_t processId = 0;
};

// Opens the process with the right to wait for it only. Returns false and
// sets *errorCode when it cannot be opened.
bool openProcessForWait(std::uint32_t processId, ProcessWait* wait, std::uint32_t* errorCode);

// Waits once. Returns kWaitObject0 when the process has ended, kWaitTimeout
// on the time-out, and any other value for a failed wait.
std::uint32_t waitOnProcess(const ProcessWait& wait, std::uint32_t timeoutMs);

// Releases what openProcessForWait took.
void closeProcessWait(const ProcessWait& wait);

// Blocks the thread for the given time.
void pauseMilliseconds(std::uint32_t milliseconds);

// Starts program with the arguments (narrow strings, as toFsPath reads
// them) in workDir, without waiting for it: no handle, descriptor, standard
// stream, console or session of this process's; natively a session of its
// own. On Windows the command line is quoted so that the program's C runtime
// gives back each argument exactly. Returns an empty string, or the failure
// ("<call>(<program>) err=<code>").
std::string startDetached(const std::filesystem::path& program,
                          const std::vector<std::string>& arguments,
                          const std::filesystem::path& workDir);

// The id of this process.
std::uint32_t currentProcessId();

// The full path of this process's executable.
std::filesystem::path ownExecutablePath();

// True when each argument after the program's path is exactly what the
// caller passed. On Windows the narrow arguments are the wide command line
// converted to the ANSI code page with best-fit mapping, which can turn a
// character into another ("\xC5\x81" into 'L', a fullwidth quotation mark
// into '"'); each is compared with its wide original converted without any
// substitution. Elsewhere always true. On false, *why tells which argument.
bool argumentsAreExact(int argc, const char* const* argv, std::string* why);

// Appends standard output and standard error to the file at path from now
// on, line ends as text (CR LF on Windows). A file that cannot be opened
// leaves both on the null device: their lines are lost, silently.
void appendStandardStreamsTo(const std::filesystem::path& path);

#endif  // VEXO_OS_PROCESS_H_
