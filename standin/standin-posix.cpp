#include <unistd.h>

#include <climits>

#include "standin_os.h"

const char kSeparator = '/';

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
