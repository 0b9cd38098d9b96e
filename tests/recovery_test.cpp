// What keeps an update recoverable beyond the single run: a failed update
// gives every staged file back before the rollback, an update stopped or cut
// anywhere is resumed or undone without replacing its backup, a journal that
// is not this update's is refused and kept, a second run is kept out while
// the first holds its directories, and every step reaches the disk in the
// order the journal relies on. Each row is one road through a run or several.
#include <gtest/gtest.h>

#include <cctype>
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

namespace fs = std::filesystem;

// The installation after the update.
Tree updated() { return overlay(kOldVersion, kNewVersion); }
// A plain file where the staged version needs a folder stops the swap at
// whatever point the listing reaches it.
const Tree kBlocker = {{"data", "a file, not a folder"}};
// What a scenario returns when this machine cannot make it.
constexpr int kCannot = -100;

// Files whose names the journal escapes (%, and natively CR and LF), each
// holding its name.
Tree escapedNames() {
  Tree names;
  for (const char* name : {"100%.txt", "%0A%25.txt", "lib/%0D",
#ifndef _WIN32
                           "line\nbreak.txt", "carriage\rreturn.txt"
#endif
       }) {
    names[name] = name;
  }
  return names;
}

// The journal a stopped run leaves: its directories and key, every staged
// file in the order its swap takes them, and its states.
void writeJournal(const UpdateSite& u, const std::vector<std::string>& states) {
  std::string text =
      "vexo-updater update journal\nidempotencyKey: " + std::string(kIdempotencyKey) +
      "\ninstallDir: " + u.install + "\nstagingDir: " + u.staging + "\nfiles:\n";
  for (const auto& file : swapOrder(u.staging)) text += joinPath("", narrowOf(file)) + "\n";
  text += "\n";
  for (const std::string& state : states) text += "state: " + state + "\n";
  writeFile(u.journal(), text);
}

void writeBackup(const UpdateSite& u) { writeTree(u.backup, filesOf(u.install)); }

// The state a run leaves when it is stopped half way through moving files
// in: a complete backup, its journal, some staged files already installed.
void stopHalfWay(const UpdateSite& u) {
  writeBackup(u);
  writeJournal(u, {"moving staged files in"});
  for (const char* moved : {"VEXO.exe", "lib/core.dll"}) {
    writeFile(joinPath(u.install, moved), readFile(joinPath(u.staging, moved)));
    fs::remove(joinPath(u.staging, moved));
  }
}

// A swap that fails at the blocker, after a stop half way when stopFirst: no
// staged file stays behind in the installation, staging still holds the
// whole new version, and the backup is gone. Returns the run's status.
int runFailingSwap(UpdateSite& u, bool stopFirst) {
  writeTree(u.install, kBlocker);
  writeFile(joinPath(u.staging, "data/settings.ini"), "settings 2");
  const Tree staged = filesOf(u.staging);
  if (stopFirst) stopHalfWay(u);
  const int status = u.run();
  EXPECT_EQ(filesOf(u.staging), staged);
  EXPECT_TRUE(filesOf(u.backup).empty());
  return status;
}

// Runs the update and kills it outright just before its n-th copy or move
// (its four copies into the backup come first).
void runKilledAt(const UpdateSite& u, std::size_t n) {
  killBeforeCall(n);
  u.run();
  clearTestInstructions();
}

// The update started and paused just before its n-th copy or move.
Child startPausedAt(const UpdateSite& u, const UpdaterOptions& options, std::size_t n) {
  return startPaused(updaterCommand(options), n, u.root / "paused", u.root.path());
}

int runWith(const UpdateSite& u, const UpdaterOptions& options) {
  return runChild(updaterCommand(options), u.root.path());
}

std::string logOf(const UpdateSite& u) { return pathExists(u.log) ? readFile(u.log) : ""; }

// The last staged file the swap takes that has an old version: a swap
// stopped before its second move has not reached it.
std::string notYetMoved(const UpdateSite& u) {
  std::string last;
  for (const auto& file : swapOrder(u.staging)) {
    if (kOldVersion.count(narrowOf(file)) != 0) last = narrowOf(file);
  }
  return last;
}

// How an interrupted update must end: the last run's status and marker, the
// installation it leaves, and whether the journal stays for a later run.
struct Ending {
  int status;
  const char* result;
  Tree installed;
  bool journalStays = false;
  // The version every file of which is in the installation or the backup;
  // after a success, what the backup holds.
  Tree kept = kOldVersion;
};

