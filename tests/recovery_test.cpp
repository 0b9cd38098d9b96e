// What keeps an update recoverable beyond the single run: a failed update
// gives every staged file back before the rollback, an update stopped while
// moving files in is resumed without replacing its backup, and a backup
// directory that would reach into the staged version is refused.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
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
    bool undoing = false;
  };
  for (const Case& c : {Case{"no installation directory", "-", ""},
                        Case{"another installation directory", "other-app", ""},
                        Case{"an installation inside the journal's", "app/lib", ""},
                        Case{"an installation around the journal's", ".", ""},
                        Case{"a stopped undo of another installation", "other-app", "", true},
                        Case{"another staging directory", "", "other-staging"}}) {
    SCOPED_TRACE(c.what);
    Update update;
    stopHalfWay(update);
    if (c.undoing) writeFile(update.journal, readFile(update.journal) + "state: rolling back\n");
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

// The options of the run an Update makes.
UpdaterOptions optionsOf(const Update& update) {
  UpdaterOptions options{update.install, update.staging, update.backup, update.log, update.marker};
  options.idempotencyKey = "key-7";
  options.fromVersion = "1";
  options.toVersion = "2";
  return options;
}

// The update is complete: the new version installed, the old one in the
// backup, and no journal left.
void expectUpdated(const Update& update, const std::map<std::string, std::string>& oldVersion) {
  EXPECT_EQ(filesOf(update.install), kUpdated);
  EXPECT_EQ(filesOf(update.backup), oldVersion);
  EXPECT_FALSE(pathExists(update.journal));
}

// Runs the update and kills it outright just before its n-th copy or move
// (its four copies into the backup come first).
void runKilledAt(const Update& update, const char* n) {
  setTestVariable("VEXO_TEST_KILL_AT", n);
  update.run();
  setTestVariable("VEXO_TEST_KILL_AT", "");
}

// Runs started from now on refuse their n-th move out of staging (5).
void failMoveFromStaging(const Update& update, const char* n) {
  setTestVariable("VEXO_TEST_FAIL_MOVE_FROM", joinPath(update.staging, ""));
  setTestVariable("VEXO_TEST_FAIL_MOVE_AT", n);
  setTestVariable("VEXO_TEST_FAIL_MOVE_CODE", "5");
}

// Takes back every instruction to the test build.
void clearTestInstructions() {
  for (const char* variable :
       {"VEXO_TEST_KILL_AT", "VEXO_TEST_FAIL_MOVE_FROM", "VEXO_TEST_FAIL_MOVE_AT",
        "VEXO_TEST_FAIL_MOVE_CODE", "VEXO_TEST_FAIL_LOOKUP", "VEXO_TEST_FAIL_LOOKUP_WHILE",
        "VEXO_TEST_FAIL_LOOKUP_ONLY", "VEXO_TEST_KILL_BEFORE", "VEXO_TEST_PAUSE_AT",
        "VEXO_TEST_PAUSE_FILE", "VEXO_TEST_TRACE"}) {
    setTestVariable(variable, "");
  }
}

// Starts the update and returns once it has paused just before its
// pauseAt-th copy or move; removing the file *pause lets it go on.
Child startPaused(const Update& update, const UpdaterOptions& options, const char* pauseAt,
                  std::string* pause) {
  *pause = update.root / "paused";
  setTestVariable("VEXO_TEST_PAUSE_FILE", *pause);
  setTestVariable("VEXO_TEST_PAUSE_AT", pauseAt);
  Child child = startChild(updaterCommand(options));
  setTestVariable("VEXO_TEST_PAUSE_FILE", "");
  setTestVariable("VEXO_TEST_PAUSE_AT", "");
  for (int waited = 0; waited < 1000 && !pathExists(*pause); ++waited) sleepMs(10);
  return child;
}

// A second run for an installation or a backup directory that a first run
// holds is refused before it touches anything, wherever the first run is,
// and the first run finishes as if alone.
TEST(Recovery, SecondRunWhileTheFirstHoldsItsDirectoriesIsRefused) {
  struct Case {
    const char* name;
    const char* pauseAt;  // the first run's copies (4) and moves counted together
    bool otherInstallation;
    // Where both runs keep the backup, below the root, when not "backup";
    // and how the second run spells it.
    std::string backupAt = "";
    std::string secondSpelling = "";
  };
  const Case cases[] = {
      {"during the backup", "2", false},
      {"during the swap", "6", false},
      {"another installation, the same backup, during the swap", "6", true},
      {"another installation, the same backup in a folder made by the first run", "2", true,
       "nest/backup", "nest/./backup/"},
      {"another installation, the same backup spelled through \"..\"", "6", true, "",
       "staging/../backup"},
  };
  for (const Case& c : cases) {
    Update update;
    if (!c.backupAt.empty()) {
      update.backup = update.root / c.backupAt;
      update.journal = update.backup + ".pending";
    }
    const auto oldVersion = filesOf(update.install);
    std::string pause;
    Child first = startPaused(update, optionsOf(update), c.pauseAt, &pause);
    ASSERT_TRUE(pathExists(pause)) << c.name;

    const TempDir other;
    UpdaterOptions second = optionsOf(update);
    second.log = update.root / "second.log";
    second.marker = update.root / "second.json";
    if (c.otherInstallation) {
      second.install = other / "app";
      writeFile(joinPath(second.install, "VEXO.dat"), "other 1");
    }
    if (!c.secondSpelling.empty()) second.backup = update.root / c.secondSpelling;
    const auto backupBefore = snapshotTree(update.backup);
    EXPECT_EQ(runChild(updaterCommand(second)), 2) << c.name;
    const std::string held = c.otherInstallation ? "backup directory " + second.backup
                                                 : "installation directory " + update.install;
    EXPECT_NE(readFile(second.log)
                  .find("[vexo-updater] backup failed: another run of the "
                        "updater holds the " +
                        held),
              std::string::npos)
        << c.name << "\n"
        << readFile(second.log);
    EXPECT_NE(readFile(second.marker).find("\"errorMessage\":\"backup failed\""),
              std::string::npos);
    EXPECT_EQ(snapshotTree(update.backup), backupBefore) << c.name;
    if (c.otherInstallation) {
      EXPECT_EQ(readFile(joinPath(second.install, "VEXO.dat")), "other 1");
    }

    std::remove(pause.c_str());
    EXPECT_EQ(waitChild(first), 0) << c.name;
    EXPECT_EQ(filesOf(update.install), kUpdated) << c.name;
    EXPECT_EQ(filesOf(update.backup), oldVersion) << c.name;
    EXPECT_FALSE(pathExists(update.journal)) << c.name;
  }
}

// A run stopped in its swap is resumed only from the staging it listed: a
// staged file changed or added since (the host staged again) would make the
// installation a mix, so the rerun is refused before anything moves, and
// the journal keeps the old version safe in the backup.
TEST(Recovery, ResumeRefusesAStagingDirectoryThatChangedSinceTheJournal) {
  struct Case {
    const char* name;
    bool added;
    std::string bytes;  // what the host staged again
  };
  for (const Case& c : {Case{"a staged file changed", false, "2.0.1 bytes"},
                        Case{"a staged file changed, keeping its size", false, ""},
                        Case{"a staged file added", true, "2.0.1 bytes"}}) {
    const char* name = c.name;
    Update update;
    // The swap takes the last file of the listing last: it is still staged.
    const std::string changed =
        c.added ? "lib/extra.dll" : narrowOf(swapOrder(update.staging).back());
    const auto oldVersion = filesOf(update.install);
    // Four copies into the backup, then killed before the second move.
    runKilledAt(update, "6");
    ASSERT_TRUE(pathExists(update.journal)) << name;
    const std::string restaged = joinPath(update.staging, changed);
    const std::string bytes =
        c.bytes.empty() ? std::string(readFile(restaged).size(), '#') : c.bytes;
    writeFile(restaged, bytes);
    // A build of a later hour.
    std::filesystem::last_write_time(
        restaged, std::filesystem::last_write_time(restaged) + std::chrono::hours(1));
    const auto installBefore = filesOf(update.install);
    const auto stagedBefore = filesOf(update.staging);

    EXPECT_EQ(update.run(), 2) << name;
    EXPECT_NE(readFile(update.log)
                  .find("[vexo-updater] backup failed: staging directory " + update.staging +
                        " is not what the interrupted update in " + update.journal + " staged ("),
              std::string::npos)
        << name << "\n"
        << readFile(update.log);
    EXPECT_EQ(filesOf(update.install), installBefore) << name;
    EXPECT_EQ(filesOf(update.staging), stagedBefore) << name;
    EXPECT_EQ(filesOf(update.backup), oldVersion) << name;
    EXPECT_TRUE(pathExists(update.journal)) << name;
  }
}

// The journal names its directories so that they mean the same folders from
// any working directory: a rerun from elsewhere, with relative paths that
// name the same folders, resumes the stopped update.
TEST(Recovery, RerunFromAnotherWorkingDirectoryResumesTheSameFolders) {
  Update update;
  const auto oldVersion = filesOf(update.install);
  makeDirectories(update.root / "elsewhere");
  UpdaterOptions relative = optionsOf(update);
  relative.install = "app";
  relative.staging = "staging";
  relative.backup = "backup";
  setTestVariable("VEXO_TEST_KILL_AT", "6");
  runChild(updaterCommand(relative), update.root.path());
  clearTestInstructions();
  ASSERT_TRUE(pathExists(update.journal));

  for (std::string* dir : {&relative.install, &relative.staging, &relative.backup}) {
    *dir = joinPath("..", *dir);
  }
  EXPECT_EQ(runChild(updaterCommand(relative), update.root / "elsewhere"), 0)
      << readFile(update.log);
  expectUpdated(update, oldVersion);
}

// The undo begins only once the journal says so: if "rolling back" cannot
// be written, nothing leaves the backup, the run ends with status 3 and says
// why, and the journal, still "moving in", lets a later run finish.
TEST(Recovery, UndoThatCannotBeRecordedMovesNothingBack) {
  Update update;
  const auto oldVersion = filesOf(update.install);
  std::string pause;
  failMoveFromStaging(update, "3");
  Child first = startPaused(update, optionsOf(update), "6", &pause);
  clearTestInstructions();
  ASSERT_TRUE(pathExists(pause));
  {
    HeldFile journal(update.journal);
    if (!journal.held()) {
      std::remove(pause.c_str());
      waitChild(first);
      GTEST_SKIP() << "files cannot be held here";
    }
    std::remove(pause.c_str());
    EXPECT_EQ(waitChild(first), 3);
  }
  EXPECT_NE(
      readFile(update.marker).find("\"errorMessage\":\"rollback failed: cannot record the undo: "),
      std::string::npos)
      << readFile(update.marker);
  EXPECT_EQ(filesOf(update.backup), oldVersion);
  EXPECT_EQ(readFile(update.journal).find("state: rolling back"), std::string::npos);

  EXPECT_EQ(update.run(), 0) << readFile(update.log);
  expectUpdated(update, oldVersion);
}

// A journal whose list is complete but whose first state line is missing
// was cut short in its first write, before any file moved: it counts as no
// journal, and the run starts afresh.
TEST(Recovery, JournalWithoutItsStateLineCountsAsNone) {
  Update update;
  const auto oldVersion = filesOf(update.install);
  for (const auto& [path, contents] : oldVersion) {
    writeFile(joinPath(update.backup, path), "an older backup");
  }
  writeJournal(update, {}, update.install, update.staging);
  EXPECT_EQ(update.run(), 0) << readFile(update.log);
  expectUpdated(update, oldVersion);
}

// Names the journal escapes (%, and natively CR and LF) come back exactly:
// a run killed in its swap is resumed file for file.
TEST(Recovery, KilledUpdateOfNamesTheJournalEscapesResumes) {
  Update update;
  const auto oldVersion = filesOf(update.install);
  std::vector<std::string> names = {"100%.txt", "%0A%25.txt", "lib/%0D"};
#ifndef _WIN32
  names.push_back("line\nbreak.txt");
  names.push_back("carriage\rreturn.txt");
#endif
  for (const std::string& name : names) writeFile(joinPath(update.staging, name), name);
  auto expected = kUpdated;
  for (const std::string& name : names) expected[name] = name;
  // Four copies into the backup, then killed before the third move.
  runKilledAt(update, "7");
  ASSERT_TRUE(pathExists(update.journal));

  EXPECT_EQ(update.run(), 0) << readFile(update.log);
  EXPECT_EQ(filesOf(update.install), expected);
  EXPECT_EQ(filesOf(update.backup), oldVersion);
  EXPECT_FALSE(pathExists(update.journal));
}

// Only "not there" means absent: a staged file the undo cannot look at is
// neither passed over nor overwritten with the old version. The undo stops
// before it with the system's code, and a rerun finishes once it can look.
TEST(Recovery, UndoStopsAtAStagedFileItCannotLookAt) {
  Update update;
  const auto oldVersion = filesOf(update.install);
  const auto stagedVersion = filesOf(update.staging);
  // The swap fails at its third move; the last file stays staged.
  const std::string last = narrowOf(swapOrder(update.staging).back());
  const std::string unseen = joinPath(update.staging, last);
  const std::string trigger = update.root / "lookups-fail";
  failMoveFromStaging(update, "3");
  setTestVariable("VEXO_TEST_FAIL_LOOKUP", unseen);
  setTestVariable("VEXO_TEST_FAIL_LOOKUP_WHILE", trigger);
  std::string pause;
  Child first = startPaused(update, optionsOf(update), "6", &pause);
  clearTestInstructions();
  writeFile(trigger, "");
  std::remove(pause.c_str());
  EXPECT_EQ(waitChild(first), 3);
  const std::string marker = readFile(update.marker);
  EXPECT_NE(marker.find("rollback failed: swap exception: "), std::string::npos) << marker;
  EXPECT_NE(marker.find("status(" + jsonEscaped(unseen) + ") err=5"), std::string::npos) << marker;
  EXPECT_EQ(readFile(unseen), stagedVersion.at(last));
  EXPECT_EQ(filesLost(oldVersion, stagedVersion, update.install, update.staging, update.backup),
            std::vector<std::string>{});

  std::remove(trigger.c_str());
  EXPECT_EQ(update.run(), 0) << readFile(update.log);
  expectUpdated(update, oldVersion);
}

// Every step that decides what a power cut leaves reaches the disk in the
// order the journal relies on, on every road through a run: the test build
// traces the system calls, and each row is one road.
TEST(Recovery, EveryRoadMakesItsStepsDurableInTheOrderTheJournalNeeds) {
  enum class Road { kUpdate, kRollback, kResumed, kStagingOnAnotherFileSystem };
  const std::pair<Road, const char*> roads[] = {
      {Road::kUpdate, "update"},
      {Road::kRollback, "rollback"},
      {Road::kResumed, "update resumed after a kill"},
      {Road::kStagingOnAnotherFileSystem, "staging on another file system"},
  };
  for (const auto& [road, name] : roads) {
    Update update;
    const TempDir disk(Medium::kDisk);
    if (road == Road::kStagingOnAnotherFileSystem) {
      writeTree(disk / "staging", filesOf(update.staging));
      update.staging = disk / "staging";
    }
    if (road == Road::kResumed) {
      // Four copies into the backup, then killed before the second move.
      runKilledAt(update, "6");
    }
    if (road == Road::kRollback) {
      failMoveFromStaging(update, "3");
    }
    const std::string trace = update.root / "trace";
    setTestVariable("VEXO_TEST_TRACE", trace);
    EXPECT_EQ(update.run(), 0) << name;
    clearTestInstructions();

    const std::string text = readFile(trace);
    // A trace without moves or the marker would vouch for nothing.
    EXPECT_NE(text.find("move\t"), std::string::npos) << name;
    EXPECT_NE(text.find("marker\t"), std::string::npos) << name;
    const UpdaterOptions options{update.install, update.staging, update.backup, update.log,
                                 update.marker};
    EXPECT_EQ(durabilityFaults(text, options), std::vector<std::string>{}) << name << "\n" << text;
  }
}

}  // namespace

