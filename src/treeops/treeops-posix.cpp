#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstddef>
#include <cstdio>
#include <cstring>
#include <string>
#include <system_error>
#include <thread>

#include "treeops/treeops_os.h"

namespace fs = std::filesystem;

namespace {

constexpr std::uint32_t kErrorFileNotFound = 2;
constexpr std::uint32_t kErrorPathNotFound = 3;
constexpr std::uint32_t kErrorWriteProtect = 19;
constexpr std::uint32_t kErrorInvalidParameter = 87;
constexpr std::uint32_t kErrorDiskFull = 112;
constexpr std::uint32_t kCustomerCodeBit = 0x20000000;

constexpr std::uint32_t kWaitFailed = 0xFFFFFFFF;
constexpr std::uint32_t kInfinite = 0xFFFFFFFF;
constexpr auto kProbeInterval = std::chrono::milliseconds(10);

// The one translation of errno into the Windows system error codes that the
// texts and logs carry, so that a failure reads the same on both platforms:
//   ESRCH, EINVAL         87  ERROR_INVALID_PARAMETER (what OpenProcess says
//                             for a process that does not exist)
//   EACCES, EPERM, EISDIR  5  ERROR_ACCESS_DENIED (EPERM is also what an
//                             immutable file gives; a directory in the way
//                             of a move is access denied on Windows)
//   EBUSY, ETXTBSY        32  ERROR_SHARING_VIOLATION
//   ENOENT                 2  ERROR_FILE_NOT_FOUND
//   ENOTDIR                3  ERROR_PATH_NOT_FOUND
//   EROFS                 19  ERROR_WRITE_PROTECT
//   ENOSPC               112  ERROR_DISK_FULL
// Any other errno comes out as 0x20000000 | errno. Bit 29 marks
// application-defined codes, so the result never collides with a real
// Windows code, and subtracting 536870912 gives the errno back.
std::uint32_t windowsErrorCode(int err) {
  switch (err) {
    case ESRCH:
    case EINVAL:
      return kErrorInvalidParameter;
    case EACCES:
    case EPERM:
    case EISDIR:
      return kErrorAccessDenied;
    case EBUSY:
    case ETXTBSY:
      return kErrorSharingViolation;
    case ENOENT:
      return kErrorFileNotFound;
    case ENOTDIR:
      return kErrorPathNotFound;
    case EROFS:
      return kErrorWriteProtect;
    case ENOSPC:
      return kErrorDiskFull;
    default:
      return kCustomerCodeBit | static_cast<std::uint32_t>(err);
  }
}

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

// Copies what is left of in to out; returns 0 or the errno of the failure.
int copyContents(int in, int out) {
  char buffer[1 << 16];
  for (;;) {
    const ssize_t got = read(in, buffer, sizeof buffer);
    if (got == 0) return 0;
    if (got < 0) {
      if (errno == EINTR) continue;
      return errno;
    }
    for (ssize_t done = 0; done < got;) {
      const ssize_t put = write(out, buffer + done, static_cast<size_t>(got - done));
      if (put < 0) {
        if (errno == EINTR) continue;
        return errno;
      }
      done += put;
    }
  }
}

// Lets the kernel copy inside one file system and falls back to reading and
// writing where it cannot. Returns 0 or the errno of the failure.
int copyAll(int in, int out) {
  for (;;) {
    const ssize_t copied = copy_file_range(in, nullptr, out, nullptr, std::size_t{1} << 30, 0);
    if (copied == 0) return 0;
    if (copied > 0) continue;
    if (errno == EINTR) continue;
    if (errno == EXDEV || errno == EINVAL || errno == ENOSYS || errno == EOPNOTSUPP) {
      return copyContents(in, out);
    }
    return errno;
  }
}

// Makes the entries of the folder that holds path durable. Returns 0 or the
// errno of the failure.
int syncFolderOf(const std::string& path) {
  const std::string::size_type slash = path.rfind('/');
  const std::string folder = slash == std::string::npos ? "."
                             : slash == 0               ? "/"
                                                        : path.substr(0, slash);
  const int fd = open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return errno;
  const int err = fsync(fd) == 0 ? 0 : errno;
  close(fd);
  return err;
}

// The name a move across file systems writes its copy under: the target's
// name with the suffix, the name cut short where the two would be longer
// than a name may be.
std::string temporaryNameFor(const std::string& to, const std::string& suffix) {
  const std::size_t length = to.size() - (to.rfind('/') + 1) + suffix.size();
  const std::size_t excess = length > NAME_MAX ? length - NAME_MAX : 0;
  return to.substr(0, to.size() - excess) + suffix;
}

// Copies the file or link at from to temporary, created afresh, with its
// permission bits and times, and makes it durable. Returns 0 or the errno.
int copyAsNew(const std::string& from, const struct stat& info, const std::string& temporary) {
  const timespec times[2] = {info.st_atim, info.st_mtim};
  if (S_ISLNK(info.st_mode)) {
    // A link stays a link: its copy leads where it led, read through never.
    std::string target(static_cast<std::size_t>(info.st_size) + 1, '\0');
    const ssize_t length = readlink(from.c_str(), &target[0], target.size());
    if (length < 0) return errno;
    target.resize(static_cast<std::size_t>(length));
    if (symlink(target.c_str(), temporary.c_str()) != 0) return errno;
    return utimensat(AT_FDCWD, temporary.c_str(), times, AT_SYMLINK_NOFOLLOW) == 0 ? 0 : errno;
  }
  const int in = open(from.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
  if (in < 0) return errno;
  const int out = open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
  if (out < 0) {
    const int err = errno;
    close(in);
    return err;
  }
  int err = copyContents(in, out);
  if (err == 0 && fchmod(out, info.st_mode & 07777) != 0) err = errno;
  // A move keeps the file's times, as a rename does: the journal knows a
  // file moved in by its size and modification time.
  if (err == 0 && futimens(out, times) != 0) err = errno;
  if (err == 0 && fsync(out) != 0) err = errno;
  if (close(out) != 0 && err == 0) err = errno;
  close(in);
  return err;
}

// rename cannot cross file systems; like a move with copying allowed, the
// file is copied and the original deleted. The copy is written under a
// temporary name beside the target and made durable before it replaces the
// target, so the target is never seen half-written.
std::uint32_t moveAcrossFileSystems(const std::string& from, const std::string& to,
                                    const std::string& suffix) {
  struct stat info {};
  if (lstat(from.c_str(), &info) != 0) return windowsErrorCode(errno);
  const std::string temporary = temporaryNameFor(to, suffix);
  int err = copyAsNew(from, info, temporary);
  if (err == EEXIST) {
    // The suffix is this update's own: a copy a stopped run left behind.
    unlink(temporary.c_str());
    err = copyAsNew(from, info, temporary);
  }
  if (err == 0 && std::rename(temporary.c_str(), to.c_str()) != 0) err = errno;
  if (err != 0) {
    unlink(temporary.c_str());
    return windowsErrorCode(err);
  }
  // The original may go only once the copy's name is on the disk: a power
  // cut in between would otherwise leave neither, or only the temporary copy.
  // Should that fail, the copy goes again and the move counts as refused:
  // the original is still in its place.
  if (const int syncError = syncFolderOf(to); syncError != 0) {
    unlink(to.c_str());
    return windowsErrorCode(syncError);
  }
  if (unlink(from.c_str()) != 0) return windowsErrorCode(errno);
  return 0;
}

}  // namespace

fs::path toFsPath(const std::string& narrow) { return fs::path(narrow); }

std::string toNarrow(const fs::path& path) { return path.native(); }

std::string toNarrowText(const fs::path& path) { return path.native(); }

std::string toJournalText(const fs::path& relative) { return relative.native(); }

fs::path fromJournalText(const std::string& text) { return fs::path(text); }

const std::int64_t kStampTicksPerSecond = 1000000000;

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
    *errorCode = windowsErrorCode(errno);
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

EntryKind entryKind(const fs::directory_entry& entry) {
  // The listing's own type answers without a system call; only a link costs
  // one status read, of what it leads to.
  const fs::file_status own = entry.symlink_status();
  if (fs::is_regular_file(own)) return EntryKind::kFile;
  if (fs::is_directory(own)) return EntryKind::kDirectory;
  if (!fs::is_symlink(own)) return EntryKind::kOther;
  std::error_code error;
  const fs::file_status target = fs::status(entry.path(), error);
  if (error && error != std::errc::no_such_file_or_directory) {
    throw fs::filesystem_error("status", entry.path(), error);
  }
  if (fs::is_regular_file(target)) return EntryKind::kLinkToFile;
  if (fs::is_directory(target)) return EntryKind::kLinkToDirectory;
  return fs::exists(target) ? EntryKind::kOther : EntryKind::kDanglingLink;
}

void removeLink(const fs::path& path) {
  if (unlink(path.c_str()) != 0) {
    throw fs::filesystem_error("remove", path, std::error_code(errno, std::generic_category()));
  }
}

// One open of each file and no status reads by name: a backup copies tens of
// thousands of small files, and the library's copy_file costs two more path
// lookups and a chmod per file. Like cp, the new file takes the source's
// permission bits less the umask.
void copyFileOver(const fs::path& from, const fs::path& to) {
  int in = -1;
  int out = -1;
  const auto fail = [&](int err) {
    if (out >= 0) close(out);
    if (in >= 0) close(in);
    throw fs::filesystem_error("copy_file", from, to,
                               std::error_code(err, std::generic_category()));
  };
  in = open(from.c_str(), O_RDONLY | O_CLOEXEC);
  if (in < 0) fail(errno);
  struct stat source {};
  if (fstat(in, &source) != 0) fail(errno);
  if (!S_ISREG(source.st_mode)) fail(ENOTSUP);
  // Not truncated on opening: a target that is the source itself must not be
  // emptied.
  out = open(to.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, source.st_mode & 07777);
  if (out < 0) fail(errno);
  struct stat target {};
  if (fstat(out, &target) != 0) fail(errno);
  if (target.st_dev == source.st_dev && target.st_ino == source.st_ino) fail(EEXIST);
  if (target.st_size != 0 && ftruncate(out, 0) != 0) fail(errno);
  if (const int err = copyAll(in, out); err != 0) fail(err);
  const int closing = close(out);
  out = -1;
  if (closing != 0) fail(errno);
  close(in);
}

void removeTree(const fs::path& path) {
  // The library words its error "cannot remove all"; the failure line names
  // the operation the same way on every platform.
  try {
    fs::remove_all(path);
  } catch (const fs::filesystem_error& e) {
    throw fs::filesystem_error("remove_all", e.path1(), e.path2(), e.code());
  }
}

std::uint32_t moveFileReplacing(const fs::path& from, const fs::path& to,
                                const std::string& temporarySuffix) {
  if (std::rename(from.c_str(), to.c_str()) == 0) return 0;
  if (errno != EXDEV) return windowsErrorCode(errno);
  return moveAcrossFileSystems(from.native(), to.native(), temporarySuffix);
}

void flushDirectories(const std::set<fs::path>& directories) {
  // The moves are done; a directory that cannot be synced leaves nothing to
  // report or undo, so errors are passed over.
  for (const fs::path& directory : directories) {
    const int fd = open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) continue;
    fsync(fd);
    close(fd);
  }
}