// One interruption: what stops a run, what changes before the next one, and
// that run; returns the status of the run whose ending counts.
struct Interruption {
  std::string name;
  std::function<int(UpdateSite&)> scenario;
  Ending ending;
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
  const Ending kUpdatedEnding{0, "success", updated()};
  const Ending kRolledBack{0, "rollback", kOldVersion};
  const Ending kRefusedKept{2, "error", {}, true};
  std::vector<Interruption> rows = {
      {"a plain update", [](UpdateSite& u) { return u.run(); }, kUpdatedEnding},
      {"an update that fails gives every staged file back and restores the installation exactly",
       [](UpdateSite& u) { return runFailingSwap(u, /*stopFirst=*/false); },
       {0, "rollback", overlay(kOldVersion, kBlocker)}},
      // The resumed swap fails too: the undo must give back what the stopped
      // run moved in as well, or the rollback would overwrite those staged
      // files.
      {"a resumed swap that fails rolls back every file of both runs",
       [](UpdateSite& u) { return runFailingSwap(u, /*stopFirst=*/true); },
       {0, "rollback", overlay(kOldVersion, kBlocker)}},
      {"a stop in the rollback: the rerun finishes it, then updates",
       [](UpdateSite& u) {
         writeBackup(u);
         writeJournal(u, {"moving staged files in", "rolling back"});
         // Stopped in the undo: core.dll given back and its old version in
         // place; VEXO.exe given back, its place empty; version.txt and the
         // new file still moved in.
         fs::remove(joinPath(u.backup, "lib/core.dll"));
         fs::remove(joinPath(u.install, "VEXO.exe"));
         for (const char* moved : {"version.txt", "lib/plugins/new.dll"}) {
           writeFile(joinPath(u.install, moved), readFile(joinPath(u.staging, moved)));
           fs::remove(joinPath(u.staging, moved));
         }
         return u.run();
       },
       kUpdatedEnding},
      // A journal whose backup has gone protects nothing.
      {"a journal whose backup has gone",
       [](UpdateSite& u) {
         writeJournal(u, {"moving staged files in"});
         return u.run();
       },
       kUpdatedEnding},
      // A journal whose list is complete but whose first state line is
      // missing was cut short in its first write, before any file moved: it
      // counts as no journal, and the run starts afresh.
      {"a journal without its state line",
       [](UpdateSite& u) {
         writeTree(u.backup, {{"VEXO.exe", "an older backup"}});
         writeJournal(u, {});
         return u.run();
       },
       kUpdatedEnding},
      // The journal names its directories so that they mean the same folders
      // from any working directory: a rerun from elsewhere, with relative
      // paths that name the same folders, resumes the stopped update.
      {"a rerun from another working directory",
       [](UpdateSite& u) {
         makeDirectories(u.root / "elsewhere");
         UpdaterOptions relative = u.options();
         relative.install = "app";
         relative.staging = "staging";
         relative.backup = joinPath("app-data", "backup");
         killBeforeCall(6);
         runWith(u, relative);
         clearTestInstructions();
         EXPECT_TRUE(pathExists(u.journal()));
         for (std::string* dir : {&relative.install, &relative.staging, &relative.backup}) {
           *dir = joinPath("..", *dir);
         }
         return runChild(updaterCommand(relative), u.root / "elsewhere");
       },
       kUpdatedEnding},
      // The undo begins only once the journal says so: if "rolling back"
      // cannot be written, nothing leaves the backup, the run ends with
      // status 3 and says why, and the journal, still "moving in", lets a
      // later run finish.
      {"an undo that cannot be recorded moves nothing back",
       [](UpdateSite& u) {
         refuseMoveFrom(u.staging, 3);
         Child first = startPausedAt(u, u.options(), 6);
         clearTestInstructions();
         {
           HeldFile journal(u.journal());
           endPause(u.root / "paused");
           const int status = waitChild(first);
           if (!journal.held()) return kCannot;
           EXPECT_EQ(status, 3);
         }
         EXPECT_NE(readFile(u.marker).find(
                       "\"errorMessage\":\"rollback failed: cannot record the undo: "),
                   std::string::npos)
             << readFile(u.marker);
         EXPECT_EQ(filesOf(u.backup), kOldVersion);
         EXPECT_EQ(readFile(u.journal()).find("state: rolling back"), std::string::npos);
         return u.run();
       },
       kUpdatedEnding},
      // Names the journal escapes (%, and natively CR and LF) come back
      // exactly: a run killed in its swap is resumed file for file.
      {"a killed update of names the journal escapes",
       [](UpdateSite& u) {
         for (const auto& [name, bytes] : escapedNames())
           writeFile(joinPath(u.staging, name), bytes);
         // Four copies into the backup, then killed before the third move.
         runKilledAt(u, 7);
         EXPECT_TRUE(pathExists(u.journal()));
         return u.run();
       },
       {0, "success", overlay(updated(), escapedNames())}},
      // An installed file that can be neither replaced nor moved back stops
      // the update and then the rollback. The journal stays, so that a rerun
      // cannot replace the backup; a rerun that meets the obstacle again
      // stops the same way and keeps it still; once the obstacle is gone a
      // rerun finishes.
      {"a failed rollback keeps the journal until a rerun finishes it",
       [](UpdateSite& u) {
         HeldFile held(joinPath(u.install, "version.txt"));
         if (!held.held()) return kCannot;
         EXPECT_EQ(u.run(), 3);
         const std::string stopped = "MoveFileEx(version.txt) err=5 (file locked)";
         EXPECT_NE(readFile(u.marker).find("rollback failed: " + stopped), std::string::npos)
             << readFile(u.marker);
         EXPECT_NE(readFile(u.journal()).find("state: rolling back"), std::string::npos);
         EXPECT_EQ(u.run(), 3);
         EXPECT_NE(logOf(u).find("[vexo-updater] FAIL: rollback of an interrupted update (" +
                                 stopped + ")"),
                   std::string::npos)
             << logOf(u);
         EXPECT_NE(readFile(u.journal()).find("state: rolling back"), std::string::npos);
         EXPECT_EQ(filesLost(kOldVersion, {}, u.install, u.staging, u.backup),
                   std::vector<std::string>{});
         held.release();
         return u.run();
       },
       kUpdatedEnding},
      // Only "not there" means absent: a staged file the undo cannot look at
      // is neither passed over nor overwritten with the old version. The
      // undo stops before it with the system's code, and a rerun finishes
      // once it can look.
      {"the undo stops at a staged file it cannot look at",
       [](UpdateSite& u) {
         const Tree staged = filesOf(u.staging);
         // The swap fails at its third move; the last file stays staged.
         const std::string last = narrowOf(swapOrder(u.staging).back());
         const std::string unseen = joinPath(u.staging, last);
         const std::string trigger = u.root / "lookups-fail";
         refuseMoveFrom(u.staging, 3);
         setTestVariable("VEXO_TEST_FAIL_LOOKUP", unseen);
         setTestVariable("VEXO_TEST_FAIL_LOOKUP_WHILE", trigger);
         Child first = startPausedAt(u, u.options(), 6);
         clearTestInstructions();
         writeFile(trigger, "");
         endPause(u.root / "paused");
         EXPECT_EQ(waitChild(first), 3);
         const std::string marker = readFile(u.marker);
         EXPECT_NE(marker.find("rollback failed: swap exception: "), std::string::npos) << marker;
         EXPECT_NE(marker.find("status(" + jsonEscaped(unseen) + ") err=5"), std::string::npos)
             << marker;
         EXPECT_EQ(readFile(unseen), staged.at(last));
         EXPECT_EQ(filesLost(kOldVersion, staged, u.install, u.staging, u.backup),
                   std::vector<std::string>{});
         fs::remove(trigger);
         return u.run();
       },
       kUpdatedEnding},
      {"one lookup of the backup directory fails in the rerun, whichever it is",
       [](UpdateSite& u) {
         // Stopped in the swap, the backup holds the only copy of the old
         // version. Each rerun refuses one lookup of the backup directory:
         // the first, then the second, and so on, until none is left.
         for (int n = 1;; ++n) {
           SCOPED_TRACE("lookup " + std::to_string(n) + " refused");
           UpdateSite site;
           site.prepare();
           runKilledAt(site, 6);
           const std::string trace = site.root / "trace";
           setTestVariable("VEXO_TEST_FAIL_LOOKUP", site.backup);
           setTestVariable("VEXO_TEST_FAIL_LOOKUP_ONLY", std::to_string(n));
           setTestVariable("VEXO_TEST_TRACE", trace);
           const int status = site.run();
           clearTestInstructions();
           EXPECT_EQ(filesLost(kOldVersion, {}, site.install, site.staging, site.backup),
                     std::vector<std::string>{});
           if (readFile(trace).find("refused\t") == std::string::npos) break;
           // Refused before anything moved, the journal kept; or ended whole,
           // the new version or the old, as the marker says (a journal left
           // after the marker is over, and the next run ends it).
           if (status == 2) {
             EXPECT_TRUE(pathExists(site.journal()));
           } else {
             EXPECT_EQ(status, 0);
             const std::string result = markerFields(readFile(site.marker)).result;
             EXPECT_EQ(filesOf(site.install), result == "success" ? updated() : kOldVersion)
                 << result;
           }
         }
         runKilledAt(u, 6);
         return u.run();
       },
       kUpdatedEnding},
      {"the rerun spells the backup directory with a trailing \".\"",
       [](UpdateSite& u) {
         runKilledAt(u, 6);
         u.backupArg = joinPath(u.backup, ".");
         return u.run();
       },
       kUpdatedEnding},
      {"a rollback with the backup directory spelled with a trailing \".\"",
       [](UpdateSite& u) {
         refuseMoveFrom(u.staging, 3);
         u.backupArg = joinPath(u.backup, ".");
         const int status = u.run();
         clearTestInstructions();
         return status;
       },
       kRolledBack},
      {"a staged file not yet moved vanishes before the rerun",
       [](UpdateSite& u) {
         runKilledAt(u, 6);
         fs::remove(joinPath(u.staging, notYetMoved(u)));
         return u.run();
       },
       kRolledBack},
      {"a staged file with an old version vanishes during the swap",
       [](UpdateSite& u) {
         Child run = startPausedAt(u, u.options(), 6);
         fs::remove(joinPath(u.staging, notYetMoved(u)));
         endPause(u.root / "paused");
         return waitChild(run);
       },
       kRolledBack},
      {"a staged file new in this version vanishes during the swap",
       [](UpdateSite& u) {
         Child run = startPausedAt(u, u.options(), 5);
         fs::remove(joinPath(u.staging, "lib/plugins/new.dll"));
         endPause(u.root / "paused");
         return waitChild(run);
       },
       kRolledBack},
      {"cut after the success marker, then the next version is staged",
       [](UpdateSite& u) {
         setTestVariable("VEXO_TEST_KILL_BEFORE", "end-journal:1");
         u.run();
         clearTestInstructions();
         writeTree(u.staging, {{"VEXO.exe", "exe 3"}, {"lib/core.dll", "core 3"}});
         return u.run();
       },
       {0, "success", overlay(updated(), {{"VEXO.exe", "exe 3"}, {"lib/core.dll", "core 3"}}),
        false, updated()}},
      {"a hold let go within a second, as the host's check lets it go",
       [](UpdateSite& u) {
         const std::string ready = u.root / "held";
         Child holder = startChild(
             {programPath("vexo-test-helper"), "hold-directory", u.backup, ready, "400"});
         waitForFile(ready);
         const int status = u.run();
         waitChild(holder);
         return status;
       },
       kUpdatedEnding},
      {"the undo across file systems is cut before it renames a file given back",
       [](UpdateSite& u) {
         refuseMoveFrom(u.staging, 3);
         // The update's two moves in, then the first file given back.
         setTestVariable("VEXO_TEST_KILL_BEFORE", "temporary-rename:3");
         u.run();
         clearTestInstructions();
         return u.run();
       },
       kUpdatedEnding, true},
      {"the undo is cut after a file went back through a file system of whole seconds",
       [](UpdateSite& u) {
         refuseMoveFrom(u.staging, 3);
         // The first file given back, and the move of its old version in.
         setTestVariable("VEXO_TEST_KILL_BEFORE", "temporary-rename:4");
         u.run();
         clearTestInstructions();
         return u.run();
       },
       kUpdatedEnding, false, true},
  };

