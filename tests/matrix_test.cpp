// Every class of failure point of an update, through the test build of the
// updater: the update swap fails at its first move, at the first file of a
// folder the installation lacks, in the middle and at its last move; for
// each, the undo that follows either succeeds, or fails where its kinds of
// move begin and end: giving a staged file back, putting an old version back,
// moving the rest of the backup back. Every ending must give the status, log
// lines and marker of its outcome, leave no place of the installation empty
// and lose no file: each installed file survives, byte for byte, in the
// installation or in the backup, and each staged file in the installation or
// in staging. After a failed rollback the same command, run again once the
// obstacle is gone, must finish the update.
//
// The update's failures are real: the staged file the swap takes k-th is made
// immovable (immutable natively, held open by another process under Wine).
// Rollback failures are real where the system can give them, on an installed
// file that cannot be replaced; to fail the undo at a chosen move, the test
// build refuses that move instead (support/fault_wrap.cpp), because the
// backup's files are created by the run itself and cannot be protected
// beforehand.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "support/run_support.h"
#include "support/test_support.h"

namespace {

namespace fs = std::filesystem;

// A destination that cannot be replaced, on both platforms.
const char kHeldDestinationCode[] = "5";

#ifdef _WIN32
// Under Wine a smaller pair of versions: each run costs more there.
const Versions& matrixVersions() {
  static const Versions versions = makeVersions(8, 2, 2);
  return versions;
}
#else
const Versions& matrixVersions() {
  static const Versions versions = makeVersions(28, 6, 4);
  return versions;
}
#endif

// The update's site. The backup directory is given with a trailing
// separator: its journal still lies beside it, not in it.
struct MatrixSite : UpdateSite {
  MatrixSite() { backupArg = backup + kSep; }
};

std::string fileName(const std::string& path) { return path.substr(path.rfind('/') + 1); }

// One case of the matrix.
struct Case {
  std::size_t k = 1;  // the update fails at its k-th move
  // The rollback fails at its j-th move (0: it is not made to fail) ...
  std::size_t j = 0;
  // ... or at the installed file with this relative path, made unreplaceable.
  std::string protectedInstalled;
  // Giving the staged files back fails at its n-th move (0: it is not made to).
  std::size_t giveBack = 0;
};

// What the matrix has seen so far, for its summary line.
struct Tally {
  int cases = 0;
  std::string rollbackPositions;  // j reached by real failures
};

// Each installed file must survive, byte for byte, in the installation or the
// backup; each staged file in the installation or in staging. And no place
// that held a file is left empty: it holds its old or its new version.
void checkNothingLost(const MatrixSite& layout) {
  const Versions& versions = matrixVersions();
  const Tree installed = filesOf(layout.install);
  for (const auto& [path, bytes] : versions.installed) {
    const auto staged = versions.staged.find(path);
    const auto found = installed.find(path);
    EXPECT_TRUE(found != installed.end() &&
                (found->second == bytes ||
                 (staged != versions.staged.end() && found->second == staged->second)))
        << "the installation has no version of " << path;
  }
  EXPECT_EQ(
      filesLost(versions.installed, versions.staged, layout.install, layout.staging, layout.backup),
      std::vector<std::string>{});
}

// A failed rollback: it stopped at one file, named in the marker, after
// moving every file of the backup before it; what it has not undone yet is
// still in place, and the journal stays for the next run (the backup holds
// old files the installation lacks: the next run must not replace it).
// Returns how many files left the backup, or -1 when the marker does not
// name a file.
int checkRollbackStopped(const MatrixSite& layout, const Case& c) {
  const Versions& versions = matrixVersions();
  const std::string head = "rollback failed: MoveFileEx(";
  const std::string tail = std::string(") err=") + kHeldDestinationCode + " (file locked)";
  const std::string message = markerFields(readFile(layout.marker)).errorMessage;
  const std::string failedName =
      message.size() < head.size() + tail.size()
          ? ""
          : message.substr(head.size(), message.size() - head.size() - tail.size());
  EXPECT_EQ(markerWithoutTime(readFile(layout.marker)),
            expectedMarker("error", head + failedName + tail));
  const auto failedPath = versions.pathOfName.find(failedName);
  if (failedPath == versions.pathOfName.end()) {
    ADD_FAILURE() << "the rollback failed at " << failedName << ", not a file of either version";
    return -1;
  }
  if (!c.protectedInstalled.empty()) {
    EXPECT_EQ(failedPath->second, c.protectedInstalled);
  }
  const Tree backup = filesOf(layout.backup);
  if (c.giveBack == 0) {
    EXPECT_EQ(backup.count(failedPath->second), 1u) << "it left the backup";
  }
  for (const auto& [path, bytes] : backup) {
    const auto old = versions.installed.find(path);
    EXPECT_TRUE(old != versions.installed.end() && old->second == bytes)
        << "the backup holds " << path << " which is not the old version's";
  }
  EXPECT_TRUE(pathExists(layout.journal()));
  return static_cast<int>(versions.installed.size() - backup.size());
}

// Runs one case in fresh directories and checks what it leaves; after a
// failed rollback, runs the updater again with the obstacle gone: it must
// finish the update.
void runCase(const Case& c, Tally* tally) {
  SCOPED_TRACE("k=" + std::to_string(c.k) + " j=" + std::to_string(c.j) +
               (c.protectedInstalled.empty() ? "" : " held " + c.protectedInstalled) +
               (c.giveBack == 0 ? "" : " give-back " + std::to_string(c.giveBack)));
  const Versions& versions = matrixVersions();
  MatrixSite layout;
  layout.prepare(versions.installed, versions.staged);
  const std::vector<fs::path> order = swapOrder(layout.staging);
  ASSERT_LE(c.k, order.size());
  const std::string blocked = narrowOf(order[c.k - 1]);

  std::vector<std::unique_ptr<HeldFile>> held;
  held.push_back(std::make_unique<HeldFile>(joinPath(layout.staging, blocked)));
  if (!held.back()->held()) GTEST_SKIP() << "files cannot be held here";
  if (!c.protectedInstalled.empty()) {
    held.push_back(std::make_unique<HeldFile>(joinPath(layout.install, c.protectedInstalled)));
    ASSERT_TRUE(held.back()->held());
  }
  // The update's moves come out of staging, giving back moves out of the
  // installation, the rest of the rollback's out of the backup.
  if (c.j != 0) refuseMoveFrom(layout.backup, c.j);
  if (c.giveBack != 0) refuseMoveFrom(layout.install, c.giveBack);
  const int status = layout.run();
  clearTestInstructions();
  held.clear();
  ++tally->cases;

  const std::string swapText =
      "MoveFileEx(" + fileName(blocked) + ") err=" + kHeldSourceCode + " (file locked)";
  const std::string log = readFile(layout.log);
  EXPECT_EQ(log, runLog({swapFailureLine(swapText)}));
  checkNothingLost(layout);

  if (c.j == 0 && c.giveBack == 0 && c.protectedInstalled.empty()) {
    // The installation is the old version exactly, staging is whole again,
    // the backup holds bare directories and the journal is gone.
    EXPECT_EQ(status, 0);
    EXPECT_EQ(markerWithoutTime(readFile(layout.marker)), expectedMarker("rollback", swapText));
    EXPECT_EQ(filesOf(layout.install), versions.installed);
    EXPECT_EQ(filesOf(layout.staging), versions.staged);
    EXPECT_EQ(filesOf(layout.backup), Tree{});
    EXPECT_TRUE(isDirectory(layout.backup));
    EXPECT_FALSE(pathExists(layout.journal()));
    return;
  }
  EXPECT_EQ(status, 3);
  const int movedBack = checkRollbackStopped(layout, c);
  if (c.j != 0) {
    EXPECT_EQ(movedBack, static_cast<int>(c.j) - 1) << "files moved back";
  } else if (movedBack >= 0 && c.giveBack == 0) {
    tally->rollbackPositions += " " + std::to_string(movedBack + 1);
  }
  EXPECT_EQ(layout.run(), 0);
  EXPECT_EQ(readFile(layout.log), log + runLog({"success"}));
  EXPECT_EQ(markerWithoutTime(readFile(layout.marker)), expectedMarker("success", ""));
  EXPECT_FALSE(pathExists(layout.staging));
  EXPECT_FALSE(pathExists(layout.journal()));
  EXPECT_EQ(filesOf(layout.install), overlay(versions.installed, versions.staged));
  checkNothingLost(layout);
}

void report(const char* name, const Tally& tally) {
  std::printf("[ matrix ] %s: %d cases%s%s\n", name, tally.cases,
              tally.rollbackPositions.empty() ? "" : ", real rollback failures at j =",
              tally.rollbackPositions.c_str());
}

// The staged files in the order the swap takes them; every layout lists them
// the same way, since each is written the same way.
const std::vector<std::string>& swapOrderOfVersions() {
  static const std::vector<std::string> order = [] {
    MatrixSite probe;
    writeTree(probe.staging, matrixVersions().staged);
    std::vector<std::string> names;
    for (const fs::path& file : swapOrder(probe.staging)) names.push_back(narrowOf(file));
    return names;
  }();
  return order;
}

std::string folderOf(const std::string& path) {
  const std::size_t slash = path.rfind('/');
  return slash == std::string::npos ? "" : path.substr(0, slash);
}

// The classes of the update's failure point: its first move, the first file
// of a folder the installation lacks, the middle one and the last.
std::vector<std::size_t> updateFailurePoints() {
  const Versions& versions = matrixVersions();
  const std::vector<std::string>& order = swapOrderOfVersions();
  std::set<std::size_t> points = {1, order.size() / 2, order.size()};
  for (std::size_t k = 2; k <= order.size(); ++k) {
    const std::string folder = folderOf(order[k - 1]);
    const bool installed =
        std::any_of(versions.installed.begin(), versions.installed.end(),
                    [&](const auto& file) { return folderOf(file.first) == folder; });
    if (!installed && folder != folderOf(order[k - 2])) {
      points.insert(k);
      break;
    }
  }
  return {points.begin(), points.end()};
}

// The update fails at each class of point and the undo restores the old
// version exactly.
TEST(EveryFailurePoint, UpdateFailsAndTheRollbackRestoresTheOldVersion) {
  ASSERT_GE(matrixVersions().staged.size(), 10u);
  Tally tally;
  for (const std::size_t k : updateFailurePoints()) {
    runCase(Case{k, 0, ""}, &tally);
    if (HasFatalFailure() || IsSkipped()) return;
  }
  report("rollback succeeds", tally);
}

// For each class of update failure point, the undo fails where each of its
// kinds of move begins and ends: the first and the last old version put back
// (the k - 1 moved files that have one), the first and the last move of the
// rest of the backup; and giving a staged file back fails, at the first, at
// the last and at one that has no old version.
TEST(EveryFailurePoint, RollbackFailsAtEachKindOfMove) {
  const Versions& versions = matrixVersions();
  const std::vector<std::string>& order = swapOrderOfVersions();
  const std::size_t backupFiles = versions.installed.size();
  Tally tally;
  for (const std::size_t k : updateFailurePoints()) {
    std::size_t restores = 0;
    std::size_t newOnly = 0;
    for (std::size_t i = 1; i < k; ++i) {
      if (versions.installed.count(order[i - 1]) != 0) {
        ++restores;
      } else if (newOnly == 0) {
        newOnly = i;
      }
    }
    std::set<std::size_t> rollbackPoints = {1, restores / 2 + 1, restores, restores + 1,
                                            backupFiles};
    rollbackPoints.erase(0);
    for (const std::size_t j : rollbackPoints) {
      runCase(Case{k, j, ""}, &tally);
      if (HasFatalFailure() || IsSkipped()) return;
    }
    // Nothing is given back when the first move failed.
    std::set<std::size_t> giveBackPoints = {k > 1 ? std::size_t{1} : 0, k - 1, newOnly};
    giveBackPoints.erase(0);
    for (const std::size_t n : giveBackPoints) {
      runCase(Case{k, 0, "", n}, &tally);
      if (HasFatalFailure() || IsSkipped()) return;
    }
  }
  report("rollback fails", tally);
}

// The rollback fails at an installed file that cannot be replaced, which the
// update never reaches: one it drops, or the staged file it would take last.
TEST(EveryFailurePoint, RollbackStopsAtAnInstalledFileThatCannotBeReplaced) {
  const Versions& versions = matrixVersions();
  const std::vector<std::string>& order = swapOrderOfVersions();
  std::vector<std::string> dropped;
  for (const auto& [path, bytes] : versions.installed) {
    if (versions.staged.count(path) == 0) dropped.push_back(path);
  }
  Tally tally;
  for (const std::size_t k : {std::size_t{1}, order.size() / 2, order.size()}) {
    std::vector<std::string> targets = {dropped.front(), dropped.back()};
    if (k < order.size()) targets.push_back(order.back());
    for (const std::string& path : targets) {
      runCase(Case{k, 0, path}, &tally);
      if (HasFatalFailure() || IsSkipped()) return;
    }
  }
  report("real rollback failures", tally);
}

}  // namespace