bool isShareOrDeviceRoot(const fs::path&) { return false; }

bool sameFileIdentity(const fs::path& a, const fs::path& b) {
  struct stat first {};
  struct stat second {};
  if (stat(a.c_str(), &first) != 0 || stat(b.c_str(), &second) != 0) return false;
  return first.st_dev == second.st_dev && first.st_ino == second.st_ino;
}

void syncFile(const fs::path& path) {
  const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0 || fsync(fd) != 0) {
    const int err = errno;
    if (fd >= 0) close(fd);
    throw fs::filesystem_error("write", path, std::error_code(err, std::generic_category()));
  }
  close(fd);
  flushDirectories({path.has_parent_path() ? path.parent_path() : fs::path(".")});
}

namespace {

// lstat, where only "not there" means absent: false then, true with *info
// filled, and a throw naming the code for any other failure.
bool statEntry(const fs::path& path, struct stat* info) {
  if (lstat(path.c_str(), info) == 0) return true;
  const int err = errno;
  if (err == ENOENT || err == ENOTDIR) return false;
  throw fs::filesystem_error("status err=" + std::to_string(windowsErrorCode(err)), path,
                             std::error_code(err, std::generic_category()));
}

}  // namespace

bool entryExists(const fs::path& path) {
  struct stat info {};
  return statEntry(path, &info);
}

