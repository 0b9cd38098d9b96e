#include "host/host_kit.h"

#include <exception>
#include <utility>

#include "os/files.h"
#include "os/paths.h"
#include "os/process.h"
#include "report/marker_record.h"
#include "treeops/places.h"
#include "treeops/update_journal.h"

namespace fs = std::filesystem;

namespace {

#ifdef _WIN32
const char kUpdaterName[] = "vexo-updater.exe";
#else
const char kUpdaterName[] = "vexo-updater";
#endif

// A marker the updater writes holds a few hundred bytes and, at most, texts
// with a few paths in them; anything near this size is not one.
constexpr std::size_t kLargestMarker = 1 << 20;

// Makes every path of the request absolute and fills in the defaults of the
// missing members whose data folder or installation is given.
void fillDefaults(UpdateRequest* request) {
  // The updater runs in the run directory, where a relative path would
  // name another place than the host meant; so every path is made absolute
  // against the host's working directory before anything is checked.
  for (fs::path* path :
       {&request->installDir, &request->stagingDir, &request->dataDir, &request->updaterPath,
        &request->runDir, &request->backupDir, &request->logPath, &request->markerPath}) {
    if (!path->empty()) *path = absolutePath(*path);
  }
  const auto fill = [](fs::path* member, const fs::path& folder, const char* name) {
    if (member->empty() && !folder.empty()) *member = name[0] != '\0' ? folder / name : folder;
  };
  fill(&request->updaterPath, request->installDir, kUpdaterName);
  fill(&request->runDir, request->dataDir, "");
  fill(&request->backupDir, request->dataDir, "backup");
  fill(&request->logPath, request->dataDir, "updater.log");
  fill(&request->markerPath, request->dataDir, "applied-marker.json");
  if (request->processId == 0) request->processId = currentProcessId();
}

}  // namespace

std::string completeRequest(UpdateRequest* request) {
  const std::pair<const char*, bool> required[] = {
      {"install_dir", request->installDir.empty()},
      {"staging_dir", request->stagingDir.empty()},
      {"data_dir", request->dataDir.empty()},
      {"idempotency_key", request->idempotencyKey.empty()}};
  for (const auto& [name, missing] : required) {
    if (missing) return std::string(name) + " is missing";
  }
  try {
    fillDefaults(request);
    // The updater replaces the installation's files and deletes the staging
    // directory and the backup's contents. Its own executable there could
    // not be replaced while it runs (so every update that carries a new
    // updater, and every rollback, would stop at it on Windows), and a log
    // or marker there would be overwritten or lost with the tree.
    using Place = std::pair<const char*, const fs::path*>;
    const Place kept[] = {{"run directory", &request->runDir},
                          {"log", &request->logPath},
                          {"marker", &request->markerPath}};
    const Place replaced[] = {{"installation", &request->installDir},
                              {"staging directory", &request->stagingDir},
                              {"backup directory", &request->backupDir}};
    for (const auto& [what, path] : kept) {
      for (const auto& [tree, folder] : replaced) {
        if (liesWithin(*path, *folder)) {
          return std::string("the ") + what + " " + toNarrowText(*path) + " lies inside the " +
                 tree + " " + toNarrowText(*folder) + "; it must lie outside";
        }
      }
    }
  } catch (const std::exception& e) {
    return e.what();
  }
  return "";
}

std::vector<std::string> updaterCommand(const UpdateRequest& request) {
  return {toNarrow(request.runDir / kUpdaterName),
          "--install-dir",
          toNarrow(request.installDir),
          "--staging-dir",
          toNarrow(request.stagingDir),
          "--backup-dir",
          toNarrow(request.backupDir),
          "--log",
          toNarrow(request.logPath),
          "--applied-marker",
          toNarrow(request.markerPath),
          "--idempotency-key",
          request.idempotencyKey,
          "--from-version",
          request.fromVersion,
          "--to-version",
          request.toVersion,
          "--vexo-pid",
          std::to_string(request.processId)};
}

