#include "treeops/treeops.h"

#include <chrono>
#include <cstdio>
#include <exception>
#include <set>
#include <thread>
#include <vector>

#ifdef _WIN32
#include <cwctype>
#endif

#include "os/error.h"
#include "os/files.h"
#include "os/hold.h"
#include "os/paths.h"
#include "os/process.h"
#include "treeops/places.h"
#include "treeops/walks.h"

namespace fs = std::filesystem;

namespace {

constexpr auto kHoldPatience = std::chrono::milliseconds(1000);
constexpr auto kHoldRetry = std::chrono::milliseconds(50);

// The path as the entry it names: without separators at its end and, where
// it ends in "." or "..", resolved, so that removing it removes that folder
// (the system refuses to remove "x/.").
fs::path entryPathOf(fs::path path) {
  while (!path.has_filename() && path.has_relative_path()) path = path.parent_path();
  if (path.filename() == "." || path.filename() == "..") return canonicalPath(path);
  return path;
}

// Why a backup into backup would destroy or recurse into the directory other
// (the installation or the staging directory, named by label); empty when
// the two are separate.
std::string backupNestingFault(const fs::path& backup, const fs::path& other, const char* label) {
  const std::string backupText = "backup directory " + toNarrowText(backup);
  const std::string otherText = std::string(label) + " " + toNarrowText(other);
  switch (nestingOf(backup, other)) {
    case Nesting::kSame:
      return backupText + " is the " + otherText;
    case Nesting::kFirstInsideSecond:
      return backupText + " lies inside the " + otherText;
    case Nesting::kSecondInsideFirst:
      return backupText + " contains the " + otherText;
    case Nesting::kSeparate:
      break;
  }
  return "";
}

// Copies the contents of from into the existing directory to, links
// followed, so the backup holds real files and directories.
void copyTree(const fs::path& from, const fs::path& to) {
  try {
    listTreeToCopy(from, [&](const fs::path& path, const fs::path& relative, bool directory) {
      if (directory) {
        createDirectories(to / relative);
      } else {
        copyFileOver(path, to / relative);
      }
    });
  } catch (const SystemError& e) {
    // Name the two trees, not the entry, the way a failed recursive copy does.
    throw SystemError("copy", toNarrowText(from) + ", " + toNarrowText(to), e.code());
  }
}

// The names of the holds on a directory, one for each of its folders that
// exists: that folder's identity, which no other spelling of it changes, and
// the names below it, compared as the file system compares them, hashed
// (FNV-1a) into sixteen hex digits. A run takes them all: another run, which
// may find more of the folders made by then, or reach them through another
// name, still meets the one made from a folder both runs see. Throws when a
// folder on the way cannot be looked at.
std::vector<std::string> holdNamesOf(const fs::path& directory) {
  std::vector<std::string> names;
  fs::path rest;
  for (fs::path base = canonicalPath(directory);; base = base.parent_path()) {
    if (entryExists(base)) {
      std::uint64_t hash = 14695981039346656037ULL;
      const auto add = [&hash](std::uint64_t unit) {
        hash ^= unit;
        hash *= 1099511628211ULL;
      };
      for (const char c : fileIdentity(base)) add(static_cast<unsigned char>(c));
      add('|');
      for (const auto unit : rest.native()) {
#ifdef _WIN32
        add(static_cast<std::uint64_t>(std::towlower(static_cast<std::wint_t>(unit))));
#else
        add(static_cast<unsigned char>(unit));
#endif
      }
      char name[17];
      std::snprintf(name, sizeof name, "%016llx", static_cast<unsigned long long>(hash));
      names.push_back(name);
    }
    if (!base.has_relative_path()) break;
    rest = rest.empty() ? base.filename() : base.filename() / rest;
  }
  return names;
}

}  // namespace