  // A stop in the swap: the key does not matter (a host may retry with a
  // new one, and the backup is the only complete copy of the old version
  // either way), and a state line cut short while it was being added does
  // not count: the undo had not begun.
  for (const std::string& key :
       {std::string(kIdempotencyKey), std::string("a-new-key"), std::string("torn")}) {
    rows.push_back({"a stop in the swap, rerun with the key " + key,
                    [key](UpdateSite& u) {
                      stopHalfWay(u);
                      if (key == "torn") {
                        writeFile(u.journal(), readFile(u.journal()) + "state: rolling ba");
                      }
                      UpdaterOptions options = u.options();
                      options.idempotencyKey = key;
                      const int status = runWith(u, options);
                      EXPECT_EQ(markerFields(readFile(u.marker)).idempotencyKey, key);
                      return status;
                    },
                    kUpdatedEnding});
  }

  // A journal resumes only its own update; anything else is refused before
  // a file moves, and the journal stays for the run it belongs to.
  struct Other {
    const char* what;
    std::string installDir;  // "" for the update's own, "-" for none
    std::string stagingDir;
    bool undoing = false;
  };
  for (const Other& c : {Other{"no installation directory", "-", ""},
                         Other{"another installation directory", "other-app", ""},
                         Other{"an installation inside the journal's", "app/lib", ""},
                         Other{"an installation around the journal's", ".", ""},
                         Other{"a stopped undo of another installation", "other-app", "", true},
                         Other{"another staging directory", "", "other-staging"}}) {
    rows.push_back({std::string("the journal of an update of ") + c.what,
                    [c](UpdateSite& u) {
                      stopHalfWay(u);
                      if (c.undoing) {
                        writeFile(u.journal(), readFile(u.journal()) + "state: rolling back\n");
                      }
                      const std::string journal = readFile(u.journal());
                      const Tree before = u.everythingBut();
                      UpdaterOptions options = u.options();
                      if (c.installDir == "-") options.install = "";
                      if (!c.installDir.empty() && c.installDir != "-") {
                        options.install = u.root / c.installDir;
                        makeDirectories(options.install);
                      }
                      if (!c.stagingDir.empty()) {
                        options.staging = u.root / c.stagingDir;
                        makeDirectories(options.staging);
                      }
                      const int status = runWith(u, options);
                      EXPECT_NE(
                          logOf(u).find("[vexo-updater] backup failed: the interrupted update in "),
                          std::string::npos)
                          << logOf(u);
                      EXPECT_EQ(u.everythingBut({"other-app", "other-staging"}), before);
                      EXPECT_EQ(readFile(u.journal()), journal);
                      return status;
                    },
                    kRefusedKept});
  }

