#include <fcntl.h>
#include <limits.h>
#include <signal.h>
#include <spawn.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>

#include "host/host_kit_os.h"

extern char** environ;

namespace fs = std::filesystem;

const char kUpdaterName[] = "vexo-updater";

std::string pathInFolder(const std::string& folder, const std::string& name) {
  if (!folder.empty() && folder.back() == '/') return folder + name;
  return folder + '/' + name;
}

std::string parentFolder(const std::string& path) {
  const std::size_t end = path.rfind('/');
  if (end == std::string::npos) return "";
  return end == 0 ? std::string("/") : path.substr(0, end);
}

std::string makeAbsolute(std::string* path) {
  if (path->empty() || path->front() == '/') return "";
  std::error_code ec;
  const fs::path absolute = fs::absolute(*path, ec);
  if (ec) return "getcwd: " + ec.message();
  *path = absolute.native();
  return "";
}

std::uint32_t currentProcessId() { return static_cast<std::uint32_t>(getpid()); }

bool liesWithin(const std::string& path, const std::string& folder) {
  // Links resolved: a data folder reached through a link into the
  // installation lies inside it all the same.
  std::error_code ec;
  const fs::path inner = fs::weakly_canonical(fs::absolute(path, ec), ec);
  if (ec) return false;
  const fs::path outer = fs::weakly_canonical(fs::absolute(folder, ec), ec);
  if (ec) return false;
  auto innerPart = inner.begin();
  for (const fs::path& part : outer) {
    // A trailing separator leaves an empty last component.
    if (part.empty()) continue;
    if (innerPart == inner.end() || *innerPart != part) return false;
    ++innerPart;
  }
  return true;
}

std::string createFolders(const std::string& folder) {
  std::error_code ec;
  fs::create_directories(folder, ec);
  if (ec) return "create_directories(" + folder + "): " + ec.message();
  return "";
}

std::string copyExecutable(const std::string& source, const std::string& target) {
  // An earlier copy that is still running is an update in progress: it
  // cannot be written to (ETXTBSY), and it is left alone, as Windows leaves
  // a running program. Opening it for writing, without truncating, asks.
  const int running = open(target.c_str(), O_WRONLY | O_CLOEXEC);
  if (running >= 0) {
    close(running);
  } else if (errno == ETXTBSY) {
    return "open(" + target + "): " + std::strerror(ETXTBSY) +
           ": an update started from it is still running";
  }
  // Copied beside the target and renamed over it, so that the target is
  // never seen half-written.
  const std::string temporary = target + ".new-" + std::to_string(getpid());
  std::error_code ec;
  fs::copy_file(source, temporary, fs::copy_options::overwrite_existing, ec);
  if (ec) {
    fs::remove(temporary, ec);
    return "copy_file(" + source + ", " + temporary + "): " + ec.message();
  }
  // The copy keeps the source's permissions; the owner must be able to run it.
  fs::permissions(temporary, fs::perms::owner_exec, fs::perm_options::add, ec);
  if (std::rename(temporary.c_str(), target.c_str()) != 0) {
    const int error = errno;
    fs::remove(temporary, ec);
    return "rename(" + temporary + ", " + target + "): " + std::strerror(error);
  }
  return "";
}

std::string startDetached(const std::vector<std::string>& argv, const std::string& workDir) {
  std::vector<char*> args;
  for (const std::string& arg : argv) args.push_back(const_cast<char*>(arg.c_str()));
  args.push_back(nullptr);

  // posix_spawn rather than fork: the host may be a large, many-threaded
  // runtime, in whose forked copy little may safely run.
  posix_spawnattr_t attributes;
  posix_spawnattr_init(&attributes);
  // A session of its own, so that closing the host's terminal or signalling
  // its process group does not stop the updater half-way; no blocked or
  // ignored signal of the host's.
  sigset_t none;
  sigemptyset(&none);
  sigset_t all;
  sigfillset(&all);
  posix_spawnattr_setsigmask(&attributes, &none);
  posix_spawnattr_setsigdefault(&attributes, &all);
  posix_spawnattr_setflags(&attributes,
                           POSIX_SPAWN_SETSID | POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
  // No standard stream and no other descriptor of the host's: the updater
  // must not hold the host's files open while it replaces them, nor keep a
  // pipe of whoever waits for the host. It writes to its log.
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
  posix_spawn_file_actions_adddup2(&actions, 1, 2);
  posix_spawn_file_actions_addclosefrom_np(&actions, 3);
  posix_spawn_file_actions_addchdir_np(&actions, workDir.c_str());

  pid_t pid = 0;
  const int error = posix_spawn(&pid, args[0], &actions, &attributes, args.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  posix_spawnattr_destroy(&attributes);
  // Not waited for: the updater waits for the host. Once the host has
  // exited, init adopts and reaps it.
  if (error != 0) return "posix_spawn(" + argv[0] + "): " + std::strerror(error);
  return "";
}

std::string placeholderState(const std::string&) { return ""; }

std::string probeWritable(const std::string& folder) {
  // An unnamed file: nothing is left behind, even if this process dies now.
  const int fd = open(folder.c_str(), O_TMPFILE | O_WRONLY | O_CLOEXEC, 0600);
  if (fd >= 0) {
    close(fd);
    return "";
  }
  const int error = errno;
  // File systems without unnamed files refuse the flag itself.
  if (error != EOPNOTSUPP && error != EISDIR) {
    return "open(" + folder + ", O_TMPFILE): " + std::strerror(error);
  }
  std::string name = pathInFolder(folder, ".vexo-check-XXXXXX");
  const int named = mkostemp(&name[0], O_CLOEXEC);
  if (named < 0) return "mkstemp(" + name + "): " + std::strerror(errno);
  close(named);
  unlink(name.c_str());
  return "";
}

std::string volumeSpace(const std::string& folder, std::uint64_t* freeBytes, std::uint64_t* unit) {
  struct statvfs volume {};
  if (statvfs(folder.c_str(), &volume) != 0) {
    return "statvfs(" + folder + "): " + std::strerror(errno);
  }
  // f_bavail: what an unprivileged process may use, the reserve left out.
  *freeBytes = static_cast<std::uint64_t>(volume.f_bavail) * volume.f_frsize;
  *unit = volume.f_frsize != 0 ? volume.f_frsize : 1;
  return "";
}

PathLimits pathLimits() {
  PathLimits limits;
  limits.file = PATH_MAX - 1;
  limits.folder = PATH_MAX - 1;
  limits.name = NAME_MAX;
  limits.source = "PATH_MAX " + std::to_string(PATH_MAX) + ", NAME_MAX " + std::to_string(NAME_MAX);
  return limits;
}
