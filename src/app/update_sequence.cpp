#include "app/update_sequence.h"

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "app/handoff.h"
#include "app/options.h"
#include "report/marker_record.h"
#include "report/run_log.h"
#include "treeops/treeops.h"

namespace {

constexpr std::uint32_t kWaitTimeoutMs = 30000;
constexpr std::uint32_t kSettleMs = 500;

}  // namespace

int runUpdate(int argc, const char* const* argv) {
  // A path the system changed on the way in names another folder, and a
  // changed quotation mark shifts the pairs: nothing may happen then.
  std::string inexact;
  if (!argumentsAreExact(argc, argv, &inexact)) {
    std::fputs(("vexo-updater: " + inexact + "; nothing was done\n").c_str(), stderr);
    return kStatusBadArguments;
  }

  OptionMap options = parseOptions(argc, argv);
  const std::string installDir = options["install-dir"];
  const std::string stagingDir = options["staging-dir"];
  const std::string backupDir = options["backup-dir"];
  const std::string logPath = options["log"];
  const std::string markerPath = options["applied-marker"];
  const std::string idempotencyKey = options["idempotency-key"];
  const std::string fromVersion = options["from-version"];
  const std::string toVersion = options["to-version"];

  std::uint32_t processId = 0;
  if (!convertProcessId(options["vexo-pid"], &processId)) {
    // Before the log is opened: the message goes to whoever started us, and
    // no file or directory is touched.
    const std::string message =
        "vexo-updater: --vexo-pid must be the host's process id, a decimal number "
        "from 0 to 4294967295 (for example --vexo-pid 4242); got \"" +
        options["vexo-pid"] + "\"\n";
    std::fputs(message.c_str(), stderr);
    return kStatusBadArguments;
  }

  redirectLog(logPath);
  logLine("starting vexoPid=", processId, " from=", fromVersion, " to=", toVersion);

  const auto finish = [&](const char* result, const std::string& errorMessage, int status) {
    writeAppliedMarker(markerPath,
                       MarkerRecord{fromVersion, toVersion, result, errorMessage, idempotencyKey});
    return status;
  };

  if (!waitForProcessExit(processId, kWaitTimeoutMs)) {
    logLine("FAIL: VEXO.exe wait timeout");
    return finish("error", "VEXO.exe did not exit in 30s", 1);
  }
  pauseMilliseconds(kSettleMs);

  // The journal tells whether an earlier run stopped while the backup was the
  // only complete copy of the old version. Replacing the backup then would
  // lose that copy, so the earlier run is finished instead: a stopped
  // rollback is completed first, a stopped update keeps its backup and its
  // swap moves the rest of the staged files in.
  const UpdateJournal journal = readUpdateJournal(backupDir);
  if (journal == UpdateJournal::kRollingBack) {
    const std::string rollbackError = swapTree(backupDir, installDir);
    if (!rollbackError.empty()) {
      logLine("FAIL: rollback of an interrupted update (", rollbackError, ")");
      return finish("error", "rollback failed: " + rollbackError, 3);
    }
    endUpdateJournal(backupDir);
  }
  if (journal != UpdateJournal::kSwapping) {
    for (const std::string* path : {&logPath, &markerPath}) {
      if (isUpdateJournal(backupDir, *path)) {
        // Writing the journal would destroy that file, or the file the journal.
        logLine("backup failed: ", *path, " is the place of the update journal");
        logLine("FAIL: backup");
        return finish("error", "backup failed", 2);
      }
    }
    if (!backupInstallation(installDir, backupDir, stagingDir)) {
      logLine("FAIL: backup");
      return finish("error", "backup failed", 2);
    }
    const std::string journalError =
        writeUpdateJournal(backupDir, UpdateJournal::kSwapping, idempotencyKey);
    if (!journalError.empty()) {
      // Without the journal a run stopped in the middle of the swap could not
      // be finished without losing the old version: move nothing.
      logLine("backup failed: cannot record the update in progress: ", journalError);
      logLine("FAIL: backup");
      return finish("error", "backup failed", 2);
    }
  }

  std::vector<MovedFile> moved;
  const std::string swapError = swapTree(stagingDir, installDir, &moved);
  if (!swapError.empty()) {
    logLine("FAIL: swap (", swapError, "), rolling back");
    // The staged files go back first: the rollback would otherwise overwrite
    // every one of them that replaced an installed file. If one cannot go
    // back, rolling back would destroy it; the backup is still complete and
    // the journal still says so, so the next run can finish the update.
    const std::string undoError = undoMoves(moved);
    if (!undoError.empty()) return finish("error", "rollback failed: " + undoError, 3);
    // From here the backup's files move out: a run stopped now must finish
    // the rollback rather than the update. Should this write fail, rolling
    // back is still the best this run can do.
    writeUpdateJournal(backupDir, UpdateJournal::kRollingBack, idempotencyKey);
    const std::string rollbackError = swapTree(backupDir, installDir);
    if (!rollbackError.empty()) return finish("error", "rollback failed: " + rollbackError, 3);
    endUpdateJournal(backupDir);
    return finish("rollback", swapError, 0);
  }
  endUpdateJournal(backupDir);

  removeStaging(stagingDir);
  finish("success", "", 0);
  relaunchApplication(installDir);
  logLine("success");
  return 0;
}