namespace {

const std::map<std::string, std::string> kOld = {{"VEXO.dat", "vexo 1"},
                                                 {"docs/readme.txt", "readme 1"},
                                                 {"lib/core.dll", "core 1"},
                                                 {"lib/old-only.dll", "old only"}};

// How an interrupted update must end: the last run's status and marker, the
// installation it leaves, and whether the journal stays for a later run.
struct Ending {
  int status;
  const char* result;
  std::map<std::string, std::string> installed;
  bool journalStays = false;
  // The version every file of which is in the installation or the backup.
  std::map<std::string, std::string> kept = kOld;
};

// The last staged file the swap takes that has an old version: a swap stopped
// before its second move has not reached it.
std::string notYetMoved(const Update& update) {
  std::string last;
  for (const auto& file : swapOrder(update.staging)) {
    if (kOld.count(narrowOf(file)) != 0) last = narrowOf(file);
  }
  return last;
}

// One interruption: what stops a run, what changes before the next one, and
// that run; returns the status of the run whose ending counts.
struct Interruption {
  const char* name;
  std::function<int(Update&)> scenario;
  Ending ending;
  // Then a plain rerun must install the new version over the old one.
  bool rerunUpdates = false;
  // Where the staging directory lies, and the installation: by default both
  // in memory, beside the backup.
  bool stagingOnTheDisk = false;
  bool installationKeepsWholeSeconds = false;
};

}  // namespace