  // A journal cut short in its first write (before any file moves) is no
  // journal; someone's file, or a journal this updater cannot read, is
  // neither taken for one nor written over: nothing is touched.
  const std::string head =
      "vexo-updater update journal\nidempotencyKey: " + std::string(kIdempotencyKey) + "\n";
  for (const auto& [text, status] : std::vector<std::pair<std::string, int>>{
           {"", 0},
           {"vexo-updater upd", 0},
           {head + "installDir: x\nstagingDir: y\nfiles:\nVEXO.exe\n", 0},
           {"notes of mine", 2},
           {"vexo-updater update journal\nstate: moving staged files in\n", 2}}) {
    rows.push_back({"at the journal's place: \"" + text + "\"",
                    [text = text](UpdateSite& u) {
                      writeTree(u.backup, {{"stale.dll", "an earlier backup"}});
                      writeFile(u.journal(), text);
                      const Tree before = u.everythingBut();
                      const int ended = u.run();
                      if (ended == 2) {
                        EXPECT_NE(logOf(u).find("cannot record the update in progress"),
                                  std::string::npos);
                        EXPECT_EQ(u.everythingBut(), before);
                      }
                      return ended;
                    },
                    status == 0 ? kUpdatedEnding : kRefusedKept});
  }

  // A second run for an installation or a backup directory that a first
  // run holds is refused before it touches anything, wherever the first run
  // is and however the second names them, and the first run finishes as if
  // alone.
  struct Second {
    const char* name;
    std::size_t pauseAt;  // the first run's copies (4) and moves counted together
    // The directory the second run shares with the first, as it names it:
    // a function of the first run's site; the rest of its directories are
    // its own.
    bool sharesInstallation;
    std::function<std::string(UpdateSite&)> spelling;
    // Where both runs keep the backup, below the root, when not the default.
    std::string backupAt = "";
  };
  const std::vector<Second> seconds = {
      {"the same directories, during the backup", 2, true, nullptr},
      {"the same directories, during the swap", 6, true, nullptr},
      {"another installation, the same backup, during the swap", 6, false, nullptr},
      {"another installation, the same backup in a folder made by the first run", 2, false,
       [](UpdateSite& u) { return u.root / "nest/./backup/"; }, "nest/backup"},
      {"another installation, the same backup spelled through \"..\"", 6, false,
       [](UpdateSite& u) { return u.root / "staging/../app-data/backup"; }},
      // Fault caught: the hold named after the path as written, not its
      // canonical form (absolutePath in place of canonicalPath in
      // holdNamesOf): through a folder not made yet the name's first folder
      // that exists is another, and a second run would update the same
      // installation at once.
      {"the same installation spelled through \"..\" and a folder not made yet", 6, true,
       [](UpdateSite& u) { return u.root / "not-made/../app"; }},
#ifdef _WIN32
      // Fault caught: the hold named after the folder's path rather than its
      // identity (fileIdentity(base) in holdNamesOf): Windows takes another
      // case for the same folder.
      {"the same installation in another case", 6, true,
       [](UpdateSite& u) {
         std::string upper = u.install;
         for (char& c : upper) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
         return upper;
       }},
#else
      // Fault caught: the hold named after the folder's path rather than its
      // identity (fileIdentity(base) in holdNamesOf): no name resolves a
      // bind mount.
      {"the same installation under a bind mount", 6, true,
       [](UpdateSite& u) {
         auto alias = std::make_shared<Mount>(u.root / "alias", u.install, VolumeKind::kBind);
         u.kept.push_back(alias);
         return alias->mounted() ? u.root / "alias" : "";
       }},
#endif
  };
  for (const Second& c : seconds) {
    rows.push_back(
        {std::string("a second run for ") + c.name,
         [c](UpdateSite& u) {
           if (!c.backupAt.empty()) u.backup = u.root / c.backupAt;
           const std::string spelled = c.spelling ? c.spelling(u) : "";
           if (c.spelling && spelled.empty()) return kCannot;
           Child first = startPausedAt(u, u.options(), c.pauseAt);
           EXPECT_TRUE(pathExists(u.root / "paused"));
           const TempDir other;
           UpdaterOptions second = u.options();
           second.log = u.root / "second.log";
           second.marker = u.root / "second.json";
           if (c.sharesInstallation) {
             if (!spelled.empty()) {
               second.install = spelled;
               second.backup = other / "backup";
             }
           } else {
             second.install = other / "app";
             writeFile(joinPath(second.install, "VEXO.exe"), "other 1");
             if (!spelled.empty()) second.backup = spelled;
           }
           const Tree backupBefore = snapshotTree(u.backup);
           EXPECT_EQ(runWith(u, second), 2);
           const std::string held = c.sharesInstallation
                                        ? "installation directory " + second.install
                                        : "backup directory " + second.backup;
           EXPECT_NE(
               readFile(second.log)
                   .find("[vexo-updater] backup failed: another run of the updater holds the " +
                         held),
               std::string::npos)
               << readFile(second.log);
           EXPECT_NE(readFile(second.marker).find("\"errorMessage\":\"backup failed\""),
                     std::string::npos);
           EXPECT_EQ(snapshotTree(u.backup), backupBefore);
           if (!c.sharesInstallation) {
             EXPECT_EQ(readFile(joinPath(second.install, "VEXO.exe")), "other 1");
           }
           endPause(u.root / "paused");
           return waitChild(first);
         },
         kUpdatedEnding});
  }

