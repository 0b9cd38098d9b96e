// What keeps an update recoverable beyond the single run: a failed update
// gives every staged file back before the rollback, an update stopped while
// moving files in is resumed without replacing its backup, and a backup
// directory that would reach into the staged version is refused.
#include <gtest/gtest.h>

#include <cstdlib>
#include <map>
#include <string>
#include <vector>

#include "support/run_support.h"
#include "support/test_support.h"

namespace {

struct Update {
  TempDir root;
  std::string install = root / "app";
  std::string staging = root / "staging";
  std::string backup = root / "backup";
  std::string log = root / "updater.log";
  std::string marker = root / "marker.json";
  std::string journal = root / "backup.pending";

  Update() {
    writeFile(joinPath(install, "VEXO.dat"), "vexo 1");
    writeFile(joinPath(install, "lib/core.dll"), "core 1");
    writeFile(joinPath(install, "lib/old-only.dll"), "old only");
    writeFile(joinPath(install, "docs/readme.txt"), "readme 1");
    writeFile(joinPath(staging, "VEXO.dat"), "vexo 2");
    writeFile(joinPath(staging, "lib/core.dll"), "core 2");
    writeFile(joinPath(staging, "lib/new-only.dll"), "new only");
    writeFile(joinPath(staging, "docs/readme.txt"), "readme 2");
  }

