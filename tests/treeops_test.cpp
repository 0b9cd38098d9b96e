// The process wait, the installation backup and the tree swap, on real
// processes and real directories. Failures come from the system itself: an
// immutable file (chattr) natively, ids that name no process, links.
#include "treeops/treeops.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "support/run_support.h"
#include "support/test_support.h"

namespace {

namespace fs = std::filesystem;

const char kSwapException[] = "swap exception: ";

bool startsWith(const std::string& text, const std::string& prefix) {
  return text.compare(0, prefix.size(), prefix) == 0;
}

// The wait's result, and what it would have the run log.
bool waitFor(std::uint32_t id, std::uint32_t timeoutMs, std::string* note) {
  note->clear();
  return waitForProcessExit(id, timeoutMs, note);
}

// An installation with every kind of entry the backup must carry.
const Tree kInstallation = {
    {"VEXO.exe", "exe v1"}, {".hidden", "dot"},
    {"empty", kDir},        {"lib", kDir},
    {"lib/a.dll", "a v1"},  {"lib/deep", kDir},
    {"lib/deep/er", kDir},  {"lib/deep/er/b.dat", "b v1"},
};

// A staged version: replaces VEXO.exe, adds nested files, and an empty
// directory that the swap must not carry over.
const Tree kStaging = {
    {"VEXO.exe", "exe v2"}, {".hidden2", "h2"},           {"sub", kDir},     {"sub/x.dll", "x v2"},
    {"sub/deeper", kDir},   {"sub/deeper/c.dat", "c v2"}, {"nothing", kDir},
};

// The installation after kStaging is swapped over kInstallation.
Tree swapped() {
  Tree tree = kInstallation;
  for (const auto& [relative, contents] : kStaging) {
    if (relative != "nothing") tree[relative] = contents;
  }
  return tree;
}

}  // namespace

TEST(WaitForProcessExit, ReturnsWhenTheProcessEndsAndReportsATimeOut) {
  Child quick = startChild({programPath("vexo-test-helper"), "sleep", "100"});
  std::string note;
  EXPECT_TRUE(waitFor(quick.pid, 30000, &note));
  EXPECT_EQ(note, "");
  waitChild(quick);

  Child slow = startChild({programPath("vexo-test-helper"), "sleep", "30000"});
  EXPECT_FALSE(waitFor(slow.pid, 0, &note));
  EXPECT_EQ(note, "WaitForSingleObject timed out after 0ms");
  killChild(slow);
  waitChild(slow);
}

TEST(WaitForProcessExit, IdsThatNameNoProcessAreTakenAsEnded) {
  // 0xFFFFFFF0 does not fit a pid: natively it must never reach kill() as a
  // process group.
  std::string log;
  for (const std::uint32_t id : {0u, 0xFFFFFFF0u}) {
    EXPECT_TRUE(waitFor(id, 1000, &log));
    EXPECT_EQ(log, lineA(std::to_string(id)));
  }
  Child gone = startChild({programPath("vexo-test-helper"), "exit", "0"});
  waitChild(gone);
  EXPECT_TRUE(waitFor(gone.pid, 1000, &log));
#ifdef _WIN32
  // Wine may still open an ended process; its wait then returns at once.
  if (!log.empty()) {
    EXPECT_EQ(log, lineA(std::to_string(gone.pid)));
  }
#else
  EXPECT_EQ(log, lineA(std::to_string(gone.pid)));
#endif
}

TEST(BackupInstallation, MirrorsTheInstallationWhateverWasAtTheBackupPath) {
  TempDir root;
  const std::string install = root / "app";
  writeTree(install, kInstallation);

  // Nothing yet, parents missing.
  const std::string backup = root / "data/backups/bk";
  EXPECT_EQ(backupInstallation(install, backup, ""), "");
  EXPECT_EQ(snapshotTree(backup), kInstallation);

  // An earlier backup with stale entries, changed contents and a read-only file.
  writeTree(backup, {{"stale", kDir}, {"stale/old.dll", "old"}, {"VEXO.exe", "exe v0"}});
  fs::permissions(fs::path(joinPath(backup, "lib/a.dll")), fs::perms::all,
                  fs::perm_options::remove);
  EXPECT_EQ(backupInstallation(install, backup, ""), "");
  EXPECT_EQ(snapshotTree(backup), kInstallation);

#ifndef _WIN32
  // Each copy keeps its file's mode: the old VEXO.exe must still start after
  // a rollback has moved it back.
  for (const auto mode : {fs::perms::owner_all | fs::perms::group_read | fs::perms::group_exec,
                          fs::perms::owner_read | fs::perms::owner_write}) {
    fs::permissions(joinPath(install, "VEXO.exe"), mode);
    EXPECT_EQ(backupInstallation(install, backup, ""), "");
    EXPECT_EQ(fs::status(joinPath(backup, "VEXO.exe")).permissions(), mode);
  }
#endif

  // A plain file where the backup directory belongs.
  const std::string fileThere = root / "file-backup";
  writeFile(fileThere, "not a directory");
  EXPECT_EQ(backupInstallation(install, fileThere, ""), "");
  EXPECT_EQ(snapshotTree(fileThere), kInstallation);

  // An empty installation gives an empty backup directory.
  makeDirectories(root / "empty-app");
  EXPECT_EQ(backupInstallation(root / "empty-app", backup, ""), "");
  EXPECT_TRUE(isDirectory(backup));
  EXPECT_EQ(snapshotTree(backup), Tree{});
  EXPECT_EQ(snapshotTree(install), kInstallation);
}