bool isLinkEntry(const fs::path& path) {
  struct stat info {};
  return statEntry(path, &info) && S_ISLNK(info.st_mode);
}

bool directoryExists(const fs::path& path) {
  struct stat info {};
  if (stat(path.c_str(), &info) == 0) return S_ISDIR(info.st_mode);
  const int err = errno;
  if (err == ENOENT || err == ENOTDIR) return false;
  throw fs::filesystem_error("status err=" + std::to_string(windowsErrorCode(err)), path,
                             std::error_code(err, std::generic_category()));
}

bool readStamp(const fs::path& path, FileStamp* stamp) {
  struct stat info {};
  if (!statEntry(path, &info)) return false;
  stamp->size = static_cast<std::uint64_t>(info.st_size);
  stamp->time =
      static_cast<std::int64_t>(info.st_mtim.tv_sec) * kStampTicksPerSecond + info.st_mtim.tv_nsec;
  stamp->volume = std::to_string(info.st_dev);
  stamp->index = std::to_string(info.st_ino);
  return true;
}

std::string fileIdentity(const fs::path& path) {
  struct stat info {};
  if (stat(path.c_str(), &info) != 0) {
    throw fs::filesystem_error("status", path, std::error_code(errno, std::generic_category()));
  }
  return std::to_string(info.st_dev) + ":" + std::to_string(info.st_ino);
}

bool takeHold(const std::string& name, bool keep, std::uint32_t* errorCode) {
  // A socket bound to a name in the abstract namespace: the name is the
  // kernel's alone, no file is made, and it is freed with the process.
  const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) {
    *errorCode = windowsErrorCode(errno);
    return false;
  }
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  const std::size_t length = std::min(name.size(), sizeof address.sun_path - 1);
  std::memcpy(address.sun_path + 1, name.data(), length);
  const socklen_t size = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + 1 + length);
  if (bind(fd, reinterpret_cast<const sockaddr*>(&address), size) != 0) {
    const int err = errno;
    close(fd);
    *errorCode = err == EADDRINUSE ? 0 : windowsErrorCode(err);
    return false;
  }
  // Kept, the socket is left open on purpose until the process ends.
  if (!keep) close(fd);
  return true;
}

void flushFileSystem(const fs::path& path) {
  // One syncfs covers every file the backup copied, where a sync per file
  // would cost a disk flush each.
  const int fd = open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return;
  syncfs(fd);
  close(fd);
}
