// Every failure point of an update, through the built updater: the update
// swap is made to fail at each of its moves in turn, and for each of those
// the rollback either succeeds or fails at one of its own moves (before it,
// the run gives back the staged files it had moved in). Every ending
// must give the status, log lines and marker of its outcome and lose no file:
// each installed file survives, byte for byte, in the installation or in the
// backup, and each staged file in the installation or in staging.
//
// The update's failures are real: the staged file the swap takes k-th is made
// immovable (immutable natively, held open by another process under Wine).
// The rollback's failures are real where the system can give them, on an
// installed file that cannot be replaced; to fail it at every one of its
// moves, natively, the test build of the updater refuses the j-th move out of
// the backup instead (support/fault_wrap.cpp), because the backup's files are
// created by the run itself and cannot be protected beforehand.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "support/run_support.h"
#include "support/test_support.h"

namespace {

namespace fs = std::filesystem;
using Files = std::map<std::string, std::string>;

// A destination that cannot be replaced, on both platforms.
const char kHeldDestinationCode[] = "5";

// The two versions. File names are unique across the tree, so the name in a
// failure text tells which file it was.
struct Versions {
  Files installed;
  Files staged;
  std::map<std::string, std::string> pathOfName;
};

// shared files change between the versions, oldOnly ones are dropped by the
// update, newOnly ones arrive with it, some in folders the installation lacks.
Versions makeVersions(int shared, int oldOnly, int newOnly) {
  static const char* const kFolders[] = {
      "",    "bin", "lib", "lib/plugins", "lib/plugins/codecs/video", "data", "data/maps/deep",
      "docs"};
  static const char* const kNewFolders[] = {"extras/new", "lib/plugins/codecs/audio"};
  static const char* const kExtensions[] = {".dll", ".dat", ".txt"};
  Versions versions;
  for (int i = 0; i < shared + oldOnly + newOnly; ++i) {
    const bool onlyNew = i >= shared + oldOnly;
    const std::string folder = onlyNew ? kNewFolders[i % 2] : kFolders[i % 8];
    char name[16];
    std::snprintf(name, sizeof name, "f%02d%s", i, kExtensions[i % 3]);
    const std::string path = folder.empty() ? name : folder + "/" + name;
    if (!onlyNew) versions.installed[path] = "1.0.0 " + path + std::string(i % 5 * 40, 'o');
    if (i < shared || onlyNew) {
      versions.staged[path] = "2.0.0 " + path + std::string(i % 7 * 30, 'n');
    }
    versions.pathOfName[name] = path;
  }
  return versions;
}

#ifdef _WIN32
// Natively a matrix of every (k, j) pair; under Wine a small one.
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

struct Layout {
  TempDir root;
  std::string install = root / "app";
  std::string staging = root / "staging";
  std::string data = root / "app-data";
  std::string backup = joinPath(data, "backup");
  std::string journal = withoutTrailingSeparator(backup) + ".pending";
  std::string log = joinPath(data, "updater.log");
  std::string marker = joinPath(data, "applied-marker.json");