std::string startUpdate(UpdateRequest request) {
  std::string error = checkUpdate(&request);
  if (!error.empty()) return error;
  const auto notStarted = [](const std::string& detail) {
    return "The updater could not be started; nothing was changed. (" + detail + ")";
  };
  try {
    // The updater creates neither the log's nor the marker's folder, and
    // without the marker the outcome would be lost.
    for (const fs::path& folder :
         {request.runDir, request.logPath.parent_path(), request.markerPath.parent_path()}) {
      createDirectories(folder);
    }
    const std::vector<std::string> command = updaterCommand(request);
    const fs::path copy = request.runDir / kUpdaterName;
    // A host may name the copy itself as the updater; it is then run as it is.
    if (!samePlace(request.updaterPath, copy)) copyProgram(request.updaterPath, copy);
    error = startDetached(copy, {command.begin() + 1, command.end()}, request.runDir);
  } catch (const std::exception& e) {
    error = e.what();
  }
  return error.empty() ? "" : notStarted(error);
}

Outcome outcomeOf(const fs::path& markerPath, const std::string& bytes,
                  const std::string& idempotencyKey) {
  Outcome outcome;
  const std::string none = "no marker for this request: ";
  const std::string marker = toNarrowText(markerPath);
  MarkerRecord record;
  long long appliedAt = 0;
  if (bytes.empty()) {
    // The updater truncates the file before it writes; a full disk leaves it so.
    outcome.text = none + marker + " is empty";
  } else if (!parseAppliedMarker(bytes, &record, &appliedAt)) {
    outcome.text = none + marker + " is cut short or not written by the updater";
  } else if (record.idempotencyKey != idempotencyKey) {
    outcome.text = none + marker + " is for the request with key \"" + record.idempotencyKey + "\"";
  } else {
    outcome.result = record.result == "success"    ? OutcomeResult::kSuccess
                     : record.result == "rollback" ? OutcomeResult::kRollback
                                                   : OutcomeResult::kError;
    outcome.installationMixed = record.errorMessage.rfind("rollback failed: ", 0) == 0;
    outcome.appliedAt = appliedAt;
    outcome.text = record.errorMessage;
    outcome.fromVersion = record.fromVersion;
    outcome.toVersion = record.toVersion;
  }
  return outcome;
}

Outcome readOutcome(const fs::path& markerPath, const std::string& idempotencyKey) {
  std::string bytes;
  try {
    InputFile marker(markerPath);
    char buffer[4096];
    for (std::size_t got;
         bytes.size() <= kLargestMarker && (got = marker.read(buffer, sizeof buffer)) > 0;) {
      bytes.append(buffer, got);
    }
  } catch (const std::exception& e) {
    Outcome outcome;
    outcome.text = std::string("no marker for this request: cannot read ") +
                   toNarrowText(markerPath) + ": " + e.what();
    return outcome;
  }
  return outcomeOf(markerPath, bytes, idempotencyKey);
}

Outcome readUpdateOutcome(UpdateRequest request) {
  Outcome outcome;
  const auto none = [&](const std::string& why) {
    outcome.text = "no marker for this request: " + why;
    return outcome;
  };
  if (request.idempotencyKey.empty()) return none("idempotency_key is missing");
  try {
    fillDefaults(&request);
  } catch (const std::exception& e) {
    return none(e.what());
  }
  if (request.markerPath.empty() || request.backupDir.empty()) return none("data_dir is missing");
  outcome = readOutcome(request.markerPath, request.idempotencyKey);
  // The updater refuses to replace the backup while an interrupted update's
  // journal lies beside it (its marker then says only "backup failed"): that
  // update has not finished, and the installation may hold both versions.
  // Only while that update is not over: a journal whose files are all in
  // (a power cut after the marker) leaves one whole version behind.
  if (outcome.result == OutcomeResult::kError) {
    const UpdateJournal journal = readUpdateJournal(request.backupDir);
    if (journal.state == JournalState::kMovingIn || journal.state == JournalState::kRollingBack) {
      outcome.installationMixed =
          decideOnJournal(request.backupDir, journal.installDir, journal.stagingDir).mixed;
    }
  }
  return outcome;
}