TEST(BackupInstallation, FailuresLogOneLineAndReturnFalse) {
  TempDir root;
  const std::string backup = root / "bk";
  writeTree(backup, {{"old.dll", "old"}});

  // The copy names both trees, the installation first, whatever entry failed.
  const std::string missing = root / "no-such-app";
  const std::string log = backupInstallation(missing, backup, "");
  ASSERT_NE(log.find(backup), std::string::npos) << log;
  EXPECT_LT(log.find(missing), log.find(backup)) << log;
  EXPECT_TRUE(isDirectory(backup));
  EXPECT_EQ(snapshotTree(backup), Tree{});

  const std::string install = root / "app";
  writeTree(install, kInstallation);
  EXPECT_NE(backupInstallation(install, "", ""), "");
  EXPECT_EQ(snapshotTree(install), kInstallation);
}

// Under Wine the directory link is a Unix link, which Windows programs see as
// a junction; file links and dangling links are made natively only.
TEST(BackupInstallation, FollowsLinksAndStopsAtADanglingOneOrACycle) {
  TempDir root;
  const std::string install = root / "app";
  writeTree(install, {{"real.dll", "real"}});
  writeTree(root / "shared", {{"res.pak", "res"}});
  if (!makeDirectoryLink(root / "shared", install + kSep + "shared")) {
    GTEST_SKIP() << "no directory links here";
  }
  Tree expected = {{"real.dll", "real"}, {"shared", kDir}, {"shared/res.pak", "res"}};
#ifndef _WIN32
  fs::create_symlink(root / "shared/res.pak", install + "/linked.pak");
  expected["linked.pak"] = "res";
#endif
  const std::string backup = root / "bk";
  EXPECT_EQ(backupInstallation(install, backup, ""), "");
  EXPECT_EQ(snapshotTree(backup), expected);
  EXPECT_FALSE(fs::is_symlink(backup + kSep + "shared"));

  // A link back to a folder that holds it is a clear failure, not a copy
  // that recurses until the path is too long.
  ASSERT_TRUE(makeDirectoryLink(".", install + kSep + "loop"));
  const std::string log = backupInstallation(install, backup, "");
  EXPECT_TRUE(startsWith(log, "link ")) << log;
  EXPECT_NE(log.find("loop leads back to " + install + ", which holds it"), std::string::npos)
      << log;
#ifndef _WIN32
  fs::remove(install + "/loop");
  fs::create_symlink(root / "gone.dll", install + "/dangling.dll");
  EXPECT_NE(backupInstallation(install, backup, ""), "");
  EXPECT_TRUE(isDirectory(backup));
#endif
}

TEST(BackupInstallation, RefusesNestedDirectoriesBeforeRemovingAnything) {
  TempDir root;
  const std::string install = root / "app";
  writeTree(install, kInstallation);
  std::map<std::string, std::string> nested = {
      {"the same path", install},
      {"the same directory spelt otherwise", install + kSep + "." + kSep},
      {"a directory inside", root / "app/backup"},
      {"a directory containing it", root.path()},
  };
#ifdef _WIN32
  std::string shouted = install;
  for (char& c : shouted) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  nested["another case"] = shouted + "\\bk";
#else
  fs::create_directory_symlink(install, root / "alias");
  nested["a link into it"] = root / "alias/bk";
#endif
  for (const auto& [what, backup] : nested) {
    const std::string log = backupInstallation(install, backup, "");
    EXPECT_TRUE(startsWith(log, "backup directory ")) << what << log;
    EXPECT_EQ(snapshotTree(install), kInstallation) << what;
  }
  // A sibling whose name merely begins with the installation's is separate.
  EXPECT_EQ(backupInstallation(install, root / "app-backup", ""), "");
  EXPECT_EQ(snapshotTree(root / "app-backup"), kInstallation);
}