  // The command line of the test build of the updater over this layout.
  std::vector<std::string> command() const {
    UpdaterOptions options{install, staging, backup, log, marker};
    options.program = "vexo-updater-faults";
    return updaterCommand(options);
  }
};

std::string fileName(const std::string& path) { return path.substr(path.rfind('/') + 1); }

// Makes files impossible to move away or to replace, for one run: natively
// the immutable flag, under Wine a helper process holding each file open
// with read sharing only (it can still be copied).
struct Protection {
  std::string readyFolder;  // where a holder says it holds, outside both trees
  std::vector<std::string> paths;
#ifdef _WIN32
  std::vector<Child> holders;
#endif
  ~Protection() { release(); }
  void release();
};

#ifdef _WIN32
bool protect(Protection* protection, const std::string& path) {
  const std::string ready =
      joinPath(protection->readyFolder, "ready-" + std::to_string(protection->holders.size()));
  Child holder = startChild({programPath("vexo-test-helper"), "hold", path, ready});
  protection->holders.push_back(holder);
  for (int i = 0; i < 300 && !pathExists(ready); ++i) sleepMs(20);
  if (!pathExists(ready)) return false;
  fs::remove(fs::path(ready));
  protection->paths.push_back(path);
  return true;
}

void Protection::release() {
  for (Child& holder : holders) {
    killChild(holder);
    waitChild(holder);
  }
  holders.clear();
  paths.clear();
}
#else
bool protect(Protection* protection, const std::string& path) {
  if (!setImmutable(path, true)) return false;
  protection->paths.push_back(path);
  return true;
}

void Protection::release() {
  for (const std::string& path : paths) setImmutable(path, false);
  paths.clear();
}

// Makes the n-th move whose source lies under folder fail with code 5 in the
// next run of the test build; n = 0 leaves every move alone.
void failMoveFrom(const std::string& folder, std::size_t n) {
  if (n == 0) {
    unsetenv("VEXO_TEST_FAIL_MOVE_FROM");
    return;
  }
  setenv("VEXO_TEST_FAIL_MOVE_FROM", joinPath(folder, "").c_str(), 1);
  setenv("VEXO_TEST_FAIL_MOVE_AT", std::to_string(n).c_str(), 1);
  setenv("VEXO_TEST_FAIL_MOVE_CODE", "5", 1);
}
#endif

// One case of the matrix.
struct Case {
  std::size_t k = 1;  // the update fails at its k-th move
  // The rollback fails at its j-th move (0: it is not made to fail) ...
  std::size_t j = 0;
  // ... or at the installed file with this relative path, made unreplaceable.
  std::string protectedInstalled;
  // Giving the staged files back fails at its n-th move (0: it is not made to).
  std::size_t giveBack = 0;
  // Then the updater runs again with the same arguments, the obstacle gone.
  bool rerun = false;
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
                            (c.rerun ? " rerun" : "") + ": " + problem);
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
void checkNothingLost(const Trees& trees, const Case& c, Tally* tally) {
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
  for (const auto& [path, bytes] : versions.installed) {
    if (!holds(trees.installed, path, bytes) && !holds(trees.backup, path, bytes)) {
      ++tally->filesLost;
      note(tally, c, "installed file " + path + " is neither in the installation nor the backup");
    }
  }
  for (const auto& [path, bytes] : versions.staged) {
    if (!holds(trees.installed, path, bytes) && !holds(trees.staging, path, bytes)) {
      ++tally->filesLost;
      note(tally, c, "staged file " + path + " is neither in the installation nor in staging");
    }
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
  if (pathExists(layout.journal)) note(tally, c, "the update journal stayed");
}

// A failed rollback: it stopped at one file, named in the marker, after
// moving every file of the backup before it; what it has not undone yet is
// still in place, and the journal stays for the next run. Returns how many
// files left the backup, or -1 when the marker does not name a file.
int checkRollbackStopped(const Layout& layout, const Trees& trees, const Case& c, Tally* tally) {
  const Versions& versions = matrixVersions();
  const std::string marker = markerWithoutTime(readFile(layout.marker));
  const std::string prefix =
      "{\"fromVersion\":\"1.0.0\",\"toVersion\":\"2.0.0\",\"appliedAt\":T,"
      "\"result\":\"error\",\"errorMessage\":\"rollback failed: MoveFileEx(";
  const std::string suffix = std::string(") err=") + kHeldDestinationCode +
                             " (file locked)\",\"idempotencyKey\":\"key-42\"}";
  if (marker.rfind(prefix, 0) != 0 || marker.size() < prefix.size() + suffix.size() ||
      marker.compare(marker.size() - suffix.size(), suffix.size(), suffix) != 0) {
    note(tally, c, "marker is " + marker);
    return -1;
  }
  const std::string failedName =
      marker.substr(prefix.size(), marker.size() - prefix.size() - suffix.size());
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
  if (!pathExists(layout.journal)) note(tally, c, "the update journal is gone");
  return static_cast<int>(versions.installed.size() - trees.backup.size());
}

// The run after the obstacle has gone: it must finish the update.
void checkRerunFinishes(const Layout& layout, const std::string& firstLog, const Case& c,
                        Tally* tally) {
  const Versions& versions = matrixVersions();
  const int status = runChild(layout.command());
  compare(tally, c, "status of the rerun", std::to_string(status), "0");
  compare(tally, c, "log", readFile(layout.log), firstLog + runLog({"success"}));
  compare(tally, c, "marker", markerWithoutTime(readFile(layout.marker)),
          expectedMarker("success", ""));
  if (pathExists(layout.staging)) note(tally, c, "staging stayed");
  if (pathExists(layout.journal)) note(tally, c, "the update journal stayed");
  Files expected = versions.installed;
  for (const auto& [path, bytes] : versions.staged) expected[path] = bytes;
  const Trees trees = treesOf(layout);
  compare(tally, c, "installation", listed(trees.installed), listed(expected));
  if (trees.installed != expected) note(tally, c, "installation is not the new version");
  checkNothingLost(trees, c, tally);
}

// Runs one case in fresh directories and checks what it leaves.
void runCase(const Case& c, Tally* tally) {
  const Versions& versions = matrixVersions();
  Layout layout;
  writeTree(layout.install, versions.installed);
  writeTree(layout.staging, versions.staged);
  makeDirectories(layout.data);
  const std::vector<std::string> order = swapOrder(layout.staging);
  ASSERT_LE(c.k, order.size());
  const std::string blocked = order[c.k - 1];

  Protection protection;
  protection.readyFolder = layout.root.path();
  if (!protect(&protection, joinPath(layout.staging, blocked))) {
    GTEST_SKIP() << "files cannot be protected here";
  }
  if (!c.protectedInstalled.empty()) {
    ASSERT_TRUE(protect(&protection, joinPath(layout.install, c.protectedInstalled)));
  }
#ifndef _WIN32
  // The update's moves come out of staging, giving back moves out of the
  // installation, the rollback's out of the backup.
  if (c.j != 0) failMoveFrom(layout.backup, c.j);
  if (c.giveBack != 0) failMoveFrom(layout.install, c.giveBack);
#endif
  const int status = runChild(layout.command());
#ifndef _WIN32
  failMoveFrom("", 0);
#endif
  protection.release();
  ++tally->cases;

  const std::string swapText =
      "MoveFileEx(" + fileName(blocked) + ") err=" + kHeldSourceCode + " (file locked)";
  const std::string log = readFile(layout.log);
  compare(tally, c, "log", log, runLog({swapFailureLine(swapText)}));
  const Trees trees = treesOf(layout);
  checkNothingLost(trees, c, tally);

  if (c.giveBack != 0) {
    // A staged file that cannot be given back must not be overwritten by the
    // rollback: the run ends in error, names it, and keeps the journal.
    compare(tally, c, "status", std::to_string(status), "3");
    checkRollbackStopped(layout, trees, c, tally);
  } else if (c.j == 0 && c.protectedInstalled.empty()) {
    compare(tally, c, "status", std::to_string(status), "0");
    compare(tally, c, "marker", markerWithoutTime(readFile(layout.marker)),
            expectedMarker("rollback", swapText));
    checkRolledBack(layout, trees, c, tally);
  } else {
    compare(tally, c, "status", std::to_string(status), "3");
    const int movedBack = checkRollbackStopped(layout, trees, c, tally);
    if (c.j != 0) {
      compare(tally, c, "files moved back", std::to_string(movedBack), std::to_string(c.j - 1));
    } else if (movedBack >= 0) {
      tally->rollbackPositions.push_back(std::to_string(movedBack + 1));
    }
  }
  if (c.rerun) checkRerunFinishes(layout, log, c, tally);
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

TEST(EveryFailurePoint, UpdateFailsAtEachMoveAndTheRollbackRestoresTheOldVersion) {
  Tally tally;
  const std::size_t moves = matrixVersions().staged.size();
  ASSERT_GE(moves, 10u);
  for (std::size_t k = 1; k <= moves; ++k) {
    runCase(Case{k, 0, ""}, &tally);
    if (HasFatalFailure() || IsSkipped()) return;
  }
  report("rollback succeeds", tally);
}

// The rollback fails at an installed file that cannot be replaced, which the
// update never reaches: one it drops, or the staged file it would take last.
TEST(EveryFailurePoint, RollbackStopsAtAnInstalledFileThatCannotBeReplaced) {
  const Versions& versions = matrixVersions();
  std::vector<std::string> targets;
  for (const auto& [path, bytes] : versions.installed) {
    if (versions.staged.count(path) == 0) targets.push_back(path);
  }
  std::vector<std::string> order;
  {
    Layout probe;
    writeTree(probe.staging, versions.staged);
    order = swapOrder(probe.staging);
  }
  const std::size_t moves = order.size();
  Tally tally;
  for (const std::size_t k : {std::size_t{1}, moves / 2, moves}) {
    std::vector<std::string> held = targets;
    if (k < moves) held.push_back(order.back());
    for (const std::string& path : held) {
      runCase(Case{k, 0, path}, &tally);
      if (HasFatalFailure() || IsSkipped()) return;
    }
  }
  report("real rollback failures", tally);
}

// A failed rollback reported, the obstacle goes and the host starts the same
// update again: it must finish it without losing a file of the old version,
// some of which the rollback had already moved out of the backup.
TEST(EveryFailurePoint, RerunAfterAFailedRollbackFinishesTheUpdate) {
  const Versions& versions = matrixVersions();
  const std::size_t moves = versions.staged.size();
  Tally tally;
  for (const std::size_t k : {std::size_t{1}, moves / 2, moves}) {
    for (const auto& [path, bytes] : versions.installed) {
      if (versions.staged.count(path) != 0) continue;
      runCase(Case{k, 0, path, 0, true}, &tally);
      if (HasFatalFailure() || IsSkipped()) return;
    }
  }
  report("rerun after a failed rollback", tally);
}

#ifndef _WIN32
// Every pair (k, j): the update fails at its k-th move, the rollback at its
// j-th. Split in two so that the halves can run side by side.
void rollbackFailsAtEveryMove(bool firstHalf) {
  const Versions& versions = matrixVersions();
  const std::size_t moves = versions.staged.size();
  const std::size_t rollbackMoves = versions.installed.size();
  Tally tally;
  for (std::size_t k = firstHalf ? 1 : moves / 2 + 1; k <= (firstHalf ? moves / 2 : moves); ++k) {
    for (std::size_t j = 1; j <= rollbackMoves; ++j) {
      runCase(Case{k, j, ""}, &tally);
      if (testing::Test::HasFatalFailure() || testing::Test::IsSkipped()) return;
    }
  }
  report(firstHalf ? "rollback fails, first half of k" : "rollback fails, second half of k", tally);
}

// The staged files moved in are given back, newest first, before the
// rollback; here one of those moves is refused, and the run must stop short
// of a rollback that would overwrite the staged file it could not give back.
TEST(EveryFailurePoint, GivingAStagedFileBackFailsAndNothingIsLost) {
  const std::size_t moves = matrixVersions().staged.size();
  Tally tally;
  for (std::size_t k = 2; k <= moves; ++k) {
    for (const std::size_t n : {std::size_t{1}, k - 1}) {
      runCase(Case{k, 0, "", n, false}, &tally);
      if (HasFatalFailure() || IsSkipped()) return;
      if (k == 2) break;
    }
  }
  report("giving back fails", tally);
}

TEST(EveryFailurePoint, RollbackFailsAtEachMoveAfterAnEarlyUpdateFailure) {
  rollbackFailsAtEveryMove(true);
}

TEST(EveryFailurePoint, RollbackFailsAtEachMoveAfterALateUpdateFailure) {
  rollbackFailsAtEveryMove(false);
}
#endif

}  // namespace
