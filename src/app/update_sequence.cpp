#include "app/update_sequence.h"

#include <cstdint>
#include <cstdio>
#include <exception>
#include <filesystem>
#include <string>

#include "app/handoff.h"
#include "app/options.h"
#include "os/paths.h"
#include "os/process.h"
#include "release/release_check.h"
#include "report/marker_record.h"
#include "report/run_log.h"
#include "treeops/treeops.h"
#include "treeops/update_journal.h"

namespace fs = std::filesystem;

namespace {

constexpr std::uint32_t kWaitTimeoutMs = 30000;
constexpr std::uint32_t kSettleMs = 500;

// A staged file the undo found in neither the installation nor staging.
void logPassedOver(const std::string& file) {
  logLine("undo: staged file ", file,
          " is in neither the installation nor the staging directory; passed over");
}

// Refuses the run before the log is opened: the message goes to whoever
// started us, and no file or directory is touched.
int refuseArguments(const std::string& why) {
  std::fputs(("vexo-updater: " + why + "\n").c_str(), stderr);
  return kStatusBadArguments;
}

}  // namespace

int runUpdate(int argc, const char* const* argv) {
  // A path the system changed on the way in names another folder, and a
  // changed quotation mark shifts the pairs: nothing may happen then.
  std::string inexact;
  if (!argumentsAreExact(argc, argv, &inexact)) {
    return refuseArguments(inexact + "; nothing was done");
  }

  OptionMap options = parseOptions(argc, argv);
  const std::string installText = options["install-dir"];
  const std::string stagingText = options["staging-dir"];
  const std::string backupText = options["backup-dir"];
  const std::string logText = options["log"];
  const std::string markerText = options["applied-marker"];
  const std::string idempotencyKey = options["idempotency-key"];
  const std::string fromVersion = options["from-version"];
  const std::string toVersion = options["to-version"];

  std::uint32_t processId = 0;
  if (!convertProcessId(options["vexo-pid"], &processId)) {
    return refuseArguments(
        "--vexo-pid must be the host's process id, a decimal number from 0 to 4294967295 (for "
        "example --vexo-pid 4242); got \"" +
        options["vexo-pid"] + "\"");
  }
  // The paths are converted once, here; below they are the system's.
  fs::path installDir, stagingDir, backupDir, logPath, markerPath;
  try {
    installDir = toFsPath(installText);
    stagingDir = toFsPath(stagingText);
    backupDir = toFsPath(backupText);
    logPath = toFsPath(logText);
    markerPath = toFsPath(markerText);
  } catch (const std::exception& e) {
    return refuseArguments(std::string("a path cannot be read: ") + e.what() +
                           "; nothing was done");
  }

  redirectLog(logPath);
  logLine("starting vexoPid=", processId, " from=", fromVersion, " to=", toVersion);

  const auto finish = [&](const char* result, const std::string& errorMessage, int status) {
    writeAppliedMarker(markerPath,
                       MarkerRecord{fromVersion, toVersion, result, errorMessage, idempotencyKey});
    return status;
  };

  // What stops the run before a file moves is reported as a failed backup.
  const auto backupFailed = [&](const std::string& reason) {
    logLine("backup failed: ", reason);
    logLine("FAIL: backup");
    return finish("error", "backup failed", 2);
  };

  std::string waitNote;
  const bool ended = waitForProcessExit(processId, kWaitTimeoutMs, &waitNote);
  if (!waitNote.empty()) logLine(waitNote);
  if (!ended) {
    logLine("FAIL: VEXO.exe wait timeout");
    return finish("error", "VEXO.exe did not exit in 30s", 1);
  }
  pauseMilliseconds(kSettleMs);

  // A backup directory that would take a whole drive or the host's own
  // folder with it is refused before anything else looks at it.
  const std::string sweepingFault = sweepingBackupFault(backupDir);
  if (!sweepingFault.empty()) return backupFailed(sweepingFault);

  // One run at a time for an installation and for a backup: a second run
  // would replace the backup while the first moves files in, and the backup
  // is then the only complete copy of the old version.
  for (const auto& [directory, label] :
       {std::pair<const fs::path*, const char*>{&installDir, "installation directory"},
        {&backupDir, "backup directory"}}) {
    if (directory->empty()) continue;
    const std::string holdFault = holdDirectory(*directory, label);
    if (!holdFault.empty()) return backupFailed(holdFault);
  }

  // The journal tells whether an earlier run stopped while the backup was the
  // only complete copy of the old version. Replacing the backup then would
  // lose that copy, so that run is finished instead, if it is this one's: a
  // stopped undo is completed first, a stopped update keeps its backup and
  // moves the rest of its staged files in, and an update that had moved
  // everything in is over.
  for (const fs::path* path : {&logPath, &markerPath}) {
    if (isUpdateJournal(backupDir, *path)) {
      // Writing the journal would destroy that file, or the file the journal.
      return backupFailed(toNarrowText(*path) + " is the place of the update journal");
    }
  }
  const JournalDecision journal = decideOnJournal(backupDir, installDir, stagingDir);
  if (journal.action == JournalAction::kRefuse) return backupFailed(journal.reason);
  if (journal.action == JournalAction::kUndo) {
    const std::string rollbackError =
        rollBackUpdate(backupDir, installDir, stagingDir, logPassedOver);
    if (!rollbackError.empty()) {
      logLine("FAIL: rollback of an interrupted update (", rollbackError, ")");
      return finish("error", "rollback failed: " + rollbackError, 3);
    }
  }
  if (journal.action == JournalAction::kUndo || journal.action == JournalAction::kEnd) {
    endUpdateJournal(backupDir);
  }
  const bool resuming = journal.action == JournalAction::kResume;
  if (!resuming) {
    // An installation that names its release key takes only the release
    // signed with it, exactly; checked again here, after the host's own
    // check, since staging may have changed since. A resumed run checked
    // before its first move.
    if (installationHasReleaseKey(installDir)) {
      const std::string releaseFault = verifyStagedRelease(installDir, stagingDir);
      if (!releaseFault.empty()) {
        return backupFailed("the staged update is not the release signed for this installation: " +
                            releaseFault);
      }
    }
    const std::string backupError = backupInstallation(installDir, backupDir, stagingDir);
    if (!backupError.empty()) return backupFailed(backupError);
    const std::string journalError =
        beginUpdateJournal(backupDir, installDir, stagingDir, idempotencyKey);
    if (!journalError.empty()) {
      // Without the journal a run stopped in the middle of the swap could not
      // be finished without losing the old version: move nothing.
      return backupFailed("cannot record the update in progress: " + journalError);
    }
  }

  // Once the outcome is decided, the marker (written durably) records it
  // before the journal goes: after a power cut the host finds one or the
  // other, never neither.
  const std::string swapError = moveStagedFilesIn(backupDir, installDir, stagingDir, resuming);
  if (!swapError.empty()) {
    logLine("FAIL: swap (", swapError, "), rolling back");
    const std::string rollbackError =
        rollBackUpdate(backupDir, installDir, stagingDir, logPassedOver);
    // Stopped part way: the journal stays, so that the next run finishes it.
    if (!rollbackError.empty()) return finish("error", "rollback failed: " + rollbackError, 3);
    finish("rollback", swapError, 0);
    endUpdateJournal(backupDir);
    return 0;
  }
  finish("success", "", 0);
  endUpdateJournal(backupDir);

  removeStaging(stagingDir);
  relaunchApplication(installDir);
  logLine("success");
  return 0;
}