// Every interruption ends whole and true: the installation is one version
// (or, with the journal kept, nothing is lost and a later run finishes), the
// marker says which, and no rerun is refused for traces of the updater's own.
TEST(Recovery, InterruptedUpdatesEndWholeTrueAndUnstuck) {
  const Ending kRolledBack{0, "rollback", kOld};
  const Ending kRefusedKept{2, "error", {}, true};
  const std::vector<Interruption> rows = {
      {"one lookup of the backup directory fails in the rerun, whichever it is",
       [](Update& u) {
         // Stopped in the swap, the backup holds the only copy of the old
         // version. Each rerun refuses one lookup of the backup directory:
         // the first, then the second, and so on, until none is left.
         for (int n = 1;; ++n) {
           SCOPED_TRACE("lookup " + std::to_string(n) + " refused");
           Update update;
           runKilledAt(update, "6");
           const std::string trace = update.root / "trace";
           setTestVariable("VEXO_TEST_FAIL_LOOKUP", update.backup);
           setTestVariable("VEXO_TEST_FAIL_LOOKUP_ONLY", std::to_string(n));
           setTestVariable("VEXO_TEST_TRACE", trace);
           const int status = update.run();
           clearTestInstructions();
           EXPECT_EQ(filesLost(kOld, {}, update.install, update.staging, update.backup),
                     std::vector<std::string>{});
           if (readFile(trace).find("refused\t") == std::string::npos) break;
           // Refused before anything moved, the journal kept; or ended whole,
           // the new version or the old, as the marker says (a journal left
           // after the marker is over, and the next run ends it).
           if (status == 2) {
             EXPECT_TRUE(pathExists(update.journal));
           } else {
             EXPECT_EQ(status, 0);
             const std::string result = markerFields(readFile(update.marker)).result;
             EXPECT_EQ(filesOf(update.install), result == "success" ? kUpdated : kOld) << result;
           }
         }
         runKilledAt(u, "6");
         return u.run();
       },
       {0, "success", kUpdated}},
      {"the rerun spells the backup directory with a trailing \".\"",
       [](Update& u) {
         runKilledAt(u, "6");
         UpdaterOptions options = optionsOf(u);
         options.backup = joinPath(u.backup, ".");
         return runChild(updaterCommand(options));
       },
       {0, "success", kUpdated}},
      {"a rollback with the backup directory spelled with a trailing \".\"",
       [](Update& u) {
         failMoveFromStaging(u, "3");
         UpdaterOptions options = optionsOf(u);
         options.backup = joinPath(u.backup, ".");
         const int status = runChild(updaterCommand(options));
         clearTestInstructions();
         return status;
       },
       kRolledBack},
      {"a staged file not yet moved vanishes before the rerun",
       [](Update& u) {
         runKilledAt(u, "6");
         std::remove(joinPath(u.staging, notYetMoved(u)).c_str());
         return u.run();
       },
       kRolledBack},
      {"a staged file with an old version vanishes during the swap",
       [](Update& u) {
         std::string pause;
         Child run = startPaused(u, optionsOf(u), "6", &pause);
         std::remove(joinPath(u.staging, notYetMoved(u)).c_str());
         std::remove(pause.c_str());
         return waitChild(run);
       },
       kRolledBack},
      {"a staged file new in this version vanishes during the swap",
       [](Update& u) {
         std::string pause;
         Child run = startPaused(u, optionsOf(u), "5", &pause);
         std::remove(joinPath(u.staging, "lib/new-only.dll").c_str());
         std::remove(pause.c_str());
         return waitChild(run);
       },
       kRolledBack},
      {"cut after the success marker, then the next version is staged",
       [](Update& u) {
         setTestVariable("VEXO_TEST_KILL_BEFORE", "end-journal:1");
         u.run();
         clearTestInstructions();
         writeTree(u.staging, {{"VEXO.dat", "vexo 3"}, {"lib/core.dll", "core 3"}});
         return u.run();
       },
       {0,
        "success",
        {{"VEXO.dat", "vexo 3"},
         {"docs/readme.txt", "readme 2"},
         {"lib/core.dll", "core 3"},
         {"lib/new-only.dll", "new only"},
         {"lib/old-only.dll", "old only"}},
        false,
        kUpdated}},
      {"a hold let go within a second, as the host's check lets it go",
       [](Update& u) {
         const std::string ready = u.root / "held";
         Child holder = startChild(
             {programPath("vexo-test-helper"), "hold-directory", u.backup, ready, "400"});
         for (int i = 0; i < 3000 && !pathExists(ready); ++i) sleepMs(10);
         const int status = u.run();
         waitChild(holder);
         return status;
       },
       {0, "success", kUpdated}},
      {"the undo across file systems is cut before it renames a file given back",
       [](Update& u) {
         failMoveFromStaging(u, "3");
         // The update's two moves in, then the first file given back.
         setTestVariable("VEXO_TEST_KILL_BEFORE", "temporary-rename:3");
         u.run();
         clearTestInstructions();
         return u.run();
       },
       {0, "success", kUpdated},
       false,
       true},
      {"the undo is cut after a file went back through a file system of whole seconds",
       [](Update& u) {
         failMoveFromStaging(u, "3");
         // The first file given back, and the move of its old version in.
         setTestVariable("VEXO_TEST_KILL_BEFORE", "temporary-rename:4");
         u.run();
         clearTestInstructions();
         return u.run();
       },
       {0, "success", kUpdated},
       false,
       false,
       true},
  };
  for (const Interruption& row : rows) {
    SCOPED_TRACE(row.name);
    Update update;
    const TempDir disk(Medium::kDisk);
    if (row.stagingOnTheDisk) {
      writeTree(disk / "staging", filesOf(update.staging));
      update.staging = disk / "staging";
    }
    std::unique_ptr<SmallVolume> volume;
    if (row.installationKeepsWholeSeconds) {
      volume = std::make_unique<SmallVolume>(update.root / "volume", "16m",
                                             VolumeKind::kWholeSecondTimes);
      if (!volume->mounted()) {
        std::printf("[ skip ] %s: cannot mount a loop device here\n", row.name);
        continue;
      }
      writeTree(update.root / "volume/app", filesOf(update.install));
      update.install = update.root / "volume/app";
    }
    const auto staged = filesOf(update.staging);
    EXPECT_EQ(row.scenario(update), row.ending.status);
    EXPECT_EQ(markerFields(readFile(update.marker)).result, row.ending.result);
    if (!row.ending.journalStays) {
      EXPECT_EQ(filesOf(update.install), row.ending.installed);
    }
    EXPECT_EQ(pathExists(update.journal), row.ending.journalStays);
    EXPECT_EQ(filesLost(row.ending.kept, {}, update.install, update.staging, update.backup),
              std::vector<std::string>{});
    EXPECT_FALSE(pathExists(joinPath(update.install, "..pending")));
    if (row.ending.result == std::string("rollback")) {
      // Staging holds the staged files, and only those (no old version given
      // back in a vanished file's place).
      for (const auto& [path, bytes] : filesOf(update.staging)) {
        EXPECT_EQ(staged.at(path), bytes) << path;
      }
    }
    if (row.rerunUpdates) {
      EXPECT_EQ(update.run(), 0) << readFile(update.log);
      expectUpdated(update, kOld);
    }
    // Nothing of the updater's own is left behind under a temporary name.
    for (const std::string& tree : {update.install, update.staging}) {
      for (const auto& [path, bytes] : snapshotTree(tree)) {
        EXPECT_EQ(path.find(".vexo-"), std::string::npos) << tree << ": " << path;
      }
    }
  }
}