  // A run stopped in its swap is resumed only from the staging it listed: a
  // staged file changed or added since (the host staged again) would make
  // the installation a mix, so the rerun is refused before anything moves,
  // and the journal keeps the old version safe in the backup.
  for (const auto& [name, added, bytes] :
       {std::tuple<const char*, bool, std::string>{"a staged file changed", false, "2.0.1 bytes"},
        {"a staged file changed, keeping its size", false, ""},
        {"a staged file added", true, "2.0.1 bytes"}}) {
    rows.push_back(
        {std::string(name) + " since the journal",
         [added = added, bytes = bytes](UpdateSite& u) {
           // The swap takes the last file of the listing last: it is still staged.
           const std::string changed =
               added ? "lib/extra.dll" : narrowOf(swapOrder(u.staging).back());
           // Four copies into the backup, then killed before the second move.
           runKilledAt(u, 6);
           EXPECT_TRUE(pathExists(u.journal()));
           const std::string restaged = joinPath(u.staging, changed);
           writeFile(restaged, bytes.empty() ? std::string(readFile(restaged).size(), '#') : bytes);
           // A build of a later hour.
           fs::last_write_time(restaged, fs::last_write_time(restaged) + std::chrono::hours(1));
           const Tree installBefore = filesOf(u.install);
           const Tree stagedBefore = filesOf(u.staging);
           const int status = u.run();
           EXPECT_NE(
               logOf(u).find("[vexo-updater] backup failed: staging directory " + u.staging +
                             " is not what the interrupted update in " + u.journal() + " staged ("),
               std::string::npos)
               << logOf(u);
           EXPECT_EQ(filesOf(u.install), installBefore);
           EXPECT_EQ(filesOf(u.staging), stagedBefore);
           EXPECT_EQ(filesOf(u.backup), kOldVersion);
           return status;
         },
         kRefusedKept});
  }

