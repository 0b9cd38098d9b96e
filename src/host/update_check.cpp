// Whether an update can go through now, asked before anything changes: each
// check stands for a way the updater would otherwise stop half-way, or fail
// at its backup, after the host has already exited for it. The answer is for
// the user: one sentence saying what is wrong and what to do, with the
// technical detail in parentheses at its end.
#include <cstdint>
#include <exception>
#include <filesystem>
#include <fstream>
#include <set>
#include <string>
#include <system_error>

#include "host/host_kit.h"
#include "host/host_kit_os.h"
#include "treeops/treeops.h"
#include "treeops/treeops_os.h"
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

// The first path longer than the limits allow, with how long it is; empty
// when every path fits.
struct LengthCheck {
  PathLimits limits = pathLimits();
  std::string fault;

  void check(const fs::path& path, bool folder) {
    if (!fault.empty()) return;
    const std::size_t limit = folder ? limits.folder : limits.file;
    const std::size_t length = path.native().size();
    if (length > limit) {
      fault = toNarrow(path) + ": " + std::to_string(length) + " characters, more than " +
              std::to_string(limit) + " for a " + (folder ? "folder" : "file") + " (" +
              limits.source + ")";
      return;
    }
    for (const fs::path& name : path.relative_path()) {
      if (name.native().size() > limits.name) {
        fault = toNarrow(path) + ": a name of " + std::to_string(name.native().size()) +
                " characters, more than " + std::to_string(limits.name);
        return;
      }
    }
  }
};

std::string megabytes(std::uint64_t bytes) {
  return std::to_string((bytes + (1 << 20) - 1) >> 20) + " MB";
}

std::uint64_t roundedUp(std::uint64_t size, std::uint64_t unit) {
  return (size + unit - 1) / unit * unit;
}

// The bytes the files below the backup directory hold, which the run
// removes before it copies; 0 when it cannot tell.
std::uint64_t sizeOfBackup(const fs::path& backup, std::uint64_t unit) {
  std::uint64_t total = 0;
  try {
    if (!fs::is_directory(backup)) return 0;
    listFilesToMove(backup, [&](const fs::path& relative) {
      std::error_code ec;
      const std::uintmax_t size = fs::file_size(backup / relative, ec);
      if (!ec) total += roundedUp(size, unit);
    });
  } catch (const std::exception&) {
    return 0;
  }
  return total;
}

