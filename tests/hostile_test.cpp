// Hostile arguments and conditions, each through the built vexo-updater as a
// child process. Every case checks that nothing is lost (every installed file
// is in the installation or the backup, every staged file in the installation
// or the staging directory, byte for byte) and that the exit status, the
// marker and the log say what happened. docs/hostile-inputs.md lists every
// case with the test that shows it.
#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <climits>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "os/files.h"
#include "os/paths.h"
#include "support/run_support.h"
#include "support/test_support.h"

#ifdef _WIN32
#include <windows.h>
#else
#include <fcntl.h>
#include <sys/mount.h>
#include <unistd.h>
#endif

namespace {

namespace fs = std::filesystem;
using Tree = std::map<std::string, std::string>;

// The idempotency key of every run here.
const char kKey[] = "hostile-1";
const char kNone[] = "<none>";

// Version 1.0.0 installed and 2.0.0 staged: a replaced file, a nested
// replaced file, a file only the old version has and one only the new has.
const Tree kOld = {{"VEXO.exe", "exe 1"},
                   {"version.txt", "1.0.0"},
                   {"lib/core.dll", "core 1"},
                   {"docs/old.txt", "kept"}};
const Tree kNew = {{"VEXO.exe", "exe 2"},
                   {"version.txt", "2.0.0"},
                   {"lib/core.dll", "core 2"},
                   {"lib/plugins/new.dll", "new 2"}};

// The installation after a successful update: an overlay of kNew on kOld.
Tree updated() {
  Tree tree = kOld;
  for (const auto& [path, bytes] : kNew) tree[path] = bytes;
  return tree;
}

std::string fileOrNone(const std::string& path) {
  return pathExists(path) && !isDirectory(path) ? readFile(path) : kNone;
}

#ifdef _WIN32
std::string upperCase(std::string text) {
  for (char& c : text) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return text;
}
#endif

// The marker with its appliedAt digits replaced by T, or kNone.
std::string markerOf(const std::string& path) { return markerWithoutTime(fileOrNone(path)); }

std::string markerFor(const std::string& result, const std::string& errorMessage) {
  return expectedMarker(result, errorMessage, kKey);
}

// Where one run's directories really are, and how the run is told of them.
struct Site {
  TempDir root;
  std::string install;
  std::string staging;
  std::string backup;
  std::string log;
  std::string marker;
  // The option values; the real locations above unless a case spells them
  // otherwise. The updater starts in the root, where relative ones resolve.
  std::string installArg;
  std::string stagingArg;
  std::string backupArg;

  explicit Site(const std::string& installAt = "app", const std::string& stagingAt = "staging",
                const std::string& backupAt = "data/backup", Medium medium = Medium::kMemory)
      : root(medium) {
    install = root / installAt;
    staging = root / stagingAt;
    backup = root / backupAt;
    log = root / "data/updater.log";
    marker = root / "data/marker.json";
    installArg = install;
    stagingArg = staging;
    backupArg = backup;
    makeDirectories(root / "data");
  }

  void prepare() const {
    writeTree(install, kOld);
    writeTree(staging, kNew);
  }

  std::vector<std::string> command() const {
    UpdaterOptions options{installArg, stagingArg, backupArg, log, marker};
    options.idempotencyKey = kKey;
    return updaterCommand(options);
  }

  int run(const std::vector<std::string>& argv) const { return runChild(argv, root.path()); }
  int run() const { return run(command()); }
};

// Everything below root, as a snapshot, without the log and the marker.
Tree everythingBut(const Site& site) {
  Tree tree = snapshotTree(site.root.path());
  tree.erase("data/updater.log");
  tree.erase("data/marker.json");
  return tree;
}

// The names directly inside dir.
std::set<std::string> namesIn(const std::string& dir) {
  std::set<std::string> names;
  for (const auto& entry : fs::directory_iterator(fs::path(dir))) {
    names.insert(entry.path().filename().string());
  }
  return names;
}

// The argument list with the named option's pair removed.
std::vector<std::string> without(std::vector<std::string> argv, const std::string& option) {
  const auto at = std::find(argv.begin(), argv.end(), "--" + option);
  if (at != argv.end()) argv.erase(at, at + 2);
  return argv;
}

// The argument list with the named option's value replaced.
std::vector<std::string> with(std::vector<std::string> argv, const std::string& option,
                              const std::string& value) {
  const auto at = std::find(argv.begin(), argv.end(), "--" + option);
  if (at != argv.end()) *(at + 1) = value;
  return argv;
}

// Whatever the outcome, the status, the marker and the three directories
// agree, and nothing is lost.
[[maybe_unused]] void expectTruthful(const Site& site, int status, const Tree& old,
                                     const Tree& staged) {
  const std::string marker = markerOf(site.marker);
  EXPECT_EQ(filesLost(old, staged, site.install, site.staging, site.backup),
            std::vector<std::string>{});
  if (status == 0 && marker == markerFor("success", "")) {
    for (const auto& [path, bytes] : staged) {
      EXPECT_EQ(fileOrNone(joinPath(site.install, path)), bytes) << path;
    }
    return;
  }
  if (status != 2) {
    EXPECT_NE(swapFailureOf(fileOrNone(site.log)), "") << fileOrNone(site.log);
  }
  if (status == 0) {
    EXPECT_EQ(marker, markerFor("rollback", swapFailureOf(fileOrNone(site.log))));
    for (const auto& [path, bytes] : old) {
      EXPECT_EQ(fileOrNone(joinPath(site.install, path)), bytes) << path;
    }
  } else if (status == 2) {
    EXPECT_EQ(marker, markerFor("error", "backup failed"));
    for (const auto& [path, bytes] : staged) {
      EXPECT_EQ(fileOrNone(joinPath(site.staging, path)), bytes) << path;
    }
  } else {
    EXPECT_EQ(status, 3);
    EXPECT_NE(marker.find("\"result\":\"error\",\"errorMessage\":\"rollback failed: "),
              std::string::npos)
        << marker;
  }
}

#ifndef _WIN32
// A file system mounted at a folder for the object's life; mounted() is
// false where this process may not mount. Declared after the TempDir that
// holds it, so it is unmounted first.
class Mount {
 public:
  Mount(const std::string& where, const char* source, const char* type, unsigned long flags,
        const std::string& options)
      : path_(where) {
    makeDirectories(where);
    mounted_ = mount(source, where.c_str(), type, flags, options.c_str()) == 0;
  }
  ~Mount() {
    if (mounted_) umount2(path_.c_str(), MNT_DETACH);
  }
  Mount(const Mount&) = delete;
  Mount& operator=(const Mount&) = delete;
  bool mounted() const { return mounted_; }

