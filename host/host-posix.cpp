#include <fcntl.h>
#include <spawn.h>
#include <unistd.h>

#include <climits>

#include "host_os.h"

extern char** environ;

const char kHostSeparator = '/';
const char kUpdaterFileName[] = "vexo-updater";

std::string ownExecutablePath() {
  char buffer[PATH_MAX];
  const ssize_t length = readlink("/proc/self/exe", buffer, sizeof buffer);
  return length > 0 ? std::string(buffer, static_cast<std::size_t>(length)) : std::string();
}

std::uint32_t ownProcessId() { return static_cast<std::uint32_t>(getpid()); }

std::string currentDirectory() {
  char buffer[PATH_MAX];
  return getcwd(buffer, sizeof buffer) != nullptr ? std::string(buffer) : std::string();
}

bool startDetached(const std::vector<std::string>& argv) {
  std::vector<char*> args;
  for (const std::string& arg : argv) args.push_back(const_cast<char*>(arg.c_str()));
  args.push_back(nullptr);

  // A session of its own, so that closing the terminal we were started from
  // does not stop the updater half-way; no input. Its output streams are ours
  // until it reopens them on its log, so a refused --vexo-pid still shows.
  posix_spawnattr_t attributes;
  posix_spawnattr_init(&attributes);
  posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSID);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);

  pid_t pid = 0;
  const int error = posix_spawn(&pid, args[0], &actions, &attributes, args.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  posix_spawnattr_destroy(&attributes);
  // We exit right after this; init adopts the updater and reaps it.
  return error == 0;
}
