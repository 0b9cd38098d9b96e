// An update killed outright (SIGKILL) anywhere in its backup or its swap, then
// started again with the same arguments, must end as if it had never been
// interrupted: status 0, marker "success", the new version installed, and no
// file of either version lost. The test build of the updater kills itself
// just before a chosen copy or move (support/fault_wrap.cpp); the rerun is the
// updater itself.
#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include "support/run_support.h"
#include "support/test_support.h"

namespace {

// Files change, are dropped and arrive, in nested folders (some new): 400
// installed and 400 staged, enough for kills in every kind of folder.
const Versions& versions() {
  static const Versions built = makeVersions(340, 60, 60);
  return built;
}
const int kInstalled = 400;
const int kStaged = 400;

// Runs the test build, to be killed just before its n-th copy or move.
int runKilledAt(const UpdateSite& site, int n) {
  killBeforeCall(n);
  const int status = site.run();
  clearTestInstructions();
  return status;
}

// The lines of one run: the start, line A, then the last line given, if any.
std::string runLines(const std::string& last) { return last.empty() ? runLog({}) : runLog({last}); }

// How actual departs from expected, naming the first few paths.
std::string differences(const Tree& actual, const Tree& expected) {
  std::string out;
  int shown = 0;
  int count = 0;
  auto mention = [&](const std::string& what, const std::string& path) {
    ++count;
    if (shown++ < 5) out += " " + what + " " + path + ";";
  };
  for (const auto& [path, bytes] : expected) {
    const auto found = actual.find(path);
    if (found == actual.end()) {
      mention("missing", path);
    } else if (found->second != bytes) {
      mention("changed", path);
    }
  }
  for (const auto& [path, bytes] : actual) {
    if (expected.count(path) == 0) mention("extra", path);
  }
  return count == 0 ? "" : std::to_string(count) + " differences:" + out;
}

struct Tally {
  int kills = 0;
  int lost = 0;
};

// A run was killed at each point in turn (each n counted within its own run);
// the updater, started again with the same arguments, must finish the update.
// With failingMove, the first run's swap meets an immovable staged file at
// that move and goes on to give back and roll back; the obstacle is gone
// before the next run.
void expectRerunConverges(const std::vector<int>& killPoints, Tally* tally,
                          std::size_t failingMove = 0) {
  UpdateSite layout;
  layout.prepare(versions().installed, versions().staged);
  std::string blocked;
  if (failingMove != 0) {
    blocked = joinPath(layout.staging, narrowOf(swapOrder(layout.staging).at(failingMove - 1)));
    if (!setImmutable(blocked, true)) GTEST_SKIP() << "files cannot be made immutable here";
  }
  std::string log;
  for (const int n : killPoints) {
    const int status = runKilledAt(layout, n);
    if (!blocked.empty()) setImmutable(blocked, false);
    ASSERT_EQ(status, -1) << "the run ended before call " << n;
    ++tally->kills;
    log += runLines(blocked.empty()
                        ? ""
                        : swapFailureLine("MoveFileEx(" +
                                          std::filesystem::path(blocked).filename().string() +
                                          ") err=5 (file locked)"));
    blocked.clear();
    ASSERT_EQ(readFile(layout.log), log);
    // Killed between the two moves that undo one file, the run leaves that
    // one place empty; no other.
    const Tree installed = filesOf(layout.install);
    int empty = 0;
    for (const auto& [path, bytes] : versions().installed) empty += installed.count(path) == 0;
    EXPECT_LE(empty, 1) << "killed before call " << n;
  }

  EXPECT_EQ(layout.run(), 0);

  log += runLines("success");
  EXPECT_EQ(readFile(layout.log), log);
  const std::string marker = readFile(layout.marker);
  EXPECT_NE(marker.find("\"result\":\"success\",\"errorMessage\":\"\""), std::string::npos)
      << marker;
  EXPECT_FALSE(pathExists(layout.staging));
  EXPECT_FALSE(pathExists(layout.journal()));

  // The installation is the overlay of the new version on the old; the backup
  // is the whole old version, as the first complete backup made it.
  const Tree expected = overlay(versions().installed, versions().staged);
  const Tree installed = filesOf(layout.install);
  const Tree backup = filesOf(layout.backup);
  EXPECT_EQ(differences(installed, expected), "");
  EXPECT_EQ(differences(backup, versions().installed), "");
  // Staging is gone (above), so every staged file must be in the installation.
  const std::vector<std::string> lost = filesLost(versions().installed, versions().staged,
                                                  layout.install, layout.staging, layout.backup);
  tally->lost += static_cast<int>(lost.size());
  EXPECT_EQ(lost.size(), 0u) << lost.front();
}

void report(const char* name, const Tally& tally) {
  std::printf("[ kill ] %s: %d kills, %d files lost\n", name, tally.kills, tally.lost);
}

// Calls 1 to 400 of a first run are the backup's copies.
TEST(KillAndRerun, KilledDuringTheBackup) {
  Tally tally;
  for (const int n : {1, 2, 41, 111, 180, 247, 300, 355, 399, kInstalled}) {
    SCOPED_TRACE("killed before call " + std::to_string(n));
    expectRerunConverges({n}, &tally);
    if (HasFatalFailure()) return;
  }
  report("backup", tally);
}

// Calls 401 to 800 are the swap's moves.
TEST(KillAndRerun, KilledDuringTheSwap) {
  Tally tally;
  for (const int move : {1, 2, 40, 100, 155, 200, 267, 320, 399, kStaged}) {
    SCOPED_TRACE("killed before move " + std::to_string(move));
    expectRerunConverges({kInstalled + move}, &tally);
    if (HasFatalFailure()) return;
  }
  report("swap", tally);
}

// A rerun killed in its turn: the first run in its backup, the second in its
// swap after a backup of its own, the third, which makes no backup, in the
// swap again.
TEST(KillAndRerun, KilledAgainWhileResuming) {
  Tally tally;
  expectRerunConverges({200, kInstalled + 100, 140}, &tally);
  report("chain", tally);
}

// The update fails at its 200th move; the run is killed while it undoes the
// 199 it made (calls 601 on): each staged file goes back to staging and its
// old version comes back from the backup right after.
TEST(KillAndRerun, KilledWhileGivingStagedFilesBack) {
  Tally tally;
  for (const int n : {1, 100, 199}) {
    SCOPED_TRACE("killed before giving back file " + std::to_string(n));
    expectRerunConverges({kInstalled + 200 + n}, &tally, 200);
    if (HasFatalFailure() || IsSkipped()) return;
  }
  report("giving back", tally);
}

// The same, killed later in the undo or while the rest of the backup moves
// back: part of the old version has left the backup, so a rerun must finish
// the undo before it starts the update again, or those files, found only in
// the installation, would be replaced.
TEST(KillAndRerun, KilledDuringTheRollback) {
  Tally tally;
  for (const int n : {1, 200, kInstalled}) {
    SCOPED_TRACE("killed before rollback move " + std::to_string(n));
    expectRerunConverges({kInstalled + 200 + 199 + n}, &tally, 200);
    if (HasFatalFailure() || IsSkipped()) return;
  }
  report("rollback", tally);
}

}  // namespace
