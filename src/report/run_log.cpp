#include "report/run_log.h"

#include <cstdio>

namespace {

#ifdef _WIN32
const char kNullDevice[] = "NUL";
#else
const char kNullDevice[] = "/dev/null";
#endif

void reopenForAppend(const std::string& path, std::FILE* stream) {
  // A failed reopen closes the stream, and writing to a closed stream is
  // undefined; the null device keeps it valid while the lines are lost.
  if (std::freopen(path.c_str(), "a", stream) == nullptr) {
    std::freopen(kNullDevice, "a", stream);
  }
}

}  // namespace

void redirectLog(const std::string& logPath) {
  if (logPath.empty()) return;
  std::fflush(stdout);
  std::fflush(stderr);
  reopenForAppend(logPath, stdout);
  reopenForAppend(logPath, stderr);
  std::setvbuf(stderr, nullptr, _IONBF, 0);
}
