#include <fcntl.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <cerrno>
#include <climits>

#include "os/error.h"
#include "os/volume.h"

namespace fs = std::filesystem;

std::string probeWritable(const fs::path& folder) {
  // An unnamed file: nothing is left behind, even if this process dies now.
  const int fd = open(folder.c_str(), O_TMPFILE | O_WRONLY | O_CLOEXEC, 0600);
  if (fd >= 0) {
    close(fd);
    return "";
  }
  // File systems without unnamed files refuse the flag itself.
  if (errno != EOPNOTSUPP && errno != EISDIR) {
    return failureText("open", folder.native(), systemErrorOf(errno));
  }
  std::string name = (folder / ".vexo-check-XXXXXX").native();
  const int named = mkostemp(&name[0], O_CLOEXEC);
  if (named < 0) return failureText("open", name, systemErrorOf(errno));
  close(named);
  unlink(name.c_str());
  return "";
}

std::string volumeSpace(const fs::path& folder, std::uint64_t* freeBytes, std::uint64_t* unit) {
  struct statvfs volume {};
  if (statvfs(folder.c_str(), &volume) != 0) {
    return failureText("statvfs", folder.native(), systemErrorOf(errno));
  }
  // f_bavail: what an unprivileged process may use, the reserve left out.
  *freeBytes = static_cast<std::uint64_t>(volume.f_bavail) * volume.f_frsize;
  *unit = volume.f_frsize != 0 ? volume.f_frsize : 1;
  return "";
}

std::string placeholderState(const fs::path&) { return ""; }

PathLimits pathLimits() { return PathLimits{PATH_MAX - 1, NAME_MAX}; }