  // Every step that decides what a power cut leaves reaches the disk in the
  // order the journal relies on, on every road through a run: the test build
  // traces the system calls, and each row is one road.
  for (const std::string road :
       {"update", "rollback", "update resumed after a kill", "staging on another file system"}) {
    rows.push_back({"the steps of an " + road + " reach the disk in order",
                    [road](UpdateSite& u) {
                      if (road == "update resumed after a kill") runKilledAt(u, 6);
                      if (road == "rollback") refuseMoveFrom(u.staging, 3);
                      const std::string trace = u.root / "trace";
                      setTestVariable("VEXO_TEST_TRACE", trace);
                      const int status = u.run();
                      clearTestInstructions();
                      const std::string text = readFile(trace);
                      // A trace without moves or the marker would vouch for nothing.
                      EXPECT_NE(text.find("move\t"), std::string::npos);
                      EXPECT_NE(text.find("marker\t"), std::string::npos);
                      EXPECT_EQ(durabilityFaults(text, u.options()), std::vector<std::string>{})
                          << text;
                      return status;
                    },
                    road == "rollback" ? kRolledBack : kUpdatedEnding,
                    road == "staging on another file system"});
  }

  for (const Interruption& row : rows) {
    SCOPED_TRACE(row.name);
    UpdateSite u;
    u.prepare();
    const TempDir disk(Medium::kDisk);
    if (row.stagingOnTheDisk) {
      writeTree(disk / "staging", filesOf(u.staging));
      u.staging = disk / "staging";
    }
    if (row.installationKeepsWholeSeconds) {
      auto volume =
          std::make_shared<Mount>(u.root / "volume", "16m", VolumeKind::kWholeSecondTimes);
      u.kept.push_back(volume);
      if (!volume->mounted()) {
        std::printf("[ skip ] %s: cannot mount a loop device here\n", row.name.c_str());
        continue;
      }
      writeTree(u.root / "volume/app", filesOf(u.install));
      u.install = u.root / "volume/app";
    }
    const Tree staged = filesOf(u.staging);
    const int status = row.scenario(u);
    clearTestInstructions();
    if (status == kCannot) {
      std::printf("[ skip ] %s: cannot be made here\n", row.name.c_str());
      continue;
    }
    EXPECT_EQ(status, row.ending.status);
    EXPECT_EQ(markerFields(readFile(u.marker)).result, row.ending.result);
    if (!row.ending.journalStays) {
      EXPECT_EQ(filesOf(u.install), row.ending.installed);
    }
    EXPECT_EQ(pathExists(u.journal()), row.ending.journalStays);
    EXPECT_EQ(filesLost(row.ending.kept, {}, u.install, u.staging, u.backup),
              std::vector<std::string>{});
    EXPECT_FALSE(pathExists(joinPath(u.install, "..pending")));
    if (row.ending.result == std::string("success")) {
      EXPECT_EQ(filesOf(u.backup), row.ending.kept);
      EXPECT_FALSE(pathExists(u.staging));
    }
    if (row.ending.result == std::string("rollback")) {
      // Staging holds the staged files, and only those (no old version given
      // back in a vanished file's place).
      for (const auto& [path, bytes] : filesOf(u.staging)) {
        if (staged.count(path) != 0) {
          EXPECT_EQ(staged.at(path), bytes) << path;
        }
      }
    }
    // Nothing of the updater's own is left behind under a temporary name.
    for (const std::string& tree : {u.install, u.staging}) {
      for (const auto& [path, bytes] : snapshotTree(tree)) {
        EXPECT_EQ(path.find(".vexo-"), std::string::npos) << tree << ": " << path;
      }
    }
  }
}
