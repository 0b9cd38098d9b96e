#include "report/run_log.h"

#include "os/process.h"

void redirectLog(const std::filesystem::path& logPath) {
  if (!logPath.empty()) appendStandardStreamsTo(logPath);
}