 private:
  std::string path_;
  bool mounted_ = false;
};

// target bind-mounted at where: a second name for it that no link resolves,
// which only the file identity tells apart.
Mount bindMount(const std::string& target, const std::string& where) {
  return Mount(where, target.c_str(), nullptr, MS_BIND, "");
}

// A chain of directories below root whose whole path is longer than the
// system takes in one call (PATH_MAX, 4096), each name shorter than 255.
const std::string kLongName(200, 'd');
constexpr int kDeep = 25;

// Creates the chain and the file in its deepest directory, one level at a
// time through descriptors.
void plantDeep(const std::string& root, const std::string& name, const std::string& bytes) {
  makeDirectories(root);
  int dir = open(root.c_str(), O_RDONLY | O_DIRECTORY);
  for (int level = 0; level < kDeep && dir >= 0; ++level) {
    mkdirat(dir, kLongName.c_str(), 0755);
    const int next = openat(dir, kLongName.c_str(), O_RDONLY | O_DIRECTORY);
    close(dir);
    dir = next;
  }
  ASSERT_GE(dir, 0);
  const int file = openat(dir, name.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  close(dir);
  ASSERT_GE(file, 0);
  ASSERT_EQ(write(file, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
  close(file);
}

// The deep file's bytes, or kNone.
std::string readDeep(const std::string& root, const std::string& name) {
  int dir = open(root.c_str(), O_RDONLY | O_DIRECTORY);
  for (int level = 0; level < kDeep && dir >= 0; ++level) {
    const int next = openat(dir, kLongName.c_str(), O_RDONLY | O_DIRECTORY);
    close(dir);
    dir = next;
  }
  if (dir < 0) return kNone;
  const int file = openat(dir, name.c_str(), O_RDONLY);
  close(dir);
  if (file < 0) return kNone;
  std::string bytes;
  char buffer[256];
  for (ssize_t got; (got = read(file, buffer, sizeof buffer)) > 0;) bytes.append(buffer, got);
  close(file);
  return bytes;
}

// The library cannot remove what it cannot name in one call; rm walks by
// descriptors.
void removeDeep(const std::string& root) {
  if (std::system(("rm -rf '" + root + "'").c_str()) != 0) ADD_FAILURE() << "rm " << root;
}
#endif

}  // namespace

// ---------------------------------------------------------------------------
// Options.

TEST(HostileOptions, MissingOrEmptyDirectoriesLoseNothing) {
  for (const std::string option : {"install-dir", "staging-dir", "backup-dir"}) {
    for (const bool omitted : {true, false}) {
      SCOPED_TRACE(option + (omitted ? " omitted" : " empty"));
      Site site;
      site.prepare();
      const int status =
          site.run(omitted ? without(site.command(), option) : with(site.command(), option, ""));
      const std::string log = fileOrNone(site.log);
      EXPECT_EQ(filesOf(site.install), kOld);
      EXPECT_EQ(filesOf(site.staging), kNew);
      if (option == "staging-dir") {
        // Nothing to move from: the run rolls back, and the rollback puts
        // the backup's copies back over identical files.
        const std::string failure = swapFailureOf(log);
        EXPECT_EQ(failure.rfind("swap exception: ", 0), 0u) << log;
        EXPECT_EQ(status, 0);
        EXPECT_EQ(markerOf(site.marker), markerFor("rollback", failure));
        EXPECT_EQ(filesOf(site.backup), Tree{});
      } else {
        EXPECT_EQ(middleLine(log, "FAIL: backup").rfind("backup failed: ", 0), 0u) << log;
        EXPECT_EQ(status, 2);
        EXPECT_EQ(markerOf(site.marker), markerFor("error", "backup failed"));
      }
      // Nothing was written anywhere else, the journal included.
      EXPECT_EQ(namesIn(site.root.path()), (std::set<std::string>{"app", "staging", "data"}));
      std::set<std::string> data = {"updater.log", "marker.json"};
      if (pathExists(site.backup)) data.insert("backup");
      EXPECT_EQ(namesIn(site.root / "data"), data);
    }
  }
}

TEST(HostileOptions, MissingMarkerOrLogChangesNothingElse) {
  {
    SCOPED_TRACE("no applied-marker");
    Site site;
    site.prepare();
    EXPECT_EQ(site.run(without(site.command(), "applied-marker")), 0);
    EXPECT_EQ(fileOrNone(site.log), runLog({"success"}));
    EXPECT_EQ(filesOf(site.install), updated());
    EXPECT_FALSE(pathExists(site.staging));
    // No marker appears anywhere, the updater's working folder included.
    EXPECT_EQ(namesIn(site.root.path()), (std::set<std::string>{"app", "data"}));
    EXPECT_EQ(namesIn(site.root / "data"), (std::set<std::string>{"backup", "updater.log"}));
  }
  {
    SCOPED_TRACE("no log");
    Site site;
    site.prepare();
    const std::string errors = site.root / "stderr.txt";
    Child child = startChildWithStderr(without(site.command(), "log"), errors, site.root.path());
    EXPECT_EQ(waitChild(child), 0);
    EXPECT_EQ(readFile(errors), runLog({"success"}));
    EXPECT_FALSE(pathExists(site.log));
    EXPECT_EQ(markerOf(site.marker), markerFor("success", ""));
    EXPECT_EQ(filesOf(site.install), updated());
  }
}

// Each directory option naming a plain file instead. A file at the backup
// path is the one thing the run deletes: the backup takes its place.
TEST(HostileOptions, DirectoryOptionsThatNameFiles) {
  for (const std::string option : {"install-dir", "staging-dir", "backup-dir"}) {
    SCOPED_TRACE(option);
    Site site;
    site.prepare();
    const std::string file = site.root / "a-file";
    writeFile(file, "a file");
    const int status = site.run(with(site.command(), option, file));
    const std::string log = fileOrNone(site.log);
    if (option == "install-dir") {
      EXPECT_EQ(status, 2);
      EXPECT_EQ(middleLine(log, "FAIL: backup").rfind("backup failed: ", 0), 0u) << log;
      EXPECT_EQ(markerOf(site.marker), markerFor("error", "backup failed"));
    } else if (option == "staging-dir") {
      EXPECT_EQ(status, 0);
      EXPECT_EQ(swapFailureOf(log).rfind("swap exception: ", 0), 0u) << log;
      EXPECT_EQ(markerOf(site.marker), markerFor("rollback", swapFailureOf(log)));
    } else {
      EXPECT_EQ(status, 0);
      EXPECT_EQ(log, runLog({"success"}));
      EXPECT_EQ(filesOf(file), kOld);
      continue;
    }
    EXPECT_EQ(readFile(file), "a file");
    EXPECT_EQ(filesOf(site.install), kOld);
    EXPECT_EQ(filesOf(site.staging), kNew);
  }
}

// "." as the backup directory names the updater's working directory: emptying
// it would take the host's files with it, so the run refuses it before the
// removal, as it refuses a folder that holds the working directory.
// A root is refused the same way: natively "/" is not tried, for safety; on
// Windows a drive letter mapped to a scratch folder stands for one (Wine maps
// the letters through its prefix's dosdevices folder), and a network share's
// root, which the library takes for a folder.
TEST(HostileOptions, BackupDirectoryThatIsOrHoldsTheWorkingDirectoryOrIsARoot) {
  struct Case {
    std::string backup;
    std::string reason;
  };
  std::vector<Case> cases = {{".", " is or contains the working directory "},
                             {"..", " is or contains the working directory "}};
#ifdef _WIN32
  const TempDir scratch;
  writeFile(scratch / "keep.txt", "the drive's");
  const char* prefix = std::getenv("WINEPREFIX");
  const std::string drive =
      prefix == nullptr ? "" : "Z:" + std::string(prefix) + "\\dosdevices\\q:";
  std::string mapped = drive;
  std::replace(mapped.begin(), mapped.end(), '/', '\\');
  const bool driveMapped = !mapped.empty() && makeDirectoryLink(scratch.path(), mapped);
  if (driveMapped) cases.push_back({"Q:\\", " is a root directory"});
  cases.push_back({"\\\\server\\share", " is a root directory"});
  cases.push_back({"\\\\?\\UNC\\server\\share\\", " is a root directory"});
#endif
  for (const Case& c : cases) {
    SCOPED_TRACE(c.backup);
    Site site;
    site.prepare();
    writeTree(site.root / "work/inner", {{"notes.txt", "the host's"}});
    site.backupArg = c.backup;

    EXPECT_EQ(runChild(site.command(), site.root / "work/inner"), 2);
    const std::string reason = middleLine(fileOrNone(site.log), "FAIL: backup");
    EXPECT_EQ(reason.rfind("backup failed: backup directory " + c.backup + c.reason, 0), 0u)
        << reason;
    EXPECT_EQ(markerOf(site.marker), markerFor("error", "backup failed"));
    EXPECT_EQ(filesOf(site.install), kOld);
    EXPECT_EQ(filesOf(site.staging), kNew);
    EXPECT_EQ(readFile(site.root / "work/inner/notes.txt"), "the host's");
  }
#ifdef _WIN32
  if (driveMapped) {
    EXPECT_EQ(readFile(scratch / "keep.txt"), "the drive's");
    removeDirectoryLink(mapped);
  }
#endif
}

// Unknown names are stored and never read; a stray argument or a joined
// name=value shifts every later pair, so the options after it are lost.
TEST(HostileOptions, GarbageArgumentsNeverTouchAFileTheyDoNotName) {
  {
    SCOPED_TRACE("unknown names, other cases, the empty name, name=value as a pair");
    Site site;
    site.prepare();
    std::vector<std::string> argv = site.command();
    for (const std::string& extra : std::vector<std::string>{
             "--colour", "blue", "--Install-Dir", site.root / "elsewhere", "--", "x",
             "--log=" + site.root / "other.log", "y", "--INSTALL-DIR", site.root / "elsewhere2"}) {
      argv.push_back(extra);
    }
    EXPECT_EQ(site.run(argv), 0);
    EXPECT_EQ(fileOrNone(site.log), runLog({"success"}));
    EXPECT_EQ(markerOf(site.marker), markerFor("success", ""));
    EXPECT_EQ(filesOf(site.install), updated());
    EXPECT_FALSE(pathExists(site.root / "elsewhere"));
    EXPECT_FALSE(pathExists(site.root / "elsewhere2"));
    EXPECT_FALSE(pathExists(site.root / "other.log"));
  }
  {
    SCOPED_TRACE("a stray argument, or --install-dir=PATH, before --vexo-pid");
    for (const std::string& first :
         std::vector<std::string>{"stray", "--install-dir=" + Site().install}) {
      Site site;
      site.prepare();
      const Tree before = snapshotTree(site.root.path());
      std::vector<std::string> argv = site.command();
      argv.insert(argv.begin() + 1, first);
      const std::string errors = site.root / "stderr.txt";
      Child child = startChildWithStderr(argv, errors, site.root.path());
      // --vexo-pid has lost its value to the shift: nothing may happen.
      EXPECT_EQ(waitChild(child), 64) << first;
      EXPECT_NE(readFile(errors).find("--vexo-pid"), std::string::npos) << readFile(errors);
      Tree after = snapshotTree(site.root.path());
      after.erase("stderr.txt");
      EXPECT_EQ(after, before) << first;
    }
  }
  {
    SCOPED_TRACE("--install-dir=PATH right after the process id");
    Site site;
    site.prepare();
    const Tree before = snapshotTree(site.root.path());
    std::vector<std::string> argv = without(site.command(), "vexo-pid");
    argv.insert(argv.begin() + 1, {"--vexo-pid", kNoProcess, "--install-dir=" + site.install});
    const std::string errors = site.root / "stderr.txt";
    Child child = startChildWithStderr(argv, errors, site.root.path());
    // Only the process id survives: no backup directory, no log, no marker.
    EXPECT_EQ(waitChild(child), 2);
    const std::string log = readFile(errors);
    EXPECT_EQ(log.rfind(logLines({"starting vexoPid=4000000000 from= to=", lineA(kNoProcess)}) +
                            "[vexo-updater] backup failed: ",
                        0),
              0u)
        << log;
    EXPECT_EQ(log.substr(log.size() - logLines({"FAIL: backup"}).size()),
              logLines({"FAIL: backup"}));
    Tree after = snapshotTree(site.root.path());
    after.erase("stderr.txt");
    EXPECT_EQ(after, before);
  }
}

// ---------------------------------------------------------------------------
// Overlapping directories.

namespace {

struct Spelling {
  std::string label;
  std::string value;
};

// Ways to name the directory at path (below site root, as a relative path
// with '/') other than its plain absolute form. Each link is made here.
std::vector<Spelling> spellingsOf(const Site& site, const std::string& relative) {
  const std::string plain = site.root / relative;
  std::string relativeNative = relative;
  for (char& c : relativeNative) {
    if (c == '/') c = kSep;
  }
  std::vector<Spelling> spellings = {
      {"plain", plain},
      {"trailing separator", plain + kSep},
      {"dot-dot", joinPath(site.root / "data", "..") + kSep + relativeNative},
      {"relative", relativeNative},
  };
#ifdef _WIN32
  spellings.push_back({"another case", upperCase(plain)});
#else
  std::string linkName = "link-" + relative;
  std::replace(linkName.begin(), linkName.end(), '/', '-');
  const std::string link = site.root / linkName;
  if (!pathExists(link)) fs::create_directory_symlink(plain, link);
  spellings.push_back({"link", link});
#endif
  return spellings;
}

// A refused backup: status 2, the reason logged, the error marker, and not
// a file changed or created anywhere.
void expectBackupRefused(const Site& site, const std::string& reason, const Tree& before) {
  fs::remove(site.log);
  EXPECT_EQ(site.run(), 2);
  EXPECT_EQ(fileOrNone(site.log), runLog({"backup failed: " + reason, "FAIL: backup"}));
  EXPECT_EQ(markerOf(site.marker), markerFor("error", "backup failed"));
  EXPECT_EQ(everythingBut(site), before);
}

}  // namespace

TEST(HostileOverlap, BackupOverlappingTheInstallationIsRefused) {
  struct Case {
    const char* relation;
    const char* backupAt;
  };
  for (const Case& c : {Case{"is the", "inst/app"}, Case{"lies inside the", "inst/app/bk"},
                        Case{"contains the", "inst"}}) {
    Site site("inst/app", "stage/staging");
    site.prepare();
    makeDirectories(site.install + "/bk");
    for (const Spelling& spelling : spellingsOf(site, c.backupAt)) {
      SCOPED_TRACE(std::string(c.relation) + " installation directory, " + spelling.label);
      site.backupArg = spelling.value;
      expectBackupRefused(site,
                          "backup directory " + spelling.value + " " + c.relation +
                              " installation directory " + site.install,
                          everythingBut(site));
    }
  }
#ifndef _WIN32
  // The installation under a bind mount: emptying that would empty it.
  Site site("inst/app", "stage/staging");
  site.prepare();
  const Mount alias = bindMount(site.install, site.root / "alias");
  if (!alias.mounted()) GTEST_SKIP() << "cannot bind-mount here";
  site.backupArg = site.root / "alias";
  expectBackupRefused(
      site, "backup directory " + site.backupArg + " is the installation directory " + site.install,
      everythingBut(site));
#endif
}

TEST(HostileOverlap, BackupOverlappingTheStagingDirectoryIsRefused) {
  struct Case {
    const char* relation;
    const char* backupAt;
  };
  for (const Case& c :
       {Case{"is the", "stage/staging"}, Case{"lies inside the", "stage/staging/bk"},
        Case{"contains the", "stage"}}) {
    Site site("inst/app", "stage/staging");
    site.prepare();
    makeDirectories(site.staging + "/bk");
    for (const Spelling& spelling : spellingsOf(site, c.backupAt)) {
      SCOPED_TRACE(std::string(c.relation) + " staging directory, " + spelling.label);
      site.backupArg = spelling.value;
      expectBackupRefused(site,
                          "backup directory " + spelling.value + " " + c.relation +
                              " staging directory " + site.staging,
                          everythingBut(site));
    }
  }
}

// The swap refuses to move a tree into itself before any file moves; the run
// then rolls back from its backup, which puts identical files back.
TEST(HostileOverlap, InstallationThatIsOrLiesInsideTheStagingDirectoryRollsBack) {
  struct Case {
    const char* relation;
    const char* installAt;
    const char* stagingAt;
  };
  for (const Case& c :
       {Case{"is the", "app", "app"}, Case{"lies inside the", "outer/app", "outer"}}) {
    Site site(c.installAt, c.stagingAt);
    if (site.staging != site.install) writeTree(site.staging, kNew);
    writeTree(site.install, kOld);
    for (const Spelling& spelling : spellingsOf(site, c.stagingAt)) {
      SCOPED_TRACE(std::string(c.relation) + " source, " + spelling.label);
      const Tree stagingBefore = filesOf(site.staging);
      site.stagingArg = spelling.value;
      EXPECT_EQ(site.run(), 0);
      const std::string failure = "swap exception: destination " + site.install + " " + c.relation +
                                  " source " + spelling.value;
      EXPECT_EQ(fileOrNone(site.log), runLog({swapFailureLine(failure)}));
      EXPECT_EQ(markerOf(site.marker), markerFor("rollback", failure));
      EXPECT_EQ(filesOf(site.install), kOld);
      EXPECT_EQ(filesOf(site.staging), stagingBefore);
      EXPECT_EQ(filesOf(site.backup), Tree{});
      EXPECT_FALSE(pathExists(site.backup + ".pending"));
      fs::remove(site.log);
    }
  }
}

// An ordinary layout: the staged files move up into the installation, and
// the backup holds a copy of the staging directory with the old version.
TEST(HostileOverlap, StagingInsideTheInstallationUpdates) {
  Tree backupExpected = kOld;
  for (const auto& [path, bytes] : kNew) backupExpected["staging/" + path] = bytes;
  for (std::size_t i = 0;; ++i) {
    Site site("app", "app/staging");
    site.prepare();
    const std::vector<Spelling> spellings = spellingsOf(site, "app/staging");
    if (i == spellings.size()) break;
    SCOPED_TRACE(spellings[i].label);
    site.stagingArg = spellings[i].value;

    EXPECT_EQ(site.run(), 0);
    EXPECT_EQ(fileOrNone(site.log), runLog({"success"}));
    EXPECT_EQ(markerOf(site.marker), markerFor("success", ""));
    EXPECT_EQ(filesOf(site.install), updated());
    EXPECT_EQ(filesOf(site.backup), backupExpected);
    // The removal takes a link for what it is: the link goes, and the real
    // staging directory stays inside the installation, empty of files.
    if (spellings[i].label == "link") {
      EXPECT_FALSE(pathExists(site.stagingArg));
      EXPECT_EQ(snapshotTree(site.staging), (Tree{{"lib", kDir}, {"lib/plugins", kDir}}));
    } else {
      EXPECT_FALSE(pathExists(site.staging));
    }
  }
}

// ---------------------------------------------------------------------------
// Links out of the staging directory. Wine cannot make links or junctions.

// A link is carried as itself: it never lands where its target lies.
TEST(HostileLinks, LinkToAFileOutsideIsCarriedAsItself) {
#ifdef _WIN32
  GTEST_SKIP() << "Wine shows a Unix link to a file as a plain file";
#else
  Site site;
  site.prepare();
  writeTree(site.root / "outside", {{"secret.dll", "secret"}});
  fs::create_symlink("../../../outside/secret.dll", site.staging + "/lib/plugins/evil.dll");
  const Tree outsideBefore = snapshotTree(site.root / "outside");

  EXPECT_EQ(site.run(), 0);
  EXPECT_EQ(fileOrNone(site.log), runLog({"success"}));
  EXPECT_EQ(markerOf(site.marker), markerFor("success", ""));
  EXPECT_EQ(fs::read_symlink(site.install + "/lib/plugins/evil.dll"),
            "../../../outside/secret.dll");
  EXPECT_EQ(snapshotTree(site.root / "outside"), outsideBefore);
  EXPECT_FALSE(fs::is_symlink(site.root / "outside/secret.dll"));
  EXPECT_EQ(namesIn(site.root.path()), (std::set<std::string>{"app", "data", "outside"}));
#endif
}

// Under Wine the directory links are Unix links, which Windows programs see
// as junctions. No walk may go through one: not the swap, not the staging
// removal, not the removal of an old backup that holds one.
TEST(HostileLinks, DirectoryLinksAndDanglingLinksArePassedOver) {
  Site site;
  site.prepare();
  const Tree outside = {{"inner.dll", "inner"}, {"sub/deeper.dll", "deeper"}};
  writeTree(site.root / "outside", outside);
  if (!makeDirectoryLink(site.root / "outside", joinPath(site.staging, "lib/outside")) ||
      !makeDirectoryLink(".." + std::string(1, kSep) + "outside",
                         joinPath(site.staging, "relative-outside"))) {
    GTEST_SKIP() << "no directory links here";
  }
#ifndef _WIN32
  fs::create_symlink(site.root / "gone.dll", site.staging + "/gone.dll");
#endif

  EXPECT_EQ(site.run(), 0);
  EXPECT_EQ(fileOrNone(site.log), runLog({"success"}));
  EXPECT_EQ(markerOf(site.marker), markerFor("success", ""));
  EXPECT_EQ(filesOf(site.install), updated());
  EXPECT_EQ(filesOf(site.root / "outside"), outside);
#ifdef _WIN32
  // No call removes a Unix link under Wine, so staging stays whole.
  EXPECT_TRUE(pathExists(site.staging));
#else
  EXPECT_FALSE(pathExists(site.staging));
#endif

  // The old backup holds a link: removing it must not go through it. Under
  // Wine it cannot go at all, which stops the run before anything moves.
  site.prepare();
  ASSERT_TRUE(makeDirectoryLink(site.root / "outside", joinPath(site.backup, "junction")));
  const Tree installed = filesOf(site.install);
  const int status = site.run();
  EXPECT_EQ(filesOf(site.root / "outside"), outside);
#ifdef _WIN32
  EXPECT_EQ(status, 2);
  EXPECT_NE(fileOrNone(site.log).find("backup failed: remove("), std::string::npos)
      << fileOrNone(site.log);
#else
  EXPECT_EQ(status, 0);
  EXPECT_EQ(filesOf(site.backup), installed);
#endif
}

// The installation's own links: the backup holds copies of what they lead
// to. A rollback leaves those copies in the backup rather than move them back
// through a link to a directory, into what it leads to (here a file that
// cannot be replaced, which stopped the rollback with status 3), or over a
// link to a file, which became a copy.
TEST(HostileLinks, RollbackNeitherGoesThroughNorReplacesTheInstallationsLinks) {
  Site site;
  site.prepare();
  // A file right below the link, and one two folders further down.
  writeTree(site.root / "shared", {{"tool.dll", "tool"}, {"deep/er/part.dll", "part"}});
  if (!makeDirectoryLink(site.root / "shared", joinPath(site.install, "lib/shared"))) {
    GTEST_SKIP() << "no directory links here";
  }
  Tree old = kOld;
  old["lib/shared/tool.dll"] = "tool";
  old["lib/shared/deep/er/part.dll"] = "part";
#ifndef _WIN32
  fs::create_symlink("core.dll", site.install + "/lib/core-link.dll");
  old["lib/core-link.dll"] = "core 1";
#endif
  const HeldFile pinShared(joinPath(site.root / "shared", "tool.dll"));
  const HeldFile pinDeep(joinPath(site.root / "shared", "deep/er/part.dll"));
  const std::string last = narrowOf(swapOrder(site.staging).back());
  const HeldFile pin(joinPath(site.staging, last));
  if (!pin.held() || !pinShared.held() || !pinDeep.held()) {
    GTEST_SKIP() << "cannot pin a file here";
  }

  EXPECT_EQ(site.run(), 0);
  const std::string failure = "MoveFileEx(" + fs::path(last).filename().string() +
                              ") err=" + kHeldSourceCode + " (file locked)";
  EXPECT_EQ(markerOf(site.marker), markerFor("rollback", failure));
  EXPECT_EQ(filesOf(site.install), old);
  EXPECT_EQ(filesOf(site.staging), kNew);
  EXPECT_EQ(fileOrNone(joinPath(site.backup, "lib/shared/tool.dll")), "tool");
  EXPECT_EQ(fileOrNone(joinPath(site.backup, "lib/shared/deep/er/part.dll")), "part");
#ifndef _WIN32
  EXPECT_EQ(fs::read_symlink(site.install + "/lib/core-link.dll"), "core.dll");
  EXPECT_EQ(fileOrNone(site.backup + "/lib/core-link.dll"), "core 1");
#endif
}

// ---------------------------------------------------------------------------
// A tree shaped like a package manager's output.

namespace {

// A name with a character outside ASCII, in the narrow encoding of paths.
#ifdef _WIN32
const char kAccented[] = "caf\xE9";
#else
const char kAccented[] = "caf\xC3\xA9";
#endif

// Version 1 or 2 of an application's packages below root: nested packages
// three levels deep, .bin entries that lead to files of sibling packages, a
// workspace package reached through a link to its directory, names with
// blanks and a non-ASCII character; 2 drops one package and adds another.
// With fileLinks false the .bin entries are copies of their targets, as real
// Windows installations have them (and as Wine needs: it shows a Unix file
// link as a plain file and moves its target). Returns the regular files, with
// what reading them through any link gives.
Tree writePackageTree(const std::string& root, int version, bool fileLinks) {
  const std::string v = std::to_string(version);
  std::vector<std::string> packages = {
      "eslint", "schema-utils", "acorn",  "ajv",      "chalk",
      "debug",  "ms",           "semver", "left pad", std::string(kAccented) + "-utils"};
  packages.push_back(version == 1 ? "old-only" : "new-only");
  Tree files;
  const auto add = [&](const std::string& relative, const std::string& bytes) {
    writeFile(joinPath(root, relative), bytes);
    files[relative] = bytes;
  };
  for (const std::string& name : packages) {
    const std::string top = "node_modules/" + name;
    add(top + "/package.json", "{\"name\":\"" + name + "\",\"version\":\"" + v + ".0.0\"}");
    add(top + "/bin/" + name + ".js", "#!/usr/bin/env node\n// " + name + " " + v + "\n");
    for (int i = 0; i < 24; ++i) {
      add(top + "/lib/part " + std::to_string(i) + ".js",
          name + " part " + std::to_string(i) + " of " + v + std::string(i * 3, ';'));
    }
    for (const char* dependency : {"fast-deep-equal", "supports-color"}) {
      const std::string nested = top + "/node_modules/" + dependency;
      add(nested + "/index.js", std::string(dependency) + " under " + name + " " + v);
      add(nested + "/node_modules/has-flag/index.js", "has-flag three deep " + v);
    }
  }
  for (const char* name : {"eslint", "acorn", "semver"}) {
    const std::string target = std::string("../") + name + "/bin/" + name + ".js";
    const std::string link = "node_modules/.bin/" + std::string(name);
    if (fileLinks) {
      makeDirectories(joinPath(root, "node_modules/.bin"));
      fs::create_symlink(target, fs::path(joinPath(root, link)));
      files[link] = files["node_modules/" + std::string(name) + "/bin/" + name + ".js"];
    } else {
      add(link, files["node_modules/" + std::string(name) + "/bin/" + name + ".js"]);
    }
  }
  add("packages/linked-pkg/index.js", "workspace package " + v);
  add("VEXO.exe", "exe " + v);
  if (!makeDirectoryLink(".." + std::string(1, kSep) + "packages" + kSep + "linked-pkg",
                         joinPath(root, "node_modules/linked-pkg"))) {
    ADD_FAILURE() << "cannot make a directory link";
  }
  files["node_modules/linked-pkg/index.js"] = files["packages/linked-pkg/index.js"];
  return files;
}

// The installation's file links, each with where it leads; empty under Windows.
std::map<std::string, std::string> fileLinksOf(const std::string& root) {
  std::map<std::string, std::string> links;
#ifndef _WIN32
  for (const auto& entry : fs::recursive_directory_iterator(root)) {
    if (entry.is_symlink() && !entry.is_directory()) {
      links[entry.path().lexically_relative(root).string()] = fs::read_symlink(entry).string();
    }
  }
#else
  (void)root;
#endif
  return links;
}

}  // namespace

// The same package tree through a success, a failed update (the last staged
// file cannot move: every other one is given back), and a kill in the middle
// of the swap followed by a rerun. Links are carried as themselves.
TEST(HostileTrees, PackageManagerTreeThroughSuccessFailureAndAKill) {
#ifdef _WIN32
  const bool fileLinks = false;
#else
  const bool fileLinks = true;
#endif
  for (const std::string outcome : {"success", "failure", "kill"}) {
    SCOPED_TRACE(outcome);
    Site site;
    const Tree old = writePackageTree(site.install, 1, fileLinks);
    const Tree staged = writePackageTree(site.staging, 2, fileLinks);
    ASSERT_GT(staged.size(), 300u);
    const auto stagedLinks = fileLinksOf(site.staging);
    Tree updatedTree = old;
    for (const auto& [path, bytes] : staged) updatedTree[path] = bytes;

    if (outcome == "failure") {
      const std::string last = narrowOf(swapOrder(site.staging).back());
      const HeldFile pin(joinPath(site.staging, last));
      if (!pin.held()) GTEST_SKIP() << "cannot pin a file here";
      EXPECT_EQ(site.run(), 0);
      EXPECT_EQ(markerOf(site.marker),
                markerFor("rollback", "MoveFileEx(" + fs::path(last).filename().string() +
                                          ") err=" + kHeldSourceCode + " (file locked)"));
      EXPECT_EQ(filesOf(site.install), old);
      EXPECT_EQ(filesOf(site.staging), staged);
      EXPECT_EQ(fileLinksOf(site.staging), stagedLinks);
      continue;
    }
    if (outcome == "kill") {
      // Past the backup's copies, half-way through the moves.
      setTestVariable("VEXO_TEST_KILL_AT", std::to_string(old.size() + staged.size() / 2));
      EXPECT_NE(site.run(), 0);
      setTestVariable("VEXO_TEST_KILL_AT", "");
    }
    EXPECT_EQ(site.run(), 0);
    EXPECT_EQ(markerOf(site.marker), markerFor("success", ""));
    EXPECT_EQ(filesOf(site.install), updatedTree);
    EXPECT_EQ(filesOf(site.backup), old);
    for (const auto& [link, target] : stagedLinks) {
      EXPECT_EQ(fs::read_symlink(site.install + kSep + link).string(), target) << link;
    }
  }
}

// ---------------------------------------------------------------------------
// Files that cannot be moved or removed: held open under Windows, immutable
// natively. A held or immutable installed file: Run.SwapAndRollbackFailure-
// EndsWithStatusThree.

TEST(HostileLocks, StagedFileThatCannotMoveKeepsEveryStagedFile) {
  Site site;
  site.prepare();
  // The last file the swap takes, so that every other one has moved first.
  const std::string last = narrowOf(swapOrder(site.staging).back());
  const HeldFile pin(joinPath(site.staging, last));
  if (!pin.held()) GTEST_SKIP() << "cannot pin a file here";

  EXPECT_EQ(site.run(), 0);
  const std::string failure = "MoveFileEx(" + fs::path(last).filename().string() +
                              ") err=" + kHeldSourceCode + " (file locked)";
  EXPECT_EQ(fileOrNone(site.log), runLog({swapFailureLine(failure)}));
  EXPECT_EQ(markerOf(site.marker), markerFor("rollback", failure));
  EXPECT_EQ(filesOf(site.install), kOld);
  EXPECT_EQ(filesOf(site.staging), kNew);
  EXPECT_FALSE(pathExists(site.backup + ".pending"));
}

TEST(HostileLocks, OldBackupFileThatCannotBeRemovedStopsBeforeTheInstallation) {
  Site site;
  site.prepare();
  writeTree(site.backup, {{"lib/stale.dll", "stale"}});
  const HeldFile pin(site.backup + kSep + "lib" + kSep + "stale.dll");
  if (!pin.held()) GTEST_SKIP() << "cannot pin a file here";

  EXPECT_EQ(site.run(), 2);
  const std::string reason = middleLine(fileOrNone(site.log), "FAIL: backup");
  EXPECT_EQ(reason.rfind("backup failed: ", 0), 0u) << fileOrNone(site.log);
  EXPECT_NE(reason.find("remove(" + site.backup), std::string::npos) << reason;
  EXPECT_EQ(markerOf(site.marker), markerFor("error", "backup failed"));
  EXPECT_EQ(filesOf(site.install), kOld);
  EXPECT_EQ(filesOf(site.staging), kNew);
  EXPECT_EQ(readFile(site.backup + "/lib/stale.dll"), "stale");
}

// ---------------------------------------------------------------------------
// A marker or log path that names a directory.

TEST(HostileReports, MarkerOrLogPathThatIsADirectoryKeepsTheOutcome) {
  {
    SCOPED_TRACE("marker");
    Site site;
    site.prepare();
    writeTree(site.marker, {{"inside.txt", "keep"}});
    EXPECT_EQ(site.run(), 0);
    EXPECT_EQ(fileOrNone(site.log), runLog({"success"}));
    EXPECT_EQ(snapshotTree(site.marker), (Tree{{"inside.txt", "keep"}}));
    EXPECT_EQ(filesOf(site.install), updated());
  }
  {
    SCOPED_TRACE("log");
    Site site;
    site.prepare();
    writeTree(site.log, {{"inside.txt", "keep"}});
    const std::string errors = site.root / "stderr.txt";
    Child child = startChildWithStderr(site.command(), errors, site.root.path());
    EXPECT_EQ(waitChild(child), 0);
    // The lines are lost: neither in the directory nor on the inherited
    // standard error.
    EXPECT_EQ(snapshotTree(site.log), (Tree{{"inside.txt", "keep"}}));
    EXPECT_EQ(readFile(errors), "");
    EXPECT_EQ(markerOf(site.marker), markerFor("success", ""));
    EXPECT_EQ(filesOf(site.install), updated());
  }
}

// The log and the marker inside the directories the run replaces or removes.
// The backup step deletes the old backup whole, an open log included, and
// the staging directory is gone before the marker is written.
TEST(HostileReports, LogOrMarkerInsideTheBackupOrStagingDirectory) {
  {
    SCOPED_TRACE("log inside the backup directory, second run");
    Site site;
    site.prepare();
    site.log = site.backup + kSep + "updater.log";
    writeTree(site.backup, {{"updater.log", "[vexo-updater] an earlier run\n"}});
    const int status = site.run();
#ifdef _WIN32
    // The log is open in this very process: the old backup cannot go.
    EXPECT_EQ(status, 2);
    EXPECT_EQ(markerOf(site.marker), markerFor("error", "backup failed"));
    EXPECT_EQ(filesOf(site.install), kOld);
    EXPECT_EQ(filesOf(site.staging), kNew);
    const std::string log = readFile(site.log);
    EXPECT_EQ(log.rfind("[vexo-updater] an earlier run\n" + runLog({}), 0), 0u) << log;
    EXPECT_NE(log.find("[vexo-updater] backup failed: remove("), std::string::npos) << log;
#else
    // Deleted with the old backup while open: the earlier lines and this
    // run's are gone; the outcome is the same as with any log.
    EXPECT_EQ(status, 0);
    EXPECT_EQ(markerOf(site.marker), markerFor("success", ""));
    EXPECT_EQ(filesOf(site.install), updated());
    EXPECT_EQ(filesOf(site.backup), kOld);
#endif
  }
  {
    SCOPED_TRACE("marker inside the staging directory");
    Site site;
    site.prepare();
    site.marker = site.staging + kSep + "marker.json";
    EXPECT_EQ(site.run(), 0);
    EXPECT_EQ(fileOrNone(site.log), runLog({"success"}));
    // Removed with the staging directory before it could be written.
    EXPECT_FALSE(pathExists(site.staging));
    EXPECT_EQ(filesOf(site.install), updated());
  }
}

// A log inside the installation is copied into the backup, and a rollback
// moves that copy back over the open log. Natively the log is then the
// backup's copy: the lines written since the backup are gone from it. Under
// Windows the open log refuses the move, so every failed update stops its
// rollback there and ends with status 3, the installation left mixed.
TEST(HostileReports, LogInsideTheInstallationDuringARollback) {
  Site site;
  site.prepare();
  site.log = site.install + kSep + "updater.log";
  const std::string last = narrowOf(swapOrder(site.staging).back());
  const HeldFile pin(joinPath(site.staging, last));
  if (!pin.held()) GTEST_SKIP() << "cannot pin a file here";

  const int status = site.run();
  const std::string failure = "MoveFileEx(" + fs::path(last).filename().string() +
                              ") err=" + kHeldSourceCode + " (file locked)";
#ifdef _WIN32
  expectTruthful(site, status, kOld, kNew);
  EXPECT_EQ(status, 3);
  EXPECT_EQ(markerOf(site.marker),
            markerFor("error", "rollback failed: MoveFileEx(updater.log) err=5 (file locked)"));
  EXPECT_EQ(fileOrNone(site.log), runLog({swapFailureLine(failure)}));
#else
  EXPECT_EQ(status, 0);
  EXPECT_EQ(markerOf(site.marker), markerFor("rollback", failure));
  EXPECT_EQ(fileOrNone(site.log), runLog({}));
  Tree installed = filesOf(site.install);
  installed.erase("updater.log");
  EXPECT_EQ(installed, kOld);
  EXPECT_EQ(filesOf(site.staging), kNew);
#endif
}

// ---------------------------------------------------------------------------
// The update journal beside the backup, <backup-dir>.pending, taken by
// something else.

TEST(HostileJournal, JournalPathThatIsADirectoryStopsBeforeAnyMove) {
  Site site;
  site.prepare();
  writeTree(site.backup + ".pending", {{"inside.txt", "keep"}});

  EXPECT_EQ(site.run(), 2);
  const std::string reason = middleLine(fileOrNone(site.log), "FAIL: backup");
  EXPECT_EQ(reason.rfind("backup failed: cannot record the update in progress: ", 0), 0u)
      << fileOrNone(site.log);
  EXPECT_EQ(markerOf(site.marker), markerFor("error", "backup failed"));
  EXPECT_EQ(filesOf(site.install), kOld);
  EXPECT_EQ(filesOf(site.staging), kNew);
  EXPECT_EQ(filesOf(site.backup), kOld);
  EXPECT_EQ(snapshotTree(site.backup + ".pending"), (Tree{{"inside.txt", "keep"}}));
}

// The journal would be written over the log (truncating it) and removed after
// the swap; the run refuses before the backup instead, its lines kept.
// Each spelling of that place is refused: on Windows in another case or as
// its short name, natively through a link to its folder.
TEST(HostileJournal, LogAtTheJournalPathKeepsItsLines) {
  const std::vector<std::string> spellings = {
      "plain",
      "marker",
#ifdef _WIN32
      "another case",
      "short name",
#else
      "link to the folder",
#endif
  };
  for (const std::string& spelling : spellings) {
    SCOPED_TRACE(spelling);
    // Wine makes no short names below Z:\dev, where memory scratch lies.
    Site site("app", "staging", "data/backup",
              spelling == "short name" ? Medium::kDisk : Medium::kMemory);
    site.prepare();
    const std::string journal = site.backup + ".pending";
    const std::string earlier = "[vexo-updater] an earlier run" + std::string(kLineEnd);
    writeFile(journal, earlier);
    site.log = journal;
    if (spelling == "marker") {
      // No journal yet: written at the end, the marker would take the place
      // of the journal a failed rollback keeps.
      std::filesystem::remove(journal);
      site.log = site.root / "data/updater.log";
      site.marker = journal;
    }
#ifdef _WIN32
    if (spelling == "another case") site.log = site.backup + ".PENDING";
    if (spelling == "short name") {
      char shortName[MAX_PATH];
      const DWORD length = GetShortPathNameA(journal.c_str(), shortName, MAX_PATH);
      ASSERT_GT(length, 0u);
      site.log = std::string(shortName, length);
      ASSERT_NE(site.log, journal);
    }
#else
    if (spelling == "link to the folder") {
      fs::create_directory_symlink(site.root / "data", site.root / "data-link");
      site.log = site.root / "data-link/backup.pending";
    }
#endif

    EXPECT_EQ(site.run(), 2);
    if (spelling == "marker") {
      EXPECT_EQ(fileOrNone(site.log),
                runLog({"backup failed: " + journal + " is the place of the update journal",
                        "FAIL: backup"}));
      EXPECT_FALSE(pathExists(site.backup));
    } else {
      EXPECT_EQ(fileOrNone(journal), earlier + runLog({"backup failed: " + site.log +
                                                           " is the place of the update journal",
                                                       "FAIL: backup"}));
    }
    EXPECT_EQ(markerOf(site.marker), markerFor("error", "backup failed"));
    EXPECT_EQ(filesOf(site.install), kOld);
    EXPECT_EQ(filesOf(site.staging), kNew);
  }
}

// ---------------------------------------------------------------------------
// A full disk: small tmpfs mounts, as root only (under Wine too: the drive
// maps the Linux folder the tmpfs is mounted on).

namespace {

constexpr std::size_t kKiB = 1024;

// No file of the test remains under a temporary name of the cross-file-
// system move: the target's name, ".vexo-" and six characters.
void expectNoTemporaries(const std::string& root) {
  for (const auto& [path, bytes] : snapshotTree(root)) {
    const std::size_t dot = path.rfind(".vexo-");
    EXPECT_FALSE(dot != std::string::npos && dot + 12 == path.size()) << path;
  }
}

}  // namespace

TEST(HostileFullDisk, BackupThatDoesNotFitStopsBeforeTheInstallation) {
  // The backup's file system holds 64 pages; each small file takes one.
  struct Case {
    const char* label;
    std::size_t bigKiB;
    std::string reason;
  };
  for (const Case& c : {Case{"the backup", 400, "backup failed: "},
                        Case{"the journal beside the full backup", 240,
                             "backup failed: cannot record the update in progress: "}}) {
    SCOPED_TRACE(c.label);
    Site site("app", "staging", "small/backup");
    SmallVolume small(site.root / "small", "256k");
    if (!small.mounted()) GTEST_SKIP() << "cannot mount a tmpfs here";
    site.prepare();
    Tree old = kOld;
    old["big.dat"] = std::string(c.bigKiB * kKiB, 'o');
    writeTree(site.install, old);

    EXPECT_EQ(site.run(), 2);
    const std::string reason = middleLine(fileOrNone(site.log), "FAIL: backup");
    EXPECT_EQ(reason.rfind(c.reason, 0), 0u) << fileOrNone(site.log);
    // The system's code for it: ERROR_DISK_FULL.
    EXPECT_NE(reason.find(" err=112"), std::string::npos) << reason;
    EXPECT_EQ(markerOf(site.marker), markerFor("error", "backup failed"));
    EXPECT_EQ(filesOf(site.install), old);
    EXPECT_EQ(filesOf(site.staging), kNew);
    // Room again: the rerun finishes.
    ASSERT_TRUE(small.resize("2m"));
    EXPECT_EQ(site.run(), 0) << fileOrNone(site.log);
    Tree expected = updated();
    expected["big.dat"] = old["big.dat"];
    EXPECT_TRUE(filesOf(site.install) == expected);
  }
}

// The installation lies on a small file system of its own, so a staged file
// comes in as a copy, made beside the file it replaces: it needs room for
// both. The old big file needs 300 KiB to come back, the new one 600.
TEST(HostileFullDisk, StagedFileThatDoesNotFitRollsBackOrReportsTheRollbackFailing) {
  struct Case {
    const char* label;
    std::size_t fillerKiB;  // of the 1024 KiB, beside the installation
    int status;
    std::string result;
  };
  const Case cases[] = {{"room for the old file", 300, 0, "rollback"},
                        {"no room for either", 500, 3, "error"}};
  const std::string bigFailure = "MoveFileEx(big.dat) err=112";
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    Site site("volume/app");
    const SmallVolume volume(site.root / "volume", "1024k");
    if (!volume.mounted()) GTEST_SKIP() << "cannot mount a tmpfs here";
    Tree old = kOld;
    old["big.dat"] = std::string(300 * kKiB, 'o');
    Tree staged = kNew;
    staged["big.dat"] = std::string(600 * kKiB, 'n');
    writeTree(site.install, old);
    writeTree(site.staging, staged);
    writeFile(site.root / "volume/filler.bin", std::string(c.fillerKiB * kKiB, 'f'));

    EXPECT_EQ(site.run(), c.status);
    const std::string log = fileOrNone(site.log);
    EXPECT_EQ(log, runLog({swapFailureLine(bigFailure)}));
    EXPECT_EQ(markerOf(site.marker),
              markerFor(c.result, c.status == 0 ? bigFailure : "rollback failed: " + bigFailure));
    EXPECT_EQ(filesLost(old, staged, site.install, site.staging, site.backup),
              std::vector<std::string>{});
    EXPECT_EQ(filesOf(site.staging), staged);
    if (c.status == 0) {
      EXPECT_EQ(filesOf(site.install), old);
    }
    expectNoTemporaries(site.root / "volume");
  }
}

// The marker and the log lie on a full file system: the marker is opened but
// not written, the lines are lost, and neither changes the outcome.
TEST(HostileFullDisk, MarkerAndLogOnAFullFileSystemKeepTheOutcome) {
  Site site;
  const SmallVolume full(site.root / "full", "64k");
  if (!full.mounted()) GTEST_SKIP() << "cannot mount a tmpfs here";
  site.prepare();
  site.log = site.root / "full/updater.log";
  site.marker = site.root / "full/marker.json";
  writeFile(site.root / "full/filler.bin", std::string(64 * kKiB, 'f'));

  EXPECT_EQ(site.run(), 0);
  EXPECT_EQ(filesOf(site.install), updated());
  EXPECT_FALSE(pathExists(site.staging));
  EXPECT_EQ(fileOrNone(site.log), "");
  // Opened, truncated and never filled: whoever reads the marker must take
  // one that does not parse for no outcome at all.
  EXPECT_EQ(fileOrNone(site.marker), "");
}

// A move across file systems writes its copy under a temporary name beside
// the target. Files whose names look like one, installed or staged, must
// survive it, and a file whose name is as long as a name may be still moves.
TEST(HostileNames, TemporaryNameOfAMoveAcrossFileSystemsIsNoOnesFile) {
  Site site("app", "volume/staging");
  const SmallVolume volume(site.root / "volume", "1024k");
  if (!volume.mounted()) GTEST_SKIP() << "cannot mount a tmpfs here";
  Tree old = kOld;
  old["lib/core.dll.vexo-moving"] = "installed, not staged";
  Tree staged = kNew;
  staged["version.txt.vexo-moving"] = "staged too";
  staged["lib/" + std::string(255, 'n')] = "the longest name";
  writeTree(site.install, old);
  writeTree(site.staging, staged);
#ifndef _WIN32
  const std::vector<fs::path> order = swapOrder(site.staging);
  EXPECT_LT(std::find(order.begin(), order.end(), "version.txt.vexo-moving"),
            std::find(order.begin(), order.end(), "version.txt"))
      << "the staged file must move first to show the loss";
#endif

  EXPECT_EQ(site.run(), 0);
  EXPECT_EQ(fileOrNone(site.log), runLog({"success"}));
  Tree expected = old;
  for (const auto& [path, bytes] : staged) expected[path] = bytes;
  EXPECT_EQ(filesOf(site.install), expected);
}

// ---------------------------------------------------------------------------
// Very long paths.

TEST(HostileLongPaths, StagedFileDeeperThanThePathLimitRollsBack) {
#ifdef _WIN32
  GTEST_SKIP() << "see HostileLongPaths.WindowsPathsLongerThanMaxPath";
#else
  Site site;
  site.prepare();
  plantDeep(site.staging, "deep.dll", "deep 2");

  EXPECT_EQ(site.run(), 0);
  const std::string failure = swapFailureOf(fileOrNone(site.log));
  EXPECT_EQ(failure.rfind("swap exception: ", 0), 0u) << fileOrNone(site.log);
  EXPECT_NE(failure.find(" err=206"), std::string::npos) << failure;
  EXPECT_EQ(markerOf(site.marker), markerFor("rollback", failure));
  EXPECT_EQ(filesOf(site.install), kOld);
  EXPECT_EQ(readDeep(site.staging, "deep.dll"), "deep 2");
  EXPECT_EQ(readDeep(site.install, "deep.dll"), kNone);
  for (const auto& [path, bytes] : kNew) {
    EXPECT_EQ(fileOrNone(joinPath(site.staging, path)), bytes) << path;
  }
  removeDeep(site.staging);
  removeDeep(site.install);
#endif
}

TEST(HostileLongPaths, InstalledFileDeeperThanThePathLimitStopsTheBackup) {
#ifdef _WIN32
  GTEST_SKIP() << "see HostileLongPaths.WindowsPathsLongerThanMaxPath";
#else
  Site site;
  site.prepare();
  plantDeep(site.install, "deep.dll", "deep 1");

  EXPECT_EQ(site.run(), 2);
  const std::string reason = middleLine(fileOrNone(site.log), "FAIL: backup");
  EXPECT_EQ(reason.rfind("backup failed: ", 0), 0u) << fileOrNone(site.log);
  EXPECT_EQ(markerOf(site.marker), markerFor("error", "backup failed"));
  EXPECT_EQ(readDeep(site.install, "deep.dll"), "deep 1");
  EXPECT_EQ(filesOf(site.staging), kNew);
  removeDeep(site.install);
  removeDeep(site.backup);
#endif
}

// ---------------------------------------------------------------------------
// Windows: read-only files, and paths longer than MAX_PATH.

#ifdef _WIN32
namespace {

bool readOnly(const std::string& path) {
  const DWORD attributes = GetFileAttributesA(path.c_str());
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_READONLY) != 0;
}

}  // namespace
#endif

// Windows itself refuses to replace a read-only file (code 5); the updater
// clears the attribute of the file it replaces just before (Win32Children.
// MoveReportsTheSystemCode). Wine replaces such files regardless, so only
// real Windows can show the difference; here both must succeed.
TEST(HostileWindows, ReadOnlyFiles) {
#ifndef _WIN32
  GTEST_SKIP() << "the read-only attribute denies root nothing; see HostileLocks";
#else
  {
    SCOPED_TRACE("read-only installed file");
    Site site;
    site.prepare();
    const std::string core = site.install + "\\lib\\core.dll";
    ASSERT_TRUE(SetFileAttributesA(core.c_str(), FILE_ATTRIBUTE_READONLY));
    EXPECT_EQ(site.run(), 0);
    EXPECT_EQ(fileOrNone(site.log), runLog({"success"}));
    EXPECT_EQ(filesOf(site.install), updated());
    // The backup's copy keeps the attribute; the next run removes it all
    // the same (Win32Children.BackupReplacesReadOnlyCopiesCompletely).
    EXPECT_TRUE(readOnly(site.backup + "\\lib\\core.dll"));
  }
  {
    SCOPED_TRACE("read-only staged file in a read-only folder");
    Site site;
    site.prepare();
    const std::string core = site.staging + "\\lib\\core.dll";
    ASSERT_TRUE(SetFileAttributesA(core.c_str(), FILE_ATTRIBUTE_READONLY));
    ASSERT_TRUE(SetFileAttributesA((site.staging + "\\lib").c_str(), FILE_ATTRIBUTE_READONLY));
    EXPECT_EQ(site.run(), 0);
    EXPECT_EQ(fileOrNone(site.log), runLog({"success"}));
    EXPECT_EQ(markerOf(site.marker), markerFor("success", ""));
    EXPECT_EQ(filesOf(site.install), updated());
    EXPECT_FALSE(pathExists(site.staging));
    // The attribute travels with the file; the next update clears it before
    // replacing the file, as above.
    EXPECT_TRUE(readOnly(site.install + "\\lib\\core.dll"));
  }
#endif
}

// Every path reaches the system in its long form ("\\?\"), so paths past
// MAX_PATH (260) are backed up, moved in and removed like any other, whatever
// LongPathsEnabled says.
TEST(HostileWindows, PathsLongerThanMaxPath) {
#ifndef _WIN32
  GTEST_SKIP() << "see HostileLongPaths";
#else
  const std::string l(90, 'l');
  const std::string m(90, 'm');
  const std::string n(150, 'n');
  struct Case {
    const char* label;
    std::string relative;
    bool staged;
  };
  for (const Case& c :
       {Case{"a file name beyond 260", l + "/" + m + "/" + n + ".dll", true},
        Case{"a folder beyond 260", l + "/" + m + "/" + m + "/deep.dll", true},
        Case{"an installed folder beyond 260", l + "/" + m + "/" + m + "/deep.dll", false}}) {
    SCOPED_TRACE(c.label);
    Site site;
    site.prepare();
    writeFile(joinPath(c.staged ? site.staging : site.install, c.relative), "deep");
    ASSERT_GT(joinPath(site.install, c.relative).size(), 260u);
    Tree old = kOld;
    Tree staged = kNew;
    (c.staged ? staged : old)[c.relative] = "deep";

    EXPECT_EQ(site.run(), 0);
    EXPECT_EQ(fileOrNone(site.log), runLog({"success"}));
    expectTruthful(site, 0, old, staged);
    // The C runtime underneath the tests' own reads stops at MAX_PATH.
    const auto readLong = [](const std::string& path) {
      InputFile file(toFsPath(path));
      char bytes[16];
      return std::string(bytes, file.read(bytes, sizeof bytes));
    };
    EXPECT_EQ(readLong(joinPath(site.install, c.relative)), "deep");
    if (!c.staged) {
      EXPECT_EQ(readLong(joinPath(site.backup, c.relative)), "deep");
    }
    // Short enough again for the library to remove.
    for (const std::string& root : {site.install, site.staging, site.backup}) {
      if (isDirectory(joinPath(root, l))) fs::rename(joinPath(root, l), joinPath(root, "l"));
    }
  }
#endif
}
