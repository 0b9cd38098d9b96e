#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdio>
#include <ctime>
#include <thread>

#include "os/error.h"
#include "os/process.h"

extern char** environ;

namespace fs = std::filesystem;

namespace {

constexpr std::uint32_t kWaitFailed = 0xFFFFFFFF;
constexpr std::uint32_t kInfinite = 0xFFFFFFFF;
constexpr auto kProbeInterval = std::chrono::milliseconds(10);

int openProcessFd(pid_t pid) {
#ifdef SYS_pidfd_open
  return static_cast<int>(syscall(SYS_pidfd_open, pid, 0));
#else
  (void)pid;
  errno = ENOSYS;
  return -1;
#endif
}

std::uint32_t pollProcessFd(int fd, std::uint32_t timeoutMs) {
  using Clock = std::chrono::steady_clock;
  const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
  for (;;) {
    // poll takes an int of milliseconds; longer waits go in slices, and a
    // signal only shortens the slice it interrupted.
    int sliceMs = -1;
    bool lastSlice = false;
    if (timeoutMs != kInfinite) {
      const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now());
      const long long leftMs = left.count() < 0 ? 0 : left.count();
      lastSlice = leftMs <= INT_MAX;
      sliceMs = lastSlice ? static_cast<int>(leftMs) : INT_MAX;
    }
    pollfd entry{fd, POLLIN, 0};
    const int ready = poll(&entry, 1, sliceMs);
    if (ready > 0) return (entry.revents & POLLIN) != 0 ? kWaitObject0 : kWaitFailed;
    if (ready == 0 && lastSlice) return kWaitTimeout;
    if (ready < 0 && errno != EINTR) return kWaitFailed;
  }
}

// Without pidfd_open nothing can block on a process that is not our child,
// so its existence is probed until it is gone or the time is up.
std::uint32_t probeProcess(pid_t pid, std::uint32_t timeoutMs) {
  using Clock = std::chrono::steady_clock;
  const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
  for (;;) {
    if (kill(pid, 0) != 0 && errno == ESRCH) return kWaitObject0;
    const Clock::time_point now = Clock::now();
    if (timeoutMs != kInfinite && now >= deadline) return kWaitTimeout;
    std::this_thread::sleep_for(timeoutMs == kInfinite
                                    ? kProbeInterval
                                    : std::min<Clock::duration>(kProbeInterval, deadline - now));
  }
}

}  // namespace

bool openProcessForWait(std::uint32_t processId, ProcessWait* wait, std::uint32_t* errorCode) {
  // 0 and anything that does not fit a positive pid_t would name a process
  // group (or every process) to kill; such ids name no process at all here.
  if (processId == 0 || processId > static_cast<std::uint32_t>(INT_MAX)) {
    *errorCode = kErrorInvalidParameter;
    return false;
  }
  const pid_t pid = static_cast<pid_t>(processId);
  wait->processId = processId;
  const int fd = openProcessFd(pid);
  if (fd >= 0) {
    wait->handle = fd;
    return true;
  }
  if (errno != ENOSYS) {
    *errorCode = systemErrorOf(errno);
    return false;
  }
  // EPERM from the probe means the process exists but belongs to another user.
  if (kill(pid, 0) != 0 && errno == ESRCH) {
    *errorCode = kErrorInvalidParameter;
    return false;
  }
  wait->handle = -1;
  return true;
}

std::uint32_t waitOnProcess(const ProcessWait& wait, std::uint32_t timeoutMs) {
  if (wait.handle >= 0) return pollProcessFd(static_cast<int>(wait.handle), timeoutMs);
  return probeProcess(static_cast<pid_t>(wait.processId), timeoutMs);
}

void closeProcessWait(const ProcessWait& wait) {
  if (wait.handle >= 0) close(static_cast<int>(wait.handle));
}

void pauseMilliseconds(std::uint32_t milliseconds) {
  timespec remaining{};
  remaining.tv_sec = static_cast<time_t>(milliseconds / 1000);
  remaining.tv_nsec = static_cast<long>(milliseconds % 1000) * 1000000L;
  // A signal cuts nanosleep short; sleep on for what is left.
  while (nanosleep(&remaining, &remaining) != 0 && errno == EINTR) {
  }
}

std::string startDetached(const fs::path& program, const std::vector<std::string>& arguments,
                          const fs::path& workDir) {
  std::vector<char*> argv{const_cast<char*>(program.c_str())};
  for (const std::string& argument : arguments) argv.push_back(const_cast<char*>(argument.c_str()));
  argv.push_back(nullptr);
  const auto failed = [&](int err) {
    return failureText("start", program.native(), systemErrorOf(err));
  };

  // posix_spawn rather than fork: the caller may be a large, many-threaded
  // runtime, in whose forked copy little may safely run. A session of its
  // own, so that closing the caller's terminal or signalling its process
  // group does not stop the program half-way; no blocked or ignored signal
  // of the caller's. No standard stream and no other descriptor of the
  // caller's: the program must not hold the caller's files open, nor keep a
  // pipe of whoever waits for the caller.
  posix_spawnattr_t attributes;
  posix_spawn_file_actions_t actions;
  if (const int err = posix_spawnattr_init(&attributes)) return failed(err);
  if (const int err = posix_spawn_file_actions_init(&actions)) {
    posix_spawnattr_destroy(&attributes);
    return failed(err);
  }
  sigset_t none;
  sigset_t all;
  sigemptyset(&none);
  sigfillset(&all);
  int err = posix_spawnattr_setsigmask(&attributes, &none);
  if (err == 0) err = posix_spawnattr_setsigdefault(&attributes, &all);
  if (err == 0) {
    err = posix_spawnattr_setflags(
        &attributes, POSIX_SPAWN_SETSID | POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
  }
  if (err == 0) err = posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  if (err == 0) err = posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
  if (err == 0) err = posix_spawn_file_actions_adddup2(&actions, 1, 2);
  if (err == 0) err = posix_spawn_file_actions_addclosefrom_np(&actions, 3);
  // A working directory that cannot be entered means no start at all.
  if (err == 0) err = posix_spawn_file_actions_addchdir_np(&actions, workDir.c_str());
  pid_t pid = 0;
  if (err == 0) err = posix_spawn(&pid, argv[0], &actions, &attributes, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  posix_spawnattr_destroy(&attributes);
  // Not waited for: once the caller has exited, init adopts and reaps it.
  return err == 0 ? "" : failed(err);
}

std::uint32_t currentProcessId() { return static_cast<std::uint32_t>(getpid()); }

fs::path ownExecutablePath() {
  std::error_code error;
  return fs::read_symlink("/proc/self/exe", error);
}

bool argumentsAreExact(int, const char* const*, std::string*) {
  // The arguments are the caller's bytes, unconverted.
  return true;
}

void appendStandardStreamsTo(const fs::path& path) {
  std::fflush(stdout);
  std::fflush(stderr);
  // A failed reopen closes the stream, and writing to a closed stream is
  // undefined; the null device keeps it valid while the lines are lost.
  for (std::FILE* stream : {stdout, stderr}) {
    if (std::freopen(path.c_str(), "a", stream) == nullptr) {
      std::freopen("/dev/null", "a", stream);
    }
  }
  std::setvbuf(stderr, nullptr, _IONBF, 0);
}