TEST(SwapTree, MovesEveryFileOverTheDestination) {
  TempDir root;
  const std::string source = root / "stage";
  const std::string dest = root / "app";
  writeTree(source, kStaging);
  writeTree(dest, kInstallation);
  EXPECT_EQ(swapTree(source, dest), "");
  EXPECT_EQ(snapshotTree(dest), swapped());
  // The source keeps its directories, empty of files.
  EXPECT_EQ(snapshotTree(source), (Tree{{"sub", kDir}, {"sub/deeper", kDir}, {"nothing", kDir}}));
}

TEST(SwapTree, EverySpellingOfTheSourceRootGivesTheSameDestinations) {
  TempDir root;
  std::string forward = root / "stage";
  for (char& c : forward) {
    if (c == kSep) c = '/';
  }
  std::map<std::string, std::string> spellings = {
      {"trailing separator", root / "stage" + kSep},
      {"forward slashes", forward},
      {"dot-dot", root / "sub/../stage"},
      {"relative", "stage"},
  };
#ifndef _WIN32
  fs::create_directory_symlink(root / "stage", root / "stage-link");
  spellings["link to the root"] = root / "stage-link";
#endif
  const fs::path previous = fs::current_path();
  fs::current_path(root.path());
  int run = 0;
  for (const auto& [what, source] : spellings) {
    writeTree(root / "stage", kStaging);
    makeDirectories(root / "sub");
    const std::string dest = root / ("app" + std::to_string(++run));
    writeTree(dest, kInstallation);
    EXPECT_EQ(swapTree(source, dest), "") << what;
    EXPECT_EQ(snapshotTree(dest), swapped()) << what;
  }
  fs::current_path(previous);
}

TEST(SwapTree, UnusableSourceOrDestinationMovesAndCreatesNothing) {
  TempDir root;
  const std::string dest = root / "app";
  EXPECT_TRUE(startsWith(swapTree(root / "missing", dest), kSwapException));
  EXPECT_TRUE(startsWith(swapTree("", dest), kSwapException));
  makeDirectories(root / "empty");
  EXPECT_EQ(swapTree(root / "empty", dest), "");
  EXPECT_FALSE(pathExists(dest));
  // No destination would put every file below the working directory.
  writeTree(root / "stage", kStaging);
  EXPECT_EQ(swapTree(root / "stage", ""),
            std::string(kSwapException) + "no destination directory was given");
  EXPECT_EQ(snapshotTree(root / "stage"), kStaging);
}

TEST(SwapTree, RefusesADestinationInsideTheSource) {
  TempDir root;
  const std::string source = root / "stage";
  writeTree(source, kStaging);
  std::map<std::string, std::string> nested = {
      {"the same path", source},
      {"a directory inside", root / "stage/sub/app"},
  };
#ifndef _WIN32
  fs::create_directory_symlink(source, root / "alias");
  nested["a link to it"] = root / "alias";
#endif
  for (const auto& [what, dest] : nested) {
    EXPECT_TRUE(startsWith(swapTree(source, dest), std::string(kSwapException) + "destination "))
        << what;
    EXPECT_EQ(snapshotTree(source), kStaging) << what;
  }
  // Staging kept inside the installation is an ordinary layout.
  const std::string dest = root / "app";
  writeTree(dest, kInstallation);
  fs::rename(source, root / "app/staging");
  EXPECT_EQ(swapTree(root / "app/staging", dest), "");
  Tree expected = swapped();
  expected["staging"] = kDir;
  for (const char* dir : {"staging/sub", "staging/sub/deeper", "staging/nothing"}) {
    expected[dir] = kDir;
  }
  EXPECT_EQ(snapshotTree(dest), expected);
}

#ifndef _WIN32
TEST(SwapTree, StopsAtAFileTheSystemRefuses) {
  TempDir root;
  const std::string source = root / "stage";
  const std::string dest = root / "app";
  writeTree(source, kStaging);
  writeTree(source, {{"x.dll", "top x v2"}, {"p.dll", "p"}, {"q.dll", "q"}});
  writeTree(dest, {{"sub/x.dll", "x v1"}});
  if (!setImmutable(dest + "/sub/x.dll", true)) GTEST_SKIP() << "chattr is not available";
  const std::vector<fs::path> order = swapOrder(source);

  // Named without its directory, although another x.dll exists.
  EXPECT_EQ(swapTree(source, dest), "MoveFileEx(x.dll) err=5 (file locked)");
  EXPECT_EQ(readFile(dest + "/sub/x.dll"), "x v1");
  bool beforeFailure = true;
  for (const fs::path& path : order) {
    const std::string file = narrowOf(path);
    if (file == "sub/x.dll") beforeFailure = false;
    EXPECT_EQ(pathExists(joinPath(source, file)), !beforeFailure) << file;
    if (file != "sub/x.dll") {
      EXPECT_EQ(pathExists(joinPath(dest, file)), beforeFailure) << file;
    }
  }
}

