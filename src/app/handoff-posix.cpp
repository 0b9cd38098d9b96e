#include <fcntl.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>
#include <string>

#include "app/handoff.h"

extern char** environ;

namespace {

// Closes every descriptor above the standard three. close_range does it in
// one call on current kernels; the loop covers older ones.
void closeInheritedDescriptors(long openMax) {
  if (close_range(3, ~0U, 0) == 0) return;
  for (long fd = 3; fd < openMax; ++fd) close(static_cast<int>(fd));
}

}  // namespace

void removeStaging(const std::string& stagingDir) {
  // Deleted outright, read-only files included (permission bits do not guard
  // a file against its directory's owner). A failure leaves what is left.
  std::error_code ignored;
  std::filesystem::remove_all(stagingDir, ignored);
}

void relaunchApplication(const std::string& installDir) {
  // The separator is always added; a trailing one gives "//", which POSIX
  // reads as "/".
  const std::string appPath = installDir + "/VEXO.exe";
  const char* const argv[] = {appPath.c_str(), "--post-update-check", nullptr};
  // Everything the children need is prepared here: between fork and exec only
  // async-signal-safe calls are made.
  const long openMax = sysconf(_SC_OPEN_MAX) > 0 ? sysconf(_SC_OPEN_MAX) : 1024;

  // Two forks: the middle process exits at once and is reaped here, so the
  // application is adopted by init and never lingers as our zombie, and we do
  // not wait for it.
  const pid_t middle = fork();
  if (middle < 0) return;
  if (middle == 0) {
    if (fork() != 0) _exit(0);
    // A session of its own, so that a terminal or process group the updater
    // was started from does not reach the application.
    setsid();
    const int null = open("/dev/null", O_RDWR);
    if (null >= 0) {
      dup2(null, 0);
      dup2(null, 1);
      dup2(null, 2);
      if (null > 2) close(null);
    }
    // The application must not keep the log file, or any other descriptor of
    // ours, open after the updater has gone.
    closeInheritedDescriptors(openMax);
    // Like the Windows start: a working directory that cannot be entered
    // means no start at all. A failure is not reported.
    if (chdir(installDir.c_str()) != 0) _exit(127);
    execve(appPath.c_str(), const_cast<char* const*>(argv), environ);
    _exit(127);
  }
  int status = 0;
  while (waitpid(middle, &status, 0) < 0 && errno == EINTR) {
  }
}

void pauseMilliseconds(std::uint32_t milliseconds) {
  timespec remaining{};
  remaining.tv_sec = static_cast<time_t>(milliseconds / 1000);
  remaining.tv_nsec = static_cast<long>(milliseconds % 1000) * 1000000L;
  // A signal cuts nanosleep short; sleep on for what is left.
  while (nanosleep(&remaining, &remaining) != 0 && errno == EINTR) {
  }
}