std::string checkCompleted(const UpdateRequest& request) {
  // Another run would refuse this one at its start, after the host exited.
  const char* held = directoryIsHeld(request.installDir)  ? "installation directory "
                     : directoryIsHeld(request.backupDir) ? "backup directory "
                                                          : nullptr;
  if (held != nullptr) {
    return refusal(
        "Another update of the application is still being installed; try again when it has "
        "finished.",
        std::string("a run of the updater holds the ") + held +
            (held[0] == 'i' ? request.installDir : request.backupDir));
  }

  // A folder whose contents a storage service keeps online, or offline,
  // would be fetched file by file during the update, or fail to be; it is
  // looked at before anything below it is read, which would fetch it.
  const fs::path install = toFsPath(request.installDir);
  const fs::path staging = toFsPath(request.stagingDir);
  const fs::path backup = toFsPath(request.backupDir);
  for (const std::string& directory :
       {request.installDir, request.stagingDir, request.backupDir, request.runDir,
        parentFolder(request.logPath), parentFolder(request.markerPath)}) {
    const fs::path existing = nearestExisting(toFsPath(directory));
    if (existing.empty()) continue;
    const std::string state = placeholderState(toNarrow(existing));
    if (!state.empty()) {
      return refusal("The folder " + toNarrow(existing) +
                         " is not fully on this computer: a storage service keeps it online or "
                         "offline; make it always available on this device, then try again.",
                     state);
    }
  }

  if (!std::ifstream(toFsPath(request.updaterPath), std::ios::binary)) {
    return refusal(
        "The updater program is missing from the application, so the update cannot start; "
        "reinstalling the application brings it back.",
        "cannot read " + request.updaterPath);
  }

  // An interrupted update beside the backup: the updater finishes it if it
  // is this one, and refuses anything that would lose or mix a version.
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

  // The staged files, as the updater will move them, and the folders of
  // the installation that will receive them.
  std::error_code ec;
  const fs::file_status stagingStatus = fs::status(staging, ec);
  if (stagingStatus.type() == fs::file_type::not_found) {
    return refusal("The downloaded update is missing; download it again.",
                   "staging directory " + request.stagingDir + " does not exist");
  }
  LengthCheck lengths;
  std::set<fs::path> receiving;
  std::size_t staged = 0;
  try {
    if (!fs::is_directory(stagingStatus)) {
      throw fs::filesystem_error("directory_iterator", staging,
                                 std::make_error_code(std::errc::not_a_directory));
    }
    listFilesToMove(staging, [&](const fs::path& relative) {
      ++staged;
      lengths.check(install / relative, /*folder=*/false);
      receiving.insert(relative.parent_path());
    });
  } catch (const std::exception& e) {
    return refusal("The downloaded update cannot be read; download it again.", e.what());
  }
  if (staged == 0) {
    return refusal("The downloaded update is empty; download it again.",
                   "staging directory " + request.stagingDir + " holds no file");
  }
  // Folders the update creates in the installation; those there already
  // were made once and hold their files whatever their length.
  for (const fs::path& folder : receiving) {
    fs::path made;
    for (const fs::path& name : folder) {
      made /= name;
      if (!entryExists(install / made)) lengths.check(install / made, /*folder=*/true);
    }
  }

  // The backup: a copy of everything in the installation, links followed.
  if (!fs::is_directory(install, ec)) {
    return refusal(
        "The application's installation folder cannot be found, so it cannot be "
        "updated.",
        "installation directory " + request.installDir + " is not a folder");
  }
  const fs::path backupVolume = nearestExisting(backup);
  std::uint64_t freeBytes = 0;
  std::uint64_t unit = 1;
  const std::string spaceError = backupVolume.empty()
                                     ? std::string("no folder of " + request.backupDir + " exists")
                                     : volumeSpace(toNarrow(backupVolume), &freeBytes, &unit);
  std::uint64_t needed = 0;
  lengths.check(backup, /*folder=*/true);
  const fs::path journalPath = journalPathOf(request.backupDir);
  lengths.check(journalPath, /*folder=*/false);
  try {
    listTreeToCopy(install, [&](const fs::path& path, const fs::path& relative, bool directory) {
      lengths.check(backup / relative, directory);
      if (!directory) needed += roundedUp(fs::file_size(path), unit);
    });
  } catch (const std::exception& e) {
    return refusal(
        "The application's installation folder cannot be read completely, so no backup of it "
        "can be made; nothing was changed.",
        e.what());
  }

  if (!lengths.fault.empty()) {
    return refusal(
        "A file of the update or of its backup would get a longer path than this computer "
        "allows; install the application, or keep its data, in a folder with a shorter path.",
        lengths.fault);
  }

  // The folders the update writes in: the installation and each of its
  // folders that receives a file (or the nearest one there, which receives
  // the new folder), and the backup's.
  std::set<fs::path> probed;
  probed.insert(install);
  for (const fs::path& folder : receiving) {
    // Below the installation, which is a folder: a file where the update
    // needs a folder is the swap's to report, as it is now.
    fs::path existing = install / folder;
    while (existing != install && !fs::is_directory(existing, ec)) {
      existing = existing.parent_path();
    }
    probed.insert(existing);
  }
  for (const fs::path& folder : probed) {
    const std::string error = probeWritable(toNarrow(folder));
    if (!error.empty()) {
      return refusal(
          "The application's folder cannot be changed with this account's rights; "
          "an administrator can install the update, or the application can be "
          "installed again for this user.",
          error);
    }
  }
  // The backup is written in its folder, the journal beside it.
  for (const fs::path& folder : {backupVolume, nearestExisting(journalPath.parent_path())}) {
    const std::string error = folder.empty() ? "" : probeWritable(toNarrow(folder));
    if (!error.empty()) {
      return refusal(
          "The folder for the backup of the current version cannot be written with "
          "this account's rights; choose another data folder.",
          error);
    }
  }

  if (!spaceError.empty()) {
    return refusal("The free space for the backup of the current version cannot be found out.",
                   spaceError);
  }
  // The run removes an earlier backup first, and reuses its space.
  const std::uint64_t available = freeBytes + sizeOfBackup(backup, unit);
  if (needed > available) {
    return refusal(
        "There is not enough free disk space for a backup of the current version; "
        "free about " +
            megabytes(needed - available) + " on the drive of " + toNarrow(backupVolume) +
            ", then try again.",
        "needs " + std::to_string(needed) + " bytes, " + std::to_string(available) + " available");
  }
  return "";
}

}  // namespace

std::string checkUpdate(UpdateRequest* request) {
  const std::string fault = completeRequest(request);
  if (!fault.empty()) {
    return refusal("The application asked for the update in a way the updater cannot carry out.",
                   fault);
  }
  try {
    return checkCompleted(*request);
  } catch (const std::exception& e) {
    return refusal("Whether the update can be installed cannot be found out.", e.what());
  }
}
