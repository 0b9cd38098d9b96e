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
        runChild({programPath("vexo-updater"), "--install-dir", install, "--staging-dir",
                  update.staging, "--backup-dir", backup, "--log", update.log, "--applied-marker",
                  update.marker, "--vexo-pid", kNoProcess});
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

// The state a run leaves when it is stopped half way through moving files in:
// a complete backup, its journal, some staged files already installed.
void stopHalfWay(const Update& update, const std::string& key) {
  for (const auto& [path, contents] : filesOf(update.install)) {
    writeFile(joinPath(update.backup, path), contents);
  }
  writeFile(update.journal,
            "vexo-updater update journal\nstate: moving staged files in\n"
            "idempotencyKey: " +
                key + "\n");
  for (const char* moved : {"VEXO.dat", "lib/core.dll"}) {
    writeFile(joinPath(update.install, moved), readFile(joinPath(update.staging, moved)));
    std::remove(joinPath(update.staging, moved).c_str());
  }
}

TEST(Recovery, RerunAfterAStopInTheSwapKeepsTheBackupAndFinishes) {
  // The key does not matter: a host may retry with a new one, and the backup
  // is the only complete copy of the old version either way.
  for (const char* key : {"key-7", "a-new-key"}) {
    Update update;
    const auto oldVersion = filesOf(update.install);
    stopHalfWay(update, "key-7");

    EXPECT_EQ(update.run(key), 0) << key;
    EXPECT_EQ(filesOf(update.backup), oldVersion) << key;
    EXPECT_EQ(filesOf(update.install),
              (std::map<std::string, std::string>{{"VEXO.dat", "vexo 2"},
                                                  {"docs/readme.txt", "readme 2"},
                                                  {"lib/core.dll", "core 2"},
                                                  {"lib/new-only.dll", "new only"},
                                                  {"lib/old-only.dll", "old only"}}))
        << key;
    EXPECT_FALSE(pathExists(update.journal)) << key;
    EXPECT_FALSE(pathExists(update.staging)) << key;
  }
}

TEST(Recovery, RerunAfterAStopInTheRollbackFinishesItThenUpdates) {
  Update update;
  const auto oldVersion = filesOf(update.install);
  // Stopped with half the backup moved back: the staged files were given
  // back, core.dll is back in place, readme.txt still only in the backup.
  for (const auto& [path, contents] : oldVersion) {
    writeFile(joinPath(update.backup, path), contents);
  }
  writeFile(joinPath(update.install, "docs/readme.txt"), "readme 2");
  std::remove(joinPath(update.backup, "lib/core.dll").c_str());
  writeFile(update.journal,
            "vexo-updater update journal\nstate: rolling back\nidempotencyKey: key-7\n");

  EXPECT_EQ(update.run(), 0);
  EXPECT_NE(readFile(update.marker).find("\"result\":\"success\""), std::string::npos);
  EXPECT_EQ(filesOf(update.backup), oldVersion);
  EXPECT_EQ(readFile(joinPath(update.install, "lib/core.dll")), "core 2");
  EXPECT_FALSE(pathExists(update.journal));
}

TEST(Recovery, WhatIsNotAJournalNeitherStopsABackupNorIsOverwritten) {
  {
    // A journal whose backup has gone protects nothing.
    Update update;
    writeFile(update.journal, "vexo-updater update journal\nstate: moving staged files in\n");
    const auto oldVersion = filesOf(update.install);
    EXPECT_EQ(update.run(), 0);
    EXPECT_EQ(filesOf(update.backup), oldVersion);
    EXPECT_FALSE(pathExists(update.journal));
  }
  {
    // Someone's file at the journal's place is neither taken for a journal
    // nor written over: the run stops before it moves anything.
    Update update;
    makeDirectories(update.backup);
    writeFile(update.journal, "notes of mine");
    const auto oldVersion = filesOf(update.install);
    EXPECT_EQ(update.run(), 2);
    EXPECT_EQ(readFile(update.journal), "notes of mine");
    EXPECT_EQ(filesOf(update.install), oldVersion);
    EXPECT_NE(readFile(update.log).find("cannot record the update in progress"), std::string::npos);
  }
}

TEST(Recovery, FailedRollbackKeepsTheJournalSoARerunCannotReplaceTheBackup) {
#ifdef _WIN32
  GTEST_SKIP() << "a file the rollback cannot replace is made with chattr natively";
#else
  Update update;
  const std::string locked = joinPath(update.install, "docs/readme.txt");
  if (std::system(("chattr +i '" + locked + "' 2>/dev/null").c_str()) != 0) {
    GTEST_SKIP() << "chattr +i is not supported here";
  }
  EXPECT_EQ(update.run(), 3);
  std::system(("chattr -i '" + locked + "'").c_str());
  EXPECT_NE(readFile(update.journal).find("state: rolling back"), std::string::npos);
  // Every old file is still somewhere, byte for byte.
  const auto backup = filesOf(update.backup);
  const auto install = filesOf(update.install);
  for (const auto& [path, contents] :
       std::map<std::string, std::string>{{"VEXO.dat", "vexo 1"},
                                          {"lib/core.dll", "core 1"},
                                          {"lib/old-only.dll", "old only"},
                                          {"docs/readme.txt", "readme 1"}}) {
    const bool inBackup = backup.count(path) != 0 && backup.at(path) == contents;
    const bool installed = install.count(path) != 0 && install.at(path) == contents;
    EXPECT_TRUE(inBackup || installed) << path;
  }
#endif
}

}  // namespace
