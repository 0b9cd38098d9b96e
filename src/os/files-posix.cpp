#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <filesystem>
#include <string>
#include <system_error>

#include "os/error.h"
#include "os/files.h"

namespace fs = std::filesystem;

const std::int64_t kStampTicksPerSecond = 1000000000;

namespace {

[[noreturn]] void fail(const char* call, const std::string& subject, int err) {
  throw SystemError(call, subject, systemErrorOf(err));
}

// lstat or stat, where only "not there" means absent: false then, true with
// *info filled, and a throw for any other failure.
bool lookUp(const fs::path& path, struct stat* info, bool followLinks) {
  if ((followLinks ? stat(path.c_str(), info) : lstat(path.c_str(), info)) == 0) return true;
  // A name longer than any may be names nothing, as a missing one does.
  if (errno == ENOENT || errno == ENOTDIR || errno == ENAMETOOLONG) return false;
  fail("status", path.native(), errno);
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
int syncFolderOf(const fs::path& path) {
  const fs::path folder = path.has_parent_path() ? path.parent_path() : fs::path(".");
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
  if (lstat(from.c_str(), &info) != 0) return systemErrorOf(errno);
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
    return systemErrorOf(err);
  }
  // The original may go only once the copy's name is on the disk: a power
  // cut in between would otherwise leave neither, or only the temporary copy.
  // Should that fail, the copy goes again and the move counts as refused:
  // the original is still in its place.
  if (const int syncError = syncFolderOf(to); syncError != 0) {
    unlink(to.c_str());
    return systemErrorOf(syncError);
  }
  if (unlink(from.c_str()) != 0) return systemErrorOf(errno);
  return 0;
}

// The kind of a listed entry. The listing's own type answers without a
// system call; only a link costs one status read, of what it leads to.
EntryKind kindOf(const fs::directory_entry& entry) {
  std::error_code error;
  const fs::file_status own = entry.symlink_status(error);
  if (error) fail("status", entry.path().native(), error.value());
  if (fs::is_regular_file(own)) return EntryKind::kFile;
  if (fs::is_directory(own)) return EntryKind::kDirectory;
  if (!fs::is_symlink(own)) return EntryKind::kOther;
  struct stat target {};
  if (!lookUp(entry.path(), &target, /*followLinks=*/true)) return EntryKind::kDanglingLink;
  if (S_ISREG(target.st_mode)) return EntryKind::kLinkToFile;
  if (S_ISDIR(target.st_mode)) return EntryKind::kLinkToDirectory;
  return EntryKind::kOther;
}

}  // namespace

bool listDirectory(const fs::path& directory,
                   const std::function<bool(const fs::path& name, EntryKind kind)>& each) {
  std::error_code error;
  fs::directory_iterator it(directory, error);
  for (const fs::directory_iterator end; !error && it != end; it.increment(error)) {
    if (!each(it->path().filename(), kindOf(*it))) return false;
  }
  if (error) fail("list", directory.native(), error.value());
  return true;
}

bool entryExists(const fs::path& path) {
  struct stat info {};
  return lookUp(path, &info, /*followLinks=*/false);
}

bool directoryExists(const fs::path& path) {
  struct stat info {};
  return lookUp(path, &info, /*followLinks=*/true) && S_ISDIR(info.st_mode);
}

bool isLinkEntry(const fs::path& path) {
  struct stat info {};
  return lookUp(path, &info, /*followLinks=*/false) && S_ISLNK(info.st_mode);
}

bool readStamp(const fs::path& path, FileStamp* stamp) {
  struct stat info {};
  if (!lookUp(path, &info, /*followLinks=*/false)) return false;
  stamp->size = static_cast<std::uint64_t>(info.st_size);
  stamp->time =
      static_cast<std::int64_t>(info.st_mtim.tv_sec) * kStampTicksPerSecond + info.st_mtim.tv_nsec;
  stamp->volume = std::to_string(info.st_dev);
  stamp->index = std::to_string(info.st_ino);
  return true;
}

std::uint64_t fileSize(const fs::path& path) {
  struct stat info {};
  if (!lookUp(path, &info, /*followLinks=*/true)) fail("status", path.native(), ENOENT);
  return static_cast<std::uint64_t>(info.st_size);
}

std::string fileIdentity(const fs::path& path) {
  struct stat info {};
  if (!lookUp(path, &info, /*followLinks=*/true)) fail("status", path.native(), ENOENT);
  return std::to_string(info.st_dev) + ":" + std::to_string(info.st_ino);
}

bool sameFileIdentity(const fs::path& a, const fs::path& b) {
  struct stat first {};
  struct stat second {};
  if (stat(a.c_str(), &first) != 0 || stat(b.c_str(), &second) != 0) return false;
  return first.st_dev == second.st_dev && first.st_ino == second.st_ino;
}

bool isShareOrDeviceRoot(const fs::path&) { return false; }

bool createDirectories(const fs::path& path) {
  std::error_code error;
  const bool created = fs::create_directories(path, error);
  if (error) fail("create", path.native(), error.value());
  return created;
}

void removeTree(const fs::path& path) {
  // Permission bits do not guard a file against its directory's owner, and
  // links go as themselves.
  std::error_code error;
  fs::remove_all(path, error);
  if (error) fail("remove", path.native(), error.value());
}

bool removeFile(const fs::path& path) {
  if (unlink(path.c_str()) == 0) return true;
  if (errno == ENOENT) return false;
  fail("remove", path.native(), errno);
}