bool waitForProcessExit(std::uint32_t processId, std::uint32_t timeoutMs, std::string* note) {
  ProcessWait wait;
  std::uint32_t errorCode = 0;
  if (!openProcessForWait(processId, &wait, &errorCode)) {
    *note = "OpenProcess(SYNCHRONIZE, " + std::to_string(processId) +
            ") returned NULL err=" + std::to_string(errorCode) +
            " \xE2\x80\x94 assuming process already exited";
    return true;
  }
  const std::uint32_t waitResult = waitOnProcess(wait, timeoutMs);
  closeProcessWait(wait);
  if (waitResult == kWaitObject0) return true;
  *note = waitResult == kWaitTimeout
              ? "WaitForSingleObject timed out after " + std::to_string(timeoutMs) + "ms"
              : "WaitForSingleObject returned " + std::to_string(waitResult);
  return false;
}

std::string sweepingBackupFault(const fs::path& backupDir) {
  if (backupDir.empty()) return "";
  try {
    const fs::path backup = entryPathOf(backupDir);
    const fs::path canonical = canonicalPath(backup);
    const std::string backupText = "backup directory " + toNarrowText(backupDir);
    if (!canonical.has_relative_path() || isShareOrDeviceRoot(backup)) {
      return backupText + " is a root directory";
    }
    const fs::path workingDir = currentDirectory();
    if (liesWithin(workingDir, backup)) {
      return backupText + " is or contains the working directory " + toNarrowText(workingDir);
    }
    return "";
  } catch (const std::exception& e) {
    return e.what();
  }
}

std::string backupInstallation(const fs::path& installDir, const fs::path& backupDir,
                               const fs::path& stagingDir) {
  try {
    const fs::path backup = entryPathOf(backupDir);
    // Removing the old backup must never reach the installation or the staged
    // version, and a copy into itself would never end: refuse nested
    // directories before anything is removed.
    std::string fault;
    if (!backupDir.empty() && !installDir.empty()) {
      fault = backupNestingFault(backupDir, installDir, "installation directory");
    }
    if (fault.empty() && !backupDir.empty() && !stagingDir.empty()) {
      fault = backupNestingFault(backupDir, stagingDir, "staging directory");
    }
    if (fault.empty()) fault = sweepingBackupFault(backupDir);
    if (!fault.empty()) return fault;
    removeTree(backup);
    createDirectories(backup);
    copyTree(installDir, backup);
    // The swap that follows destroys the only other copy of each file it
    // replaces: the backup must be on the disk before the first move.
    flushFileSystem(backup);
    return "";
  } catch (const std::exception& e) {
    return e.what();
  }
}

std::string swapTree(const fs::path& sourceRoot, const fs::path& destRoot) {
  return moveTree(sourceRoot, destRoot, Links::kFollow, randomTemporarySuffix());
}

std::string holdDirectory(const fs::path& directory, const std::string& label) {
  std::vector<std::string> names;
  try {
    names = holdNamesOf(directory);
  } catch (const std::exception& e) {
    return "cannot take the hold on the " + label + " " + toNarrowText(directory) + ": " + e.what();
  }
  // Holds this process took already: the same directory named twice (as the
  // installation and the backup) is for the overlap guards to refuse.
  static std::set<std::string> taken;
  // A host that asks whether a run holds the directory takes the hold for a
  // moment: a run that meets that moment waits for it, briefly.
  const auto deadline = std::chrono::steady_clock::now() + kHoldPatience;
  for (const std::string& name : names) {
    if (taken.count(name) != 0) continue;
    std::uint32_t code = 0;
    while (!takeHold(name, /*keep=*/true, &code)) {
      if (code != 0) {
        return "cannot take the hold on the " + label + " " + toNarrowText(directory) +
               " err=" + std::to_string(code);
      }
      if (std::chrono::steady_clock::now() >= deadline) {
        return "another run of the updater holds the " + label + " " + toNarrowText(directory);
      }
      std::this_thread::sleep_for(kHoldRetry);
    }
    taken.insert(name);
  }
  return "";
}

bool directoryIsHeld(const fs::path& directory) {
  std::vector<std::string> names;
  try {
    names = holdNamesOf(directory);
  } catch (const std::exception&) {
    return false;
  }
  for (const std::string& name : names) {
    std::uint32_t code = 0;
    if (!takeHold(name, /*keep=*/false, &code) && code == 0) return true;
  }
  return false;
}
