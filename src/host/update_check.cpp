// Whether an update can go through now, asked before anything changes: each
// check stands for a way the updater would otherwise stop half-way, or fail
// at its backup, after the host has already exited for it. The answer is for
// the user: one sentence saying what is wrong and what to do, with the
// technical detail in parentheses at its end.
#include <cstdint>
#include <exception>
#include <set>
#include <string>

#include "host/host_kit.h"
#include "os/error.h"
#include "os/files.h"
#include "os/paths.h"
#include "os/volume.h"
#include "release/release_check.h"
#include "treeops/treeops.h"
#include "treeops/update_journal.h"
#include "treeops/walks.h"

namespace fs = std::filesystem;

namespace {

std::string refusal(const std::string& sentence, const std::string& detail) {
  return sentence + " (" + detail + ")";
}

// The path itself when it exists, else the nearest folder above it that
// does; empty when none does.
fs::path nearestExisting(fs::path path) {
  while (!entryExists(path)) {
    if (!path.has_relative_path()) return fs::path();
    path = path.parent_path();
  }
  return path;
}

std::uint64_t roundedUp(std::uint64_t size, std::uint64_t unit) {
  return (size + unit - 1) / unit * unit;
}

// The folders of the installation that receive a staged file, each as the
// nearest one that exists (which receives the new folder), the installation
// itself among them.
std::set<fs::path> receivingFolders(const UpdateRequest& request) {
  std::set<fs::path> folders{request.installDir};
  listFilesToMove(request.stagingDir, [&](const fs::path& relative) {
    fs::path folder = request.installDir / relative.parent_path();
    // Below the installation, which is a folder: a file where the update
    // needs a folder is the swap's to report, as it is now.
    while (folder != request.installDir && !directoryExists(folder)) folder = folder.parent_path();
    folders.insert(folder);
  });
  return folders;
}

// Another run would refuse this one at its start, after the host exited.
std::string heldFault(const UpdateRequest& request) {
  for (const auto& [directory, label] :
       {std::pair<const fs::path*, const char*>{&request.installDir, "installation directory "},
        {&request.backupDir, "backup directory "}}) {
    if (directoryIsHeld(*directory)) {
      return refusal(
          "Another update of the application is still being installed; try again when it has "
          "finished.",
          std::string("a run of the updater holds the ") + label + toNarrowText(*directory));
    }
  }
  return "";
}

// A folder whose contents a storage service keeps online, or offline, would
// be fetched file by file during the update, or fail to be; it is looked at
// before anything below it is read, which would fetch it.
std::string placeholderFault(const UpdateRequest& request) {
  for (const fs::path& directory :
       {request.installDir, request.stagingDir, request.backupDir, request.runDir,
        request.logPath.parent_path(), request.markerPath.parent_path()}) {
    const fs::path existing = nearestExisting(directory);
    const std::string state = existing.empty() ? "" : placeholderState(existing);
    if (!state.empty()) {
      return refusal("The folder " + toNarrowText(existing) +
                         " is not fully on this computer: a storage service keeps it online or "
                         "offline; make it always available on this device, then try again.",
                     state);
    }
  }
  return "";
}

std::string updaterFault(const UpdateRequest& request) {
  try {
    InputFile updater(request.updaterPath);
  } catch (const std::exception& e) {
    return refusal(
        "The updater program is missing from the application, so the update cannot start; "
        "reinstalling the application brings it back.",
        e.what());
  }
  return "";
}

// An interrupted update beside the backup: the updater finishes it if it is
// this one, and refuses anything that would lose or mix a version.
std::string journalFault(const UpdateRequest& request) {
  const JournalDecision journal =
      decideOnJournal(request.backupDir, request.installDir, request.stagingDir);
  switch (journal.fault) {
    case JournalFault::kUnreadable:
      return refusal(
          "Whether an earlier update was interrupted cannot be found out, so the update cannot "
          "start now; try again later.",
          journal.reason);
    case JournalFault::kOtherUpdate:
      return refusal(
          "An earlier update of the application was interrupted and is not finished; it must be "
          "finished first, with the folders it was started with.",
          journal.reason);
    case JournalFault::kStagingChanged:
      return refusal(
          "The downloaded update is not the one an interrupted update was installing; put that "
          "download back as it was, so that the interrupted update can finish.",
          journal.reason);
    case JournalFault::kNone:
      break;
  }
  return "";
}

// The staged files, listed as the updater's swap lists them.
std::string stagingFault(const UpdateRequest& request) {
  const std::string staging = "staging directory " + toNarrowText(request.stagingDir);
  if (!entryExists(request.stagingDir)) {
    return refusal("The downloaded update is missing; download it again.",
                   staging + " does not exist");
  }
  std::size_t staged = 0;
  try {
    if (!directoryExists(request.stagingDir))
      throw SystemError("list", staging, kErrorPathNotFound);
    listFilesToMove(request.stagingDir, [&](const fs::path&) { ++staged; });
  } catch (const std::exception& e) {
    return refusal("The downloaded update cannot be read; download it again.", e.what());
  }
  if (staged == 0) {
    return refusal("The downloaded update is empty; download it again.",
                   staging + " holds no file");
  }
  return "";
}

// An installation that names its release key takes only the release signed
// with it, exactly, which a download cut short or a file changed since is
// not; a run that resumes an interrupted update was checked before it began.
std::string releaseFault(const UpdateRequest& request) {
  if (!installationHasReleaseKey(request.installDir) ||
      decideOnJournal(request.backupDir, request.installDir, request.stagingDir).action ==
          JournalAction::kResume) {
    return "";
  }
  if (const std::string fault = installedKeyFault(request.installDir); !fault.empty()) {
    return refusal(
        "The application's release key is damaged, so no update can be checked against it; "
        "reinstalling the application brings it back.",
        fault);
  }
  const std::string fault = verifyStagedRelease(request.installDir, request.stagingDir);
  return fault.empty() ? fault
                       : refusal(
                             "A file of the downloaded update is not as its publisher "
                             "released it, so it cannot be installed; download the update "
                             "again.",
                             fault);
}

// The backup copies everything in the installation, links followed.
std::string installationFault(const UpdateRequest& request) {
  if (!directoryExists(request.installDir)) {
    return refusal(
        "The application's installation folder cannot be found, so it cannot be updated.",
        "installation directory " + toNarrowText(request.installDir) + " is not a folder");
  }
  try {
    listTreeToCopy(request.installDir, [](const fs::path&, const fs::path&, bool) {});
  } catch (const std::exception& e) {
    return refusal(
        "The application's installation folder cannot be read completely, so no backup of it "
        "can be made; nothing was changed.",
        e.what());
  }
  return "";
}

// Every path the update or its backup makes: each staged file at its place
// in the installation and each folder the update makes there, the backup
// directory, its journal, and each file and folder of the backup.
std::string lengthFault(const UpdateRequest& request) {
  const PathLimits limits = pathLimits();
  std::string fault;
  const auto check = [&](const fs::path& path) {
    if (!fault.empty()) return;
    if (path.native().size() > limits.path) {
      fault = toNarrowText(path) + ": " + std::to_string(path.native().size()) +
              " characters, more than " + std::to_string(limits.path);
    }
    for (const fs::path& name : path.relative_path()) {
      if (fault.empty() && name.native().size() > limits.name) {
        fault = toNarrowText(path) + ": a name of " + std::to_string(name.native().size()) +
                " characters, more than " + std::to_string(limits.name);
      }
    }
  };
  listFilesToMove(request.stagingDir,
                  [&](const fs::path& relative) { check(request.installDir / relative); });
  check(request.backupDir);
  check(journalPathOf(request.backupDir));
  listTreeToCopy(request.installDir, [&](const fs::path&, const fs::path& relative, bool) {
    check(request.backupDir / relative);
  });
  if (fault.empty()) return "";
  return refusal(
      "A file of the update or of its backup would get a longer path than this computer "
      "allows; install the application, or keep its data, in a folder with a shorter path.",
      fault);
}

// The folders the update writes in: the installation and each of its
// folders that receives a file.
std::string installationWritableFault(const UpdateRequest& request) {
  for (const fs::path& folder : receivingFolders(request)) {
    const std::string error = probeWritable(folder);
    if (!error.empty()) {
      return refusal(
          "The application's folder cannot be changed with this account's rights; an "
          "administrator can install the update, or the application can be installed again for "
          "this user.",
          error);
    }
  }
  return "";
}

// The backup is written in its folder, the journal beside it.
std::string backupWritableFault(const UpdateRequest& request) {
  for (const fs::path& folder : {nearestExisting(request.backupDir),
                                 nearestExisting(journalPathOf(request.backupDir).parent_path())}) {
    const std::string error = folder.empty() ? "" : probeWritable(folder);
    if (!error.empty()) {
      return refusal(
          "The folder for the backup of the current version cannot be written with this "
          "account's rights; choose another data folder.",
          error);
    }
  }
  return "";
}

// Room on the backup's volume for a copy of the installation; the run
// removes an earlier backup first, and reuses its space.
std::string spaceFault(const UpdateRequest& request) {
  const fs::path volume = nearestExisting(request.backupDir);
  std::uint64_t freeBytes = 0;
  std::uint64_t unit = 1;
  const std::string error = volume.empty()
                                ? "no folder of " + toNarrowText(request.backupDir) + " exists"
                                : volumeSpace(volume, &freeBytes, &unit);
  if (!error.empty()) {
    return refusal("The free space for the backup of the current version cannot be found out.",
                   error);
  }
  std::uint64_t needed = 0;
  listTreeToCopy(request.installDir, [&](const fs::path& path, const fs::path&, bool directory) {
    if (!directory) needed += roundedUp(fileSize(path), unit);
  });
  std::uint64_t available = freeBytes;
  if (directoryExists(request.backupDir)) {
    listFilesToMove(request.backupDir, [&](const fs::path& relative) {
      available += roundedUp(fileSize(request.backupDir / relative), unit);
    });
  }
  if (needed <= available) return "";
  return refusal(
      "There is not enough free disk space for a backup of the current version; "
      "free about " +
          std::to_string((needed - available + (1 << 20) - 1) >> 20) + " MB on the drive of " +
          toNarrowText(volume) + ", then try again.",
      "needs " + std::to_string(needed) + " bytes, " + std::to_string(available) + " available");
}

}  // namespace

std::string checkUpdate(UpdateRequest* request) {
  const std::string fault = completeRequest(request);
  if (!fault.empty()) {
    return refusal("The application asked for the update in a way the updater cannot carry out.",
                   fault);
  }
  try {
    const UpdateRequest& r = *request;
    std::string refused = heldFault(r);
    if (refused.empty()) refused = placeholderFault(r);
    if (refused.empty()) refused = updaterFault(r);
    if (refused.empty()) refused = journalFault(r);
    if (refused.empty()) refused = stagingFault(r);
    if (refused.empty()) refused = releaseFault(r);
    if (refused.empty()) refused = installationFault(r);
    if (refused.empty()) refused = lengthFault(r);
    if (refused.empty()) refused = installationWritableFault(r);
    if (refused.empty()) refused = backupWritableFault(r);
    if (refused.empty()) refused = spaceFault(r);
    return refused;
  } catch (const std::exception& e) {
    return refusal("Whether the update can be installed cannot be found out.", e.what());
  }
}