// One open of each file and no status reads by name: a backup copies tens of
// thousands of small files, and the library's copy_file costs two more path
// lookups and a chmod per file. Like cp, the new file takes the source's
// permission bits less the umask.
void copyFileOver(const fs::path& from, const fs::path& to) {
  int in = -1;
  int out = -1;
  const auto failCopy = [&](int err) {
    if (out >= 0) close(out);
    if (in >= 0) close(in);
    fail("copy", from.native() + ", " + to.native(), err);
  };
  in = open(from.c_str(), O_RDONLY | O_CLOEXEC);
  if (in < 0) failCopy(errno);
  struct stat source {};
  if (fstat(in, &source) != 0) failCopy(errno);
  if (!S_ISREG(source.st_mode)) failCopy(ENOTSUP);
  // Not truncated on opening: a target that is the source itself must not be
  // emptied.
  out = open(to.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, source.st_mode & 07777);
  if (out < 0) failCopy(errno);
  struct stat target {};
  if (fstat(out, &target) != 0) failCopy(errno);
  if (target.st_dev == source.st_dev && target.st_ino == source.st_ino) failCopy(EEXIST);
  if (target.st_size != 0 && ftruncate(out, 0) != 0) failCopy(errno);
  if (const int err = copyAll(in, out); err != 0) failCopy(err);
  const int closing = close(out);
  out = -1;
  if (closing != 0) failCopy(errno);
  close(in);
}

void copyProgram(const fs::path& from, const fs::path& to) {
  // A copy that is running is an update in progress: it cannot be written
  // to (ETXTBSY), and it is left alone, as Windows leaves a running program.
  // Opening it for writing, without truncating, asks.
  const int running = open(to.c_str(), O_WRONLY | O_CLOEXEC);
  if (running >= 0) {
    close(running);
  } else if (errno == ETXTBSY) {
    fail("copy", from.native() + ", " + to.native(), ETXTBSY);
  }
  const fs::path temporary = to.native() + ".new-" + std::to_string(getpid());
  try {
    copyFileOver(from, temporary);
  } catch (const SystemError&) {
    unlink(temporary.c_str());
    throw;
  }
  // The owner must be able to run it, whatever the source allowed.
  struct stat info {};
  if (stat(temporary.c_str(), &info) == 0) chmod(temporary.c_str(), info.st_mode | S_IXUSR);
  if (std::rename(temporary.c_str(), to.c_str()) != 0) {
    const int err = errno;
    unlink(temporary.c_str());
    fail("copy", from.native() + ", " + to.native(), err);
  }
}

std::uint32_t moveFileReplacing(const fs::path& from, const fs::path& to,
                                const std::string& temporarySuffix) {
  if (std::rename(from.c_str(), to.c_str()) == 0) return 0;
  if (errno != EXDEV) return systemErrorOf(errno);
  return moveAcrossFileSystems(from.native(), to.native(), temporarySuffix);
}

void flushDirectories(const std::set<fs::path>& directories) {
  for (const fs::path& directory : directories) {
    const int fd = open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) continue;
    fsync(fd);
    close(fd);
  }
}

void syncFile(const fs::path& path) {
  const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0 || fsync(fd) != 0) {
    const int err = errno;
    if (fd >= 0) close(fd);
    fail("flush", path.native(), err);
  }
  close(fd);
  flushDirectories({path.has_parent_path() ? path.parent_path() : fs::path(".")});
}

void flushFileSystem(const fs::path& path) {
  // One syncfs covers every file the backup copied, where a sync per file
  // would cost a disk flush each.
  const int fd = open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return;
  syncfs(fd);
  close(fd);
}

InputFile::InputFile(const fs::path& path)
    // Not blocking: a pipe where a file was expected fails its first read
    // rather than waiting for a writer.
    : path_(path), handle_(open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK)) {
  if (handle_ < 0) fail("open", path.native(), errno);
}

InputFile::~InputFile() { close(static_cast<int>(handle_)); }

std::size_t InputFile::read(char* buffer, std::size_t size) {
  for (;;) {
    const ssize_t got = ::read(static_cast<int>(handle_), buffer, size);
    if (got >= 0) return static_cast<std::size_t>(got);
    if (errno != EINTR) fail("read", path_.native(), errno);
  }
}

OutputFile::OutputFile(const fs::path& path, WriteMode mode)
    : path_(path),
      handle_(open(path.c_str(),
                   O_WRONLY | O_CREAT | O_CLOEXEC |
                       (mode == WriteMode::kAppend       ? O_APPEND
                        : mode == WriteMode::kNewPrivate ? O_EXCL
                                                         : O_TRUNC),
                   mode == WriteMode::kNewPrivate ? 0600 : 0666)) {
  if (handle_ < 0) fail("open", path.native(), errno);
}

OutputFile::~OutputFile() {
  if (handle_ >= 0) ::close(static_cast<int>(handle_));
}

void OutputFile::write(const std::string& bytes) {
  for (std::size_t done = 0; done < bytes.size();) {
    const ssize_t put =
        ::write(static_cast<int>(handle_), bytes.data() + done, bytes.size() - done);
    if (put < 0) {
      if (errno == EINTR) continue;
      fail("write", path_.native(), errno);
    }
    done += static_cast<std::size_t>(put);
  }
}

void OutputFile::close() {
  const int fd = static_cast<int>(handle_);
  handle_ = -1;
  if (::close(fd) != 0) fail("write", path_.native(), errno);
}