  int run(const std::string& key = "key-7") const {
    UpdaterOptions options{install, staging, backup, log, marker};
    options.idempotencyKey = key;
    options.fromVersion = "1";
    options.toVersion = "2";
    return runChild(updaterCommand(options));
  }
};

TEST(Recovery, BackupReachingIntoTheStagedVersionIsRefused) {
  struct Case {
    const char* backup;  // relative to the staging directory's parent
    const char* words;
  };
  const Case cases[] = {
      {"staging", "is the staging directory"},
      {"staging/backup", "lies inside the staging directory"},
      {"", "contains the staging directory"},
  };
  for (const Case& c : cases) {
    Update update;
    // The installation lives elsewhere so that only the staging overlap is in play.
    const TempDir elsewhere;
    const std::string install = elsewhere / "app";
    writeFile(joinPath(install, "VEXO.dat"), "vexo 1");
    const std::string backup = c.backup[0] == '\0' ? update.root.path() : update.root / c.backup;
    const auto stagedBefore = filesOf(update.staging);
    const int status =
        runChild(updaterCommand({install, update.staging, backup, update.log, update.marker}));
    EXPECT_EQ(status, 2) << c.backup;
    EXPECT_NE(readFile(update.log).find(c.words), std::string::npos) << readFile(update.log);
    EXPECT_NE(readFile(update.log).find("[vexo-updater] FAIL: backup"), std::string::npos);
    EXPECT_EQ(filesOf(update.staging), stagedBefore) << c.backup;
    EXPECT_EQ(readFile(joinPath(install, "VEXO.dat")), "vexo 1");
  }
}

TEST(Recovery, FailedUpdateGivesEveryStagedFileBackAndRestoresTheInstallationExactly) {
  Update update;
  // A plain file where the staged version needs a folder stops the swap at
  // whatever point the listing reaches it.
  writeFile(joinPath(update.install, "data"), "a file, not a folder");
  writeFile(joinPath(update.staging, "data/settings.ini"), "settings 2");
  const auto installedBefore = filesOf(update.install);
  const auto stagedBefore = filesOf(update.staging);

  EXPECT_EQ(update.run(), 0);
  EXPECT_NE(readFile(update.marker).find("\"result\":\"rollback\""), std::string::npos);
  // The installation is the old version, nothing more (no staged file stays
  // behind in it), and staging still holds the whole new version.
  EXPECT_EQ(filesOf(update.install), installedBefore);
  EXPECT_EQ(filesOf(update.staging), stagedBefore);
  EXPECT_TRUE(filesOf(update.backup).empty());
  EXPECT_FALSE(pathExists(update.journal));
}

TEST(Recovery, SuccessfulUpdateLeavesNoJournal) {
  Update update;
  EXPECT_EQ(update.run(), 0);
  EXPECT_EQ(readFile(joinPath(update.install, "lib/core.dll")), "core 2");
  EXPECT_FALSE(pathExists(update.journal));
  EXPECT_EQ(readFile(joinPath(update.backup, "lib/core.dll")), "core 1");
}

// The journal a stopped run leaves: its directories and key, every staged
// file in the order its swap takes them, and its states.
void writeJournal(const Update& update, const std::vector<std::string>& states,
                  const std::string& installDir, const std::string& stagingDir) {
  std::string text =
      "vexo-updater update journal\nidempotencyKey: key-7\ninstallDir: " + installDir +
      "\nstagingDir: " + stagingDir + "\nfiles:\n";
  for (const auto& file : swapOrder(update.staging)) text += joinPath("", narrowOf(file)) + "\n";
  text += "\n";
  for (const std::string& state : states) text += "state: " + state + "\n";
  writeFile(update.journal, text);
}

// The state a run leaves when it is stopped half way through moving files in:
// a complete backup, its journal, some staged files already installed.
void stopHalfWay(const Update& update) {
  for (const auto& [path, contents] : filesOf(update.install)) {
    writeFile(joinPath(update.backup, path), contents);
  }
  writeJournal(update, {"moving staged files in"}, update.install, update.staging);
  for (const char* moved : {"VEXO.dat", "lib/core.dll"}) {
    writeFile(joinPath(update.install, moved), readFile(joinPath(update.staging, moved)));
    std::remove(joinPath(update.staging, moved).c_str());
  }
}

const std::map<std::string, std::string> kUpdated = {{"VEXO.dat", "vexo 2"},
                                                     {"docs/readme.txt", "readme 2"},
                                                     {"lib/core.dll", "core 2"},
                                                     {"lib/new-only.dll", "new only"},
                                                     {"lib/old-only.dll", "old only"}};

TEST(Recovery, RerunAfterAStopInTheSwapKeepsTheBackupAndFinishes) {
  // The key does not matter: a host may retry with a new one, and the backup
  // is the only complete copy of the old version either way. A state line
  // cut short while it was being added does not count: the undo had not
  // begun.
  for (const char* key : {"key-7", "a-new-key", "torn"}) {
    Update update;
    const auto oldVersion = filesOf(update.install);
    stopHalfWay(update);
    if (std::string(key) == "torn") {
      writeFile(update.journal, readFile(update.journal) + "state: rolling ba");
    }

    EXPECT_EQ(update.run(key), 0) << key;
    EXPECT_EQ(filesOf(update.backup), oldVersion) << key;
    EXPECT_EQ(filesOf(update.install), kUpdated) << key;
    EXPECT_FALSE(pathExists(update.journal)) << key;
    EXPECT_FALSE(pathExists(update.staging)) << key;
  }
}

// The resumed swap fails too: the undo must give back what the stopped run
// moved in as well, or the rollback would overwrite those staged files.
TEST(Recovery, ResumedSwapThatFailsRollsBackEveryFileOfBothRuns) {
  Update update;
  // A plain file where the staged version needs a folder stops the swap.
  writeFile(joinPath(update.install, "data"), "a file, not a folder");
  writeFile(joinPath(update.staging, "data/settings.ini"), "settings 2");
  const auto oldVersion = filesOf(update.install);
  const auto stagedVersion = filesOf(update.staging);
  stopHalfWay(update);

  EXPECT_EQ(update.run(), 0);
  EXPECT_NE(readFile(update.marker).find("\"result\":\"rollback\""), std::string::npos);
  EXPECT_EQ(filesOf(update.install), oldVersion);
  EXPECT_EQ(filesOf(update.staging), stagedVersion);
  EXPECT_TRUE(filesOf(update.backup).empty());
  EXPECT_FALSE(pathExists(update.journal));
}

TEST(Recovery, RerunAfterAStopInTheRollbackFinishesItThenUpdates) {
  Update update;
  const auto oldVersion = filesOf(update.install);
  for (const auto& [path, contents] : oldVersion) {
    writeFile(joinPath(update.backup, path), contents);
  }
  writeJournal(update, {"moving staged files in", "rolling back"}, update.install, update.staging);
  // Stopped in the undo: core.dll given back and its old version in place;
  // VEXO.dat given back, its place empty; readme.txt and the new-only file
  // still moved in.
  std::remove(joinPath(update.backup, "lib/core.dll").c_str());
  std::remove(joinPath(update.install, "VEXO.dat").c_str());
  for (const char* moved : {"docs/readme.txt", "lib/new-only.dll"}) {
    writeFile(joinPath(update.install, moved), readFile(joinPath(update.staging, moved)));
    std::remove(joinPath(update.staging, moved).c_str());
  }

  EXPECT_EQ(update.run(), 0);
  EXPECT_NE(readFile(update.marker).find("\"result\":\"success\""), std::string::npos);
  EXPECT_EQ(filesOf(update.backup), oldVersion);
  EXPECT_EQ(filesOf(update.install), kUpdated);
  EXPECT_FALSE(pathExists(update.journal));
}

// A journal resumes only its own update; anything else is refused before a
// file moves, and the journal stays for the run it belongs to.
TEST(Recovery, JournalOfAnotherUpdateIsRefusedAndKept) {
  struct Case {
    const char* what;
    std::string installDir;  // "" for the update's own
    std::string stagingDir;
  };
  for (const Case& c : {Case{"no installation directory", "-", ""},
                        Case{"another installation directory", "other-app", ""},
                        Case{"another staging directory", "", "other-staging"}}) {
    SCOPED_TRACE(c.what);
    Update update;
    stopHalfWay(update);
    const std::string journal = readFile(update.journal);
    const auto before = snapshotTree(update.root.path());
    UpdaterOptions options{update.install, update.staging, update.backup, update.log,
                           update.marker};
    if (c.installDir == "-") options.install = "";
    if (!c.installDir.empty() && c.installDir != "-") {
      options.install = update.root / c.installDir;
      makeDirectories(options.install);
    }
    if (!c.stagingDir.empty()) {
      options.staging = update.root / c.stagingDir;
      makeDirectories(options.staging);
    }

    EXPECT_EQ(runChild(updaterCommand(options)), 2);
    EXPECT_NE(readFile(update.log).find("[vexo-updater] backup failed: the interrupted update in "),
              std::string::npos)
        << readFile(update.log);
    EXPECT_NE(readFile(update.marker).find("\"errorMessage\":\"backup failed\""),
              std::string::npos);
    auto after = snapshotTree(update.root.path());
    for (const char* made : {"updater.log", "marker.json", "other-app", "other-staging"}) {
      after.erase(made);
    }
    EXPECT_EQ(after, before);
    EXPECT_EQ(readFile(update.journal), journal);
  }
}

TEST(Recovery, WhatIsNotAJournalNeitherStopsABackupNorIsOverwritten) {
  {
    // A journal whose backup has gone protects nothing.
    Update update;
    writeJournal(update, {"moving staged files in"}, update.install, update.staging);
    const auto oldVersion = filesOf(update.install);
    EXPECT_EQ(update.run(), 0);
    EXPECT_EQ(filesOf(update.backup), oldVersion);
    EXPECT_FALSE(pathExists(update.journal));
  }
  // A journal cut short in its first write (before any file moves) is no
  // journal; someone's file, or a journal this updater cannot read, is
  // neither taken for one nor written over: nothing is touched.
  const std::string head = "vexo-updater update journal\nidempotencyKey: key-7\n";
  for (const auto& [text, status] : std::vector<std::pair<std::string, int>>{
           {"", 0},
           {"vexo-updater upd", 0},
           {head + "installDir: x\nstagingDir: y\nfiles:\nVEXO.dat\n", 0},
           {"notes of mine", 2},
           {"vexo-updater update journal\nstate: moving staged files in\n", 2}}) {
    SCOPED_TRACE(text);
    Update update;
    writeTree(update.backup, {{"stale.dll", "an earlier backup"}});
    writeFile(update.journal, text);
    const auto before = snapshotTree(update.root.path());
    EXPECT_EQ(update.run(), status);
    if (status == 0) {
      EXPECT_EQ(filesOf(update.install), kUpdated);
      EXPECT_FALSE(pathExists(update.journal));
      continue;
    }
    EXPECT_NE(readFile(update.log).find("cannot record the update in progress"), std::string::npos);
    auto after = snapshotTree(update.root.path());
    after.erase("updater.log");
    after.erase("marker.json");
    EXPECT_EQ(after, before);
  }
}

// An installed file that can be neither replaced nor moved back stops the
// update and then the rollback. The journal stays, so that a rerun cannot
// replace the backup; a rerun that meets the obstacle again stops the same
// way and keeps it still; once the obstacle is gone a rerun finishes.
TEST(Recovery, FailedRollbackKeepsTheJournalUntilARerunFinishesIt) {
  Update update;
  const auto oldVersion = filesOf(update.install);
  HeldFile held(joinPath(update.install, "docs/readme.txt"));
  if (!held.held()) GTEST_SKIP() << "files cannot be held here";
  EXPECT_EQ(update.run(), 3);
  const std::string stopped = "MoveFileEx(readme.txt) err=5 (file locked)";
  EXPECT_NE(readFile(update.marker).find("rollback failed: " + stopped), std::string::npos)
      << readFile(update.marker);
  EXPECT_NE(readFile(update.journal).find("state: rolling back"), std::string::npos);

  EXPECT_EQ(update.run(), 3);
  EXPECT_NE(readFile(update.log)
                .find("[vexo-updater] FAIL: rollback of an interrupted update (" + stopped + ")"),
            std::string::npos)
      << readFile(update.log);
  EXPECT_NE(readFile(update.journal).find("state: rolling back"), std::string::npos);
  // Every old file is still somewhere, byte for byte.
  EXPECT_EQ(filesLost(oldVersion, {}, update.install, update.staging, update.backup),
            std::vector<std::string>{});

  held.release();
  EXPECT_EQ(update.run(), 0);
  EXPECT_EQ(filesOf(update.install), kUpdated);
  EXPECT_EQ(filesOf(update.backup), oldVersion);
  EXPECT_FALSE(pathExists(update.journal));
}

}  // namespace
