#include "treeops/treeops.h"

#include <exception>
#include <filesystem>

#include "report/run_log.h"
#include "treeops/treeops_os.h"

namespace fs = std::filesystem;

namespace {

constexpr std::uint32_t kWaitObject0 = 0;
constexpr std::uint32_t kWaitTimeout = 258;

}  // namespace

bool waitForProcessExit(std::uint32_t processId, std::uint32_t timeoutMs) {
  ProcessWait wait;
  std::uint32_t errorCode = 0;
  if (!openProcessForWait(processId, &wait, &errorCode)) {
    logLine("OpenProcess(SYNCHRONIZE, ", processId, ") returned NULL", " err=", errorCode,
            " \xE2\x80\x94 assuming process already exited");
    return true;
  }
  const std::uint32_t waitResult = waitOnProcess(wait, timeoutMs);
  closeProcessWait(wait);
  if (waitResult == kWaitObject0) return true;
  if (waitResult == kWaitTimeout) {
    logLine("WaitForSingleObject timed out after ", timeoutMs, "ms");
  } else {
    logLine("WaitForSingleObject returned ", waitResult);
  }
  return false;
}

bool backupInstallation(const std::string& installDir, const std::string& backupDir) {
  (void)installDir;
  (void)backupDir;
  logLine("backup failed: not implemented");
  return false;
}

std::string swapTree(const std::string& sourceRoot, const std::string& destRoot) {
  (void)sourceRoot;
  (void)destRoot;
  return "swap exception: not implemented";
}