// A link to a file is moved as itself to its own relative path, wherever it
// leads, even when its target moves first; links to directories and
// dangling links are passed over.
TEST(SwapTree, CarriesFileLinksAsThemselvesAndPassesOverTheRest) {
  TempDir root;
  const std::string source = root / "stage";
  const std::string dest = root / "app";
  writeTree(source, {{"sub/real.dll", "real"}});
  writeTree(root / "elsewhere", {{"inner.dll", "inner"}});
  fs::create_directory_symlink(root / "elsewhere", source + "/dirlink");
  fs::create_symlink(root / "gone.dll", source + "/dangling.dll");
  fs::create_symlink("sub/real.dll", source + "/alias.dll");
  fs::create_symlink("../../elsewhere/inner.dll", source + "/sub/outside.dll");

  EXPECT_EQ(swapTree(source, dest), "");
  EXPECT_EQ(snapshotTree(dest), (Tree{{"alias.dll", "real"},
                                      {"sub", kDir},
                                      {"sub/real.dll", "real"},
                                      {"sub/outside.dll", "inner"}}));
  EXPECT_EQ(fs::read_symlink(dest + "/alias.dll"), "sub/real.dll");
  EXPECT_EQ(fs::read_symlink(dest + "/sub/outside.dll"), "../../elsewhere/inner.dll");
  EXPECT_TRUE(fs::is_symlink(source + "/dirlink"));
  EXPECT_TRUE(fs::is_symlink(source + "/dangling.dll"));
  EXPECT_EQ(snapshotTree(root / "elsewhere"), (Tree{{"inner.dll", "inner"}}));
}

#endif

// Between two file systems (the disk and a tmpfs) the kernel cannot move a
// file: natively both the backup and the swap copy it instead, the large
// file in several rounds, keeping its mode; under Wine, where C: and Z: are
// the two, the move is one that MoveFileEx may copy.
TEST(SwapTree, BackupAndSwapWorkAcrossFileSystems) {
  TempDir disk(Medium::kDisk);
  TempDir memory;
  if (fs::space(disk.path()).capacity == fs::space(memory.path()).capacity) {
    GTEST_SKIP() << "no memory file system beside the disk";
  }
  const std::string source = memory / "stage";
  Tree staging = kStaging;
  staging["sub/large.bin"] = std::string(300000, 'L');
  writeTree(source, staging);
#ifndef _WIN32
  const auto executable = fs::perms::owner_all | fs::perms::group_read | fs::perms::others_exec;
  fs::permissions(source + "/VEXO.exe", executable);
  // A link stays a link, and one whose relative target moves first still
  // moves: it is not read through.
  fs::create_symlink("../VEXO.exe", source + "/sub/tool");
  staging["sub/tool"] = staging["VEXO.exe"];
#endif
  // A move keeps the file's time, as a rename does.
  const fs::file_time_type written = fs::last_write_time(source + "/VEXO.exe");
  const std::string dest = disk / "app";
  writeTree(dest, kInstallation);
  const bool copied = backupInstallation(source, disk / "bk", "").empty();
  const std::string result = swapTree(source, dest);

  EXPECT_TRUE(copied);
  EXPECT_EQ(snapshotTree(disk / "bk"), staging);
  EXPECT_EQ(result, "");
  Tree expected = swapped();
  expected["sub/large.bin"] = staging["sub/large.bin"];
  if (staging.count("sub/tool") != 0) expected["sub/tool"] = staging["sub/tool"];
  EXPECT_EQ(snapshotTree(dest), expected);
  EXPECT_EQ(snapshotTree(source), (Tree{{"sub", kDir}, {"sub/deeper", kDir}, {"nothing", kDir}}));
  EXPECT_EQ(fs::last_write_time(dest + "/VEXO.exe"), written);
#ifndef _WIN32
  EXPECT_EQ(fs::status(dest + "/VEXO.exe").permissions(), executable);
  EXPECT_EQ(fs::read_symlink(dest + "/sub/tool"), "../VEXO.exe");
#endif
}
