#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstddef>
#include <cstring>

#include "os/error.h"
#include "os/hold.h"

bool takeHold(const std::string& name, bool keep, std::uint32_t* errorCode) {
  // A socket bound to a name in the abstract namespace: the name is the
  // kernel's alone, no file is made, and it is freed with the process.
  const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) {
    *errorCode = systemErrorOf(errno);
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
    *errorCode = err == EADDRINUSE ? 0 : systemErrorOf(err);
    return false;
  }
  // Kept, the socket is left open on purpose until the process ends.
  if (!keep) close(fd);
  return true;
}
