#include <fcntl.h>
#include <linux/fs.h>
#include <signal.h>
#include <spawn.h>
#include <sys/ioctl.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <set>
#include <stdexcept>

#include "support/test_support.h"

extern char** environ;

namespace {

// The files setImmutable protected and has not released yet.
std::set<std::string>& immutableFiles() {
  static std::set<std::string> files;
  return files;
}

bool setImmutableFlag(const std::string& path, bool on) {
  const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  int flags = 0;
  bool done = ioctl(fd, FS_IOC_GETFLAGS, &flags) == 0;
  if (done) {
    flags = on ? flags | FS_IMMUTABLE_FL : flags & ~FS_IMMUTABLE_FL;
    done = ioctl(fd, FS_IOC_SETFLAGS, &flags) == 0;
  }
  close(fd);
  return done;
}

}  // namespace

void clearProtection(const std::string& root) {
  // Tests make files immutable to produce real failures; undo it so the
  // directory can go.
  std::set<std::string>& files = immutableFiles();
  for (auto file = files.lower_bound(root); file != files.end() && file->rfind(root, 0) == 0;) {
    setImmutableFlag(*file, false);
    file = files.erase(file);
  }
}

// Without the immutable flags, nothing here refuses its removal.
void removeWhatIsLeft(const std::string&) {}

Mount::Mount(const std::string& folder, const std::string& source, VolumeKind kind)
    : folder_(folder) {
  makeDirectories(folder);
  if (kind == VolumeKind::kNoUnnamedFiles) {
    struct stat above {};
    struct stat at {};
    server_ = startChild(
        {"/usr/bin/python3", VEXO_TESTS_SOURCE_DIR "/support/passthrough_fs.py", source, folder});
    for (int waited = 0; waited < 1000 && !mounted_; waited += 10) {
      mounted_ = stat((folder + "/..").c_str(), &above) == 0 && stat(folder.c_str(), &at) == 0 &&
                 at.st_dev != above.st_dev;
      if (!mounted_) sleepMs(10);
    }
    return;
  }
  if (kind == VolumeKind::kMemory || kind == VolumeKind::kBind) {
    mounted_ = kind == VolumeKind::kMemory
                   ? mount("tmpfs", folder.c_str(), "tmpfs", 0, ("size=" + source).c_str()) == 0
                   : mount(source.c_str(), folder.c_str(), nullptr, MS_BIND, nullptr) == 0;
    return;
  }
  std::string script;
  for (const auto& command : loopMountCommands(kind, source, folder + ".img", folder)) {
    for (const std::string& argument : command) script += "'" + argument + "' ";
    script += ">/dev/null 2>&1 && ";
  }
  mounted_ = std::system((script + "true").c_str()) == 0;
}

bool Mount::resize(const std::string& size) {
  return mounted_ &&
         mount("tmpfs", folder_.c_str(), "tmpfs", MS_REMOUNT, ("size=" + size).c_str()) == 0;
}

Mount::~Mount() {
  if (mounted_) umount2(folder_.c_str(), MNT_DETACH);
  if (server_.handle != 0) {
    killChild(server_);
    waitChild(server_);
  }
}

bool setImmutable(const std::string& path, bool on) {
  if (!setImmutableFlag(path, on)) return false;
  if (on) {
    immutableFiles().insert(path);
  } else {
    immutableFiles().erase(path);
  }
  return true;
}

bool makeDirectoryLink(const std::string& target, const std::string& link) {
  std::error_code error;
  std::filesystem::create_directory_symlink(target, link, error);
  return !error;
}

bool removeDirectoryLink(const std::string& link) { return unlink(link.c_str()) == 0; }

std::string binaryDir() {
  return std::filesystem::read_symlink("/proc/self/exe").parent_path().string();
}

namespace {

// Forks and executes argv; errorPath, when not empty, receives the child's
// standard error.
Child forkChild(const std::vector<std::string>& argv, const std::string& errorPath,
                const std::string& workDir) {
  std::vector<char*> args;
  for (const std::string& arg : argv) args.push_back(const_cast<char*>(arg.c_str()));
  args.push_back(nullptr);
  const pid_t pid = fork();
  if (pid < 0) throw std::runtime_error("fork failed");
  if (pid == 0) {
    if (!errorPath.empty()) {
      const int errorFd = open(errorPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
      if (errorFd < 0 || dup2(errorFd, STDERR_FILENO) < 0) _exit(127);
      close(errorFd);
    }
    if (!workDir.empty() && chdir(workDir.c_str()) != 0) _exit(127);
    execve(args[0], args.data(), environ);
    _exit(127);
  }
  Child child;
  child.handle = pid;
  child.pid = static_cast<std::uint32_t>(pid);
  return child;
}

}  // namespace

Child startChild(const std::vector<std::string>& argv, const std::string& workDir) {
  return forkChild(argv, "", workDir);
}

Child startChildWithStderr(const std::vector<std::string>& argv, const std::string& errorPath,
                           const std::string& workDir) {
  return forkChild(argv, errorPath, workDir);
}

int waitChild(Child& child) {
  int status = 0;
  if (waitpid(static_cast<pid_t>(child.handle), &status, 0) < 0) return -1;
  child.handle = 0;
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

void killChild(Child& child) {
  if (child.handle > 0) kill(static_cast<pid_t>(child.handle), SIGKILL);
}
