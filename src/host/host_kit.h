#ifndef VEXO_HOST_HOST_KIT_H_
#define VEXO_HOST_HOST_KIT_H_

// The host library in C++: what vexo_host.h offers in C, and the pieces the
// tests check on their own. Texts are byte strings, in the ANSI code page on
// Windows; paths are the system's, converted once where the C call hands
// them over.

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

// One update to start; empty optional members take their defaults (see
// vexo_update_request in vexo_host.h).
struct UpdateRequest {
  std::filesystem::path installDir, stagingDir, dataDir;
  std::string idempotencyKey, fromVersion, toVersion;
  std::filesystem::path updaterPath, runDir, backupDir, logPath, markerPath;
  std::uint32_t processId = 0;
};

// The request with every path made absolute against the working directory
// and every default filled in. Returns an empty string, or what makes the
// request unusable (a required member missing, a path that cannot be made
// absolute, the run directory, the log or the marker inside the
// installation, the staging directory or the backup directory).
std::string completeRequest(UpdateRequest* request);

// Completes the request and answers, without changing anything, whether the
// update can go through now. The checks, in this order, the first that fails
// giving the answer: the request is sound; no run of the updater holds the
// installation or the backup directory; no folder of the request is kept
// online or offline by a storage service; the updater can be read; no
// interrupted update stands in the way; the staging directory exists, can be
// read and holds a file; it is the release signed with the installation's
// release key, if it has one; the installation is a folder and can be read
// completely; no path the update or its backup makes is longer than this
// machine allows; the installation (each folder that receives a file) can
// be written to; the folders of the backup and of its journal can be
// written to; the backup's volume has room for a copy of the installation.
// Returns an empty string, or one sentence for the user with the technical
// detail in parentheses at its end.
std::string checkUpdate(UpdateRequest* request);

// The updater's command line for a completed request: the copy in the run
// directory, then the nine options, --vexo-pid last.
std::vector<std::string> updaterCommand(const UpdateRequest& request);

// Checks the request (checkUpdate), copies the updater into the run
// directory and starts the copy detached. Returns an empty string, or why
// nothing was started, as one sentence for the user with the detail in
// parentheses.
std::string startUpdate(UpdateRequest request);

// In the order of vexo_host.h's VEXO_NO_OUTCOME to VEXO_ERROR.
enum class OutcomeResult { kNone, kSuccess, kRollback, kError };

struct Outcome {
  OutcomeResult result = OutcomeResult::kNone;
  bool installationMixed = false;
  long long appliedAt = 0;
  std::string text;  // errorMessage, or why there is no outcome
  std::string fromVersion;
  std::string toVersion;
};

// The outcome of the request with this key, from the marker's bytes; the path
// only names the marker in the reasons.
Outcome outcomeOf(const std::filesystem::path& markerPath, const std::string& bytes,
                  const std::string& idempotencyKey);

// Reads the marker file and returns outcomeOf its bytes; a missing file is
// kNone.
Outcome readOutcome(const std::filesystem::path& markerPath, const std::string& idempotencyKey);

// The outcome of the request: readOutcome of its marker (marker_path, or
// its default in the data folder) with its key; for kError also
// installationMixed while the journal of an interrupted update that is not
// over lies beside its backup directory. A request without a key, or
// without the data folder a missing marker or backup path takes its default
// from, is kNone.
Outcome readUpdateOutcome(UpdateRequest request);

#endif  // VEXO_HOST_HOST_KIT_H_
