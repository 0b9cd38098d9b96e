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
using Files = Tree;

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
struct Layout : UpdateSite {
  Layout() { backupArg = backup + kSep; }
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

// What the matrix has seen so far.
struct Tally {
  int cases = 0;
  int filesLost = 0;
  std::vector<std::string> rollbackPositions;  // j reached by real failures
  std::vector<std::string> problems;
};

void note(Tally* tally, const Case& c, const std::string& problem) {
  tally->problems.push_back("k=" + std::to_string(c.k) + " j=" + std::to_string(c.j) +
                            (c.protectedInstalled.empty() ? "" : " held " + c.protectedInstalled) +
                            (c.giveBack == 0 ? "" : " give-back " + std::to_string(c.giveBack)) +
                            ": " + problem);
}

void compare(Tally* tally, const Case& c, const std::string& what, const std::string& actual,
             const std::string& expected) {
  if (actual != expected) note(tally, c, what + " is\n  " + actual + "\nexpected\n  " + expected);
}

std::string listed(const Files& files) {
  std::string out;
  for (const auto& [path, bytes] : files) out += path + " ";
  return out;
}

// The trees after a run.
struct Trees {
  Files installed;
  Files staging;
  Files backup;
};

Trees treesOf(const Layout& layout) {
  return {filesOf(layout.install), filesOf(layout.staging), filesOf(layout.backup)};
}

// Each installed file must survive, byte for byte, in the installation or the
// backup; each staged file in the installation or in staging. And no place
// that held a file is left empty: it holds its old or its new version.
void checkNothingLost(const Layout& layout, const Trees& trees, const Case& c, Tally* tally) {
  const Versions& versions = matrixVersions();
  auto holds = [](const Files& files, const std::string& path, const std::string& bytes) {
    const auto found = files.find(path);
    return found != files.end() && found->second == bytes;
  };
  for (const auto& [path, bytes] : versions.installed) {
    const auto staged = versions.staged.find(path);
    if (!holds(trees.installed, path, bytes) &&
        (staged == versions.staged.end() || !holds(trees.installed, path, staged->second))) {
      note(tally, c, "the installation has no version of " + path);
    }
  }
  for (const std::string& problem : filesLost(versions.installed, versions.staged, layout.install,
                                              layout.staging, layout.backup)) {
    ++tally->filesLost;
    note(tally, c, problem);
  }
}

// A successful rollback: the installation is the old version exactly, staging
// is whole again, the backup holds bare directories and the journal is gone.
void checkRolledBack(const Layout& layout, const Trees& trees, const Case& c, Tally* tally) {
  const Versions& versions = matrixVersions();
  compare(tally, c, "installation", listed(trees.installed), listed(versions.installed));
  if (trees.installed != versions.installed) note(tally, c, "installation is not the old version");
  compare(tally, c, "staging", listed(trees.staging), listed(versions.staged));
  if (trees.staging != versions.staged) note(tally, c, "staging does not hold the staged bytes");
  compare(tally, c, "backup files", listed(trees.backup), "");
  if (!isDirectory(layout.backup)) note(tally, c, "the backup directory is gone");
  if (pathExists(layout.journal())) note(tally, c, "the update journal stayed");
}

// A failed rollback: it stopped at one file, named in the marker, after
// moving every file of the backup before it; what it has not undone yet is
// still in place, and the journal stays for the next run. Returns how many
// files left the backup, or -1 when the marker does not name a file.
int checkRollbackStopped(const Layout& layout, const Trees& trees, const Case& c, Tally* tally) {
  const Versions& versions = matrixVersions();
  const std::string marker = readFile(layout.marker);
  const std::string head = "rollback failed: MoveFileEx(";
  const std::string tail = std::string(") err=") + kHeldDestinationCode + " (file locked)";
  const std::string message = markerFields(marker).errorMessage;
  const std::string failedName =
      message.size() < head.size() + tail.size()
          ? ""
          : message.substr(head.size(), message.size() - head.size() - tail.size());
  if (markerWithoutTime(marker) != expectedMarker("error", head + failedName + tail)) {
    note(tally, c, "marker is " + markerWithoutTime(marker));
    return -1;
  }
  const auto failedPath = versions.pathOfName.find(failedName);
  if (failedPath == versions.pathOfName.end()) {
    note(tally, c, "the rollback failed at " + failedName + ", not a file of either version");
    return -1;
  }
  if (!c.protectedInstalled.empty()) {
    compare(tally, c, "file the rollback failed at", failedPath->second, c.protectedInstalled);
  }
  if (c.giveBack == 0 && trees.backup.count(failedPath->second) == 0) {
    note(tally, c, failedPath->second + " failed to move, yet left the backup");
  }
  for (const auto& [path, bytes] : trees.backup) {
    const auto old = versions.installed.find(path);
    if (old == versions.installed.end() || old->second != bytes) {
      note(tally, c, "the backup holds " + path + " which is not the old version's");
    }
  }
  // The backup holds old files the installation lacks: the next run must find
  // the journal and not replace the backup.
  if (!pathExists(layout.journal())) note(tally, c, "the update journal is gone");
  return static_cast<int>(versions.installed.size() - trees.backup.size());
}

// The run after the obstacle has gone: it must finish the update.
void checkRerunFinishes(const Layout& layout, const std::string& firstLog, const Case& c,
                        Tally* tally) {
  const Versions& versions = matrixVersions();
  const int status = layout.run();
  compare(tally, c, "status of the rerun", std::to_string(status), "0");
  compare(tally, c, "log", readFile(layout.log), firstLog + runLog({"success"}));
  compare(tally, c, "marker", markerWithoutTime(readFile(layout.marker)),
          expectedMarker("success", ""));
  if (pathExists(layout.staging)) note(tally, c, "staging stayed");
  if (pathExists(layout.journal())) note(tally, c, "the update journal stayed");
  Files expected = versions.installed;
  for (const auto& [path, bytes] : versions.staged) expected[path] = bytes;
  const Trees trees = treesOf(layout);
  compare(tally, c, "installation", listed(trees.installed), listed(expected));
  if (trees.installed != expected) note(tally, c, "installation is not the new version");
  checkNothingLost(layout, trees, c, tally);
}

// Runs one case in fresh directories and checks what it leaves; after a
// failed rollback, runs the updater again with the obstacle gone.
void runCase(const Case& c, Tally* tally) {
  const Versions& versions = matrixVersions();
  Layout layout;
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
  compare(tally, c, "log", log, runLog({swapFailureLine(swapText)}));
  const Trees trees = treesOf(layout);
  checkNothingLost(layout, trees, c, tally);

  if (c.j == 0 && c.giveBack == 0 && c.protectedInstalled.empty()) {
    compare(tally, c, "status", std::to_string(status), "0");
    compare(tally, c, "marker", markerWithoutTime(readFile(layout.marker)),
            expectedMarker("rollback", swapText));
    checkRolledBack(layout, trees, c, tally);
    return;
  }
  compare(tally, c, "status", std::to_string(status), "3");
  const int movedBack = checkRollbackStopped(layout, trees, c, tally);
  if (c.j != 0) {
    compare(tally, c, "files moved back", std::to_string(movedBack), std::to_string(c.j - 1));
  } else if (movedBack >= 0 && c.giveBack == 0) {
    tally->rollbackPositions.push_back(std::to_string(movedBack + 1));
  }
  checkRerunFinishes(layout, log, c, tally);
}

void report(const char* name, const Tally& tally) {
  std::string problems;
  for (std::size_t i = 0; i < tally.problems.size() && i < 20; ++i) {
    problems += tally.problems[i] + "\n";
  }
  EXPECT_TRUE(tally.problems.empty()) << tally.problems.size() << " problems; the first:\n"
                                      << problems;
  EXPECT_EQ(tally.filesLost, 0);
  std::string positions;
  for (const std::string& j : tally.rollbackPositions) positions += " " + j;
  std::printf("[ matrix ] %s: %d cases, %d files lost%s%s\n", name, tally.cases, tally.filesLost,
              positions.empty() ? "" : ", real rollback failures at j =", positions.c_str());
}

// The staged files in the order the swap takes them; every layout lists them
// the same way, since each is written the same way.
const std::vector<std::string>& swapOrderOfVersions() {
  static const std::vector<std::string> order = [] {
    Layout probe;
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
