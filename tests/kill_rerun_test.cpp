// An update killed outright (SIGKILL) anywhere in its backup or its swap, then
// started again with the same arguments, must end as if it had never been
// interrupted: status 0, marker "success", the new version installed, and no
// file of either version lost. The test build of the updater kills itself
// just before a chosen copy or move (support/fault_wrap.cpp); the rerun is the
// updater itself.
#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "support/run_support.h"
#include "support/test_support.h"

namespace {

using Files = std::map<std::string, std::string>;

// 1,700 files change, 300 are dropped and 300 arrive, in nested folders
// (some new): 2,000 files installed and 2,000 staged.
constexpr int kShared = 1700;
constexpr int kOldOnly = 300;
constexpr int kNewOnly = 300;
constexpr int kInstalled = kShared + kOldOnly;
constexpr int kStaged = kShared + kNewOnly;

struct Versions {
  Files installed;
  Files staged;
};

const Versions& versions() {
  static const Versions built = [] {
    Versions v;
    for (int i = 0; i < kShared + kOldOnly + kNewOnly; ++i) {
      const bool onlyNew = i >= kInstalled;
      char path[64];
      if (onlyNew && i % 2 == 0) {
        std::snprintf(path, sizeof path, "added/n%d/f%04d.bin", i % 7, i);
      } else {
        std::snprintf(path, sizeof path, "d%d/s%d/f%04d.bin", i / 250, i / 50 % 5, i);
      }
      if (!onlyNew) v.installed[path] = std::string("1.0.0 ") + path + "\n";
      if (i < kShared || onlyNew) v.staged[path] = std::string("2.0.0 ") + path + "\n";
    }
    return v;
  }();
  return built;
}

struct Layout {
  TempDir root;
  std::string install = root / "app";
  std::string staging = root / "staging";
  std::string data = root / "app-data";
  std::string backup = joinPath(data, "backup");
  std::string journal = backup + ".pending";
  std::string log = joinPath(data, "updater.log");
  std::string marker = joinPath(data, "applied-marker.json");

  Layout() {
    writeTree(install, versions().installed);
    writeTree(staging, versions().staged);
    makeDirectories(data);
  }

  // The command line of the test build over this layout.
  std::vector<std::string> command() const {
    return updaterCommand({install, staging, backup, log, marker});
  }
};

// Runs the test build, to be killed just before its n-th copy or move.
int runKilledAt(const Layout& layout, int n) {
  setTestVariable("VEXO_TEST_KILL_AT", std::to_string(n));
  const int status = runChild(layout.command());
  setTestVariable("VEXO_TEST_KILL_AT", "");
  return status;
}

// The lines of one run: the start, line A, then the last line given, if any.
std::string runLines(const std::string& last) { return last.empty() ? runLog({}) : runLog({last}); }

// How actual departs from expected, naming the first few paths.
std::string differences(const Files& actual, const Files& expected) {
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
  Layout layout;
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
    const Files installed = filesOf(layout.install);
    int empty = 0;
    for (const auto& [path, bytes] : versions().installed) empty += installed.count(path) == 0;
    EXPECT_LE(empty, 1) << "killed before call " << n;
  }

  EXPECT_EQ(runChild(layout.command()), 0);

  log += runLines("success");
  EXPECT_EQ(readFile(layout.log), log);
  const std::string marker = readFile(layout.marker);
  EXPECT_NE(marker.find("\"result\":\"success\",\"errorMessage\":\"\""), std::string::npos)
      << marker;
  EXPECT_FALSE(pathExists(layout.staging));
  EXPECT_FALSE(pathExists(layout.journal));

  // The installation is the overlay of the new version on the old; the backup
  // is the whole old version, as the first complete backup made it.
  Files expected = versions().installed;
  for (const auto& [path, bytes] : versions().staged) expected[path] = bytes;
  const Files installed = filesOf(layout.install);
  const Files backup = filesOf(layout.backup);
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

// Calls 1 to 2,000 of a first run are the backup's copies.
TEST(KillAndRerun, KilledDuringTheBackup) {
  Tally tally;
  for (const int n : {1, 2, 201, 555, 900, 1234, 1500, 1777, 1999, kInstalled}) {
    SCOPED_TRACE("killed before call " + std::to_string(n));
    expectRerunConverges({n}, &tally);
    if (HasFatalFailure()) return;
  }
  report("backup", tally);
}

// Calls 2,001 to 4,000 are the swap's moves.
TEST(KillAndRerun, KilledDuringTheSwap) {
  Tally tally;
  for (const int move : {1, 2, 199, 500, 777, 1000, 1333, 1600, 1999, kStaged}) {
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
  expectRerunConverges({1000, kInstalled + 500, 700}, &tally);
  report("chain", tally);
}

// The update fails at its 1,000th move; the run is killed while it undoes
// the 999 it made (calls 3,001 on): each staged file goes back to staging and
// its old version comes back from the backup right after.
TEST(KillAndRerun, KilledWhileGivingStagedFilesBack) {
  Tally tally;
  for (const int n : {1, 500, 999}) {
    SCOPED_TRACE("killed before giving back file " + std::to_string(n));
    expectRerunConverges({kInstalled + 1000 + n}, &tally, 1000);
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
  for (const int n : {1, 1000, kInstalled}) {
    SCOPED_TRACE("killed before rollback move " + std::to_string(n));
    expectRerunConverges({kInstalled + 1000 + 999 + n}, &tally, 1000);
    if (HasFatalFailure() || IsSkipped()) return;
  }
  report("rollback", tally);
}

}  // namespace
