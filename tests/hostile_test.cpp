// Hostile arguments and conditions, each through the built vexo-updater as a
// child process, one row each. Every row checks that nothing is lost (every
// installed file is in the installation or the backup, every staged file in
// the installation or the staging directory, byte for byte) and that the
// exit status, the marker and the log say what happened.
// docs/hostile-inputs.md lists every case with the row that shows it.
#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <memory>
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
#include <unistd.h>
#endif

namespace {

namespace fs = std::filesystem;
using Argv = std::vector<std::string>;

const char kNone[] = "<none>";
constexpr std::size_t kKiB = 1024;

std::string fileOrNone(const std::string& path) {
  return pathExists(path) && !isDirectory(path) ? readFile(path) : kNone;
}

// The marker with its appliedAt digits replaced by T, or kNone.
std::string markerOf(const std::string& path) { return markerWithoutTime(fileOrNone(path)); }

// The names directly inside dir.
std::set<std::string> namesIn(const std::string& dir) {
  std::set<std::string> names;
  for (const auto& entry : fs::directory_iterator(fs::path(dir))) {
    names.insert(entry.path().filename().string());
  }
  return names;
}

// The argument list with the named option's pair removed.
Argv without(Argv argv, const std::string& option) {
  const auto at = std::find(argv.begin(), argv.end(), "--" + option);
  if (at != argv.end()) argv.erase(at, at + 2);
  return argv;
}

// The argument list with the named option's value replaced.
Argv with(Argv argv, const std::string& option, const std::string& value) {
  const auto at = std::find(argv.begin(), argv.end(), "--" + option);
  if (at != argv.end()) *(at + 1) = value;
  return argv;
}

// The failure text of a staged or installed file that cannot move.
std::string heldFailure(const std::string& relative) {
  return "MoveFileEx(" + fs::path(relative).filename().string() + ") err=" + kHeldSourceCode +
         " (file locked)";
}

// What a row's run is checked against: the files of either version, as the
// setup leaves them unless it names them, and the swap's failure, where the
// row knows it exactly.
struct Given {
  Tree installed;
  Tree staged;
  std::string failure;
};

// Pins the staged file the swap takes last, so that every other one has
// moved first; false where files cannot be held.
bool pinLastStaged(UpdateSite& site, Given& given) {
  const std::string last = narrowOf(swapOrder(site.staging).back());
  auto pin = std::make_shared<HeldFile>(joinPath(site.staging, last));
  site.kept.push_back(pin);
  given.failure = heldFailure(last);
  return pin->held();
}

// Mounts a small tmpfs at relative below the root for the row's life.
bool smallVolume(UpdateSite& site, const std::string& relative, const std::string& size) {
  auto volume = std::make_shared<Mount>(site.root / relative, size);
  site.kept.push_back(volume);
  return volume->mounted();
}

// What a run left for a row to look at.
struct Ended {
  int status = 0;
  std::string log;      // the log file's text, or the standard error's without --log
  std::string earlier;  // what the log held before the run
  std::string errors;   // the standard error
  Given given;
  Tree before;  // everything but the log and the marker, before the run
};

// Where a row's places lie below the root.
struct At {
  const char* install = "app";
  const char* staging = "staging";
  const char* backup = "app-data/backup";
  Medium medium = Medium::kMemory;
};

// One row: its name, the status, the marker's result, how the log tells the
// outcome, then what the row changes.
struct Row {
  std::string name;
  int status;  // -1: the row checks it
  // The marker's result ("" for no marker at all), and with it the trees:
  // the new version over the old after a success, the old version and every
  // staged file after a rollback or a refused backup. nullptr: the row checks
  // the marker and the trees itself.
  const char* result;
  // How the line that tells the outcome begins: the reason of a refused
  // backup (after "backup failed: ") or the swap's failure; "" for a
  // success. The log must then be that run's lines after what it held
  // before. nullptr: the row checks the log itself.
  const char* reason;
  At at = {};
  // Makes the condition in a site whose versions are in place. False when
  // this machine cannot make it: the row is then passed over with a line
  // saying so.
  std::function<bool(UpdateSite&, Given&)> setup = [](UpdateSite&, Given&) { return true; };
  std::function<void(const UpdateSite&, const Ended&)> more = nullptr;
  // The command line, where the row changes the site's.
  std::function<Argv(const UpdateSite&)> argv = nullptr;
  // Where the run starts, below the root (else the root).
  std::string workDir = "";
  // A refused run must leave everything but the log and the marker as it was.
  bool untouched = false;

  Row& in(At places) { return at = places, *this; }
  Row& given(std::function<bool(UpdateSite&, Given&)> f) { return setup = std::move(f), *this; }
  Row& then(std::function<void(const UpdateSite&, const Ended&)> f) {
    return more = std::move(f), *this;
  }
  Row& called(std::function<Argv(const UpdateSite&)> f) { return argv = std::move(f), *this; }
  Row& from(const std::string& dir) { return workDir = dir, *this; }
  Row& touchingNothing() { return untouched = true, *this; }
};

// The files of a tree that cannot be read: the row's versions say what is there.
Tree filesOrNothing(const std::string& root) {
  try {
    return filesOf(root);
  } catch (const std::exception&) {
    return {};
  }
}

void expectRow(const Row& row) {
  SCOPED_TRACE(row.name);
  UpdateSite site(row.at.install, row.at.staging, row.at.backup, row.at.medium);
  site.prepare();
  Given given;
  if (!row.setup(site, given)) {
    std::printf("[ skip ] %s: cannot be made here\n", row.name.c_str());
    return;
  }
  if (given.installed.empty()) given.installed = filesOrNothing(site.install);
  if (given.staged.empty()) given.staged = filesOrNothing(site.staging);
  const std::string errorsFile = site.root / "stderr.txt";
  const Argv argv = row.argv ? row.argv(site) : site.command();
  const bool logged = std::find(argv.begin(), argv.end(), "--log") != argv.end();
  const std::string earlier = logged && fileOrNone(site.log) != kNone ? readFile(site.log) : "";
  const bool untouched = row.untouched || row.status == 64;
  Ended ended{0, "", earlier, "", given, untouched ? site.everythingBut({"stderr.txt"}) : Tree{}};
  Child child = startChildWithStderr(
      argv, errorsFile, row.workDir.empty() ? site.root.path() : site.root / row.workDir);
  ended.status = waitChild(child);
  ended.errors = readFile(errorsFile);
  ended.log = logged ? fileOrNone(site.log) : ended.errors;

  if (row.status >= 0) {
    EXPECT_EQ(ended.status, row.status);
  }
  EXPECT_EQ(filesLost(given.installed, given.staged, site.install, site.staging, site.backup),
            std::vector<std::string>{});
  // The run's own lines, after what the log held before.
  const std::string log = ended.log.substr(std::min(earlier.size(), ended.log.size()));
  if (row.reason != nullptr && ended.log != kNone) {
    EXPECT_EQ(ended.log.rfind(earlier, 0), 0u) << ended.log;
    if (!given.failure.empty()) {
      EXPECT_EQ(log, runLog({swapFailureLine(given.failure)}));
    } else if (row.status == 2) {
      EXPECT_EQ(
          middleLine(log, "FAIL: backup").rfind(std::string("backup failed: ") + row.reason, 0), 0u)
          << log;
    } else if (row.reason[0] == '\0') {
      EXPECT_EQ(log, runLog({"success"}));
    } else {
      EXPECT_EQ(swapFailureOf(log).rfind(row.reason, 0), 0u) << log;
    }
  }
  const std::string result = row.result == nullptr ? "-" : row.result;
  const bool succeeded = row.status == 0 && result != "rollback" && result != "-";
  if (result == "") {
    EXPECT_EQ(fileOrNone(site.marker), kNone);
  } else if (row.status == 3 && result != "-") {
    EXPECT_NE(
        markerOf(site.marker).find("\"result\":\"error\",\"errorMessage\":\"rollback failed: "),
        std::string::npos)
        << markerOf(site.marker);
  } else if (result != "-") {
    EXPECT_EQ(markerOf(site.marker),
              expectedMarker(result, result == "rollback" ? swapFailureOf(log)
                                     : result == "error"  ? "backup failed"
                                                          : ""));
  }
  if (succeeded) {
    EXPECT_EQ(filesOf(site.install), overlay(given.installed, given.staged));
  } else if (result != "-" && (row.status == 0 || row.status == 2)) {
    EXPECT_EQ(filesOf(site.install), given.installed);
    EXPECT_EQ(filesOf(site.staging), given.staged);
  }
  if (row.status == 64) {
    EXPECT_FALSE(pathExists(site.log));
  }
  if (untouched) {
    EXPECT_EQ(site.everythingBut({"stderr.txt"}), ended.before);
  }
  if (row.more) row.more(site, ended);
}

// Whatever the outcome, the status, the marker and the three directories
// agree, and nothing is lost.
[[maybe_unused]] void expectTruthful(const UpdateSite& site, const Ended& ended) {
  const std::string marker = markerOf(site.marker);
  if (ended.status == 0 && marker == expectedMarker("success", "")) {
    for (const auto& [path, bytes] : ended.given.staged) {
      EXPECT_EQ(fileOrNone(joinPath(site.install, path)), bytes) << path;
    }
    return;
  }
  if (ended.status != 2) {
    EXPECT_NE(swapFailureOf(ended.log), "") << ended.log;
  }
  if (ended.status == 0) {
    EXPECT_EQ(marker, expectedMarker("rollback", swapFailureOf(ended.log)));
    for (const auto& [path, bytes] : ended.given.installed) {
      EXPECT_EQ(fileOrNone(joinPath(site.install, path)), bytes) << path;
    }
  } else if (ended.status == 2) {
    EXPECT_EQ(marker, expectedMarker("error", "backup failed"));
    for (const auto& [path, bytes] : ended.given.staged) {
      EXPECT_EQ(fileOrNone(joinPath(site.staging, path)), bytes) << path;
    }
  } else {
    EXPECT_EQ(ended.status, 3);
    EXPECT_NE(marker.find("\"result\":\"error\",\"errorMessage\":\"rollback failed: "),
              std::string::npos)
        << marker;
  }
}

// Ways to name the directory at relative (below the site's root, with '/')
// other than its plain absolute form; a link is made here.
const std::vector<std::string> kSpellings = {"plain", "trailing separator", "dot-dot", "relative",
#ifdef _WIN32
                                             "another case"};
#else
                                             "link"};
#endif

std::string spelled(const UpdateSite& site, const std::string& relative,
                    const std::string& spelling) {
  const std::string plain = site.root / relative;
  const std::string native = joinPath("", relative);
  if (spelling == "trailing separator") return plain + kSep;
  if (spelling == "dot-dot") return joinPath(site.root / "app-data", "..") + kSep + native;
  if (spelling == "relative") return native;
  if (spelling == "another case") {
    std::string upper = plain;
    for (char& c : upper) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return upper;
  }
  if (spelling == "link") {
    std::string name = "link-" + relative;
    std::replace(name.begin(), name.end(), '/', '-');
    if (!pathExists(site.root / name)) fs::create_directory_symlink(plain, site.root / name);
    return site.root / name;
  }
  return plain;
}

#ifndef _WIN32
// A chain of directories below root whose whole path is longer than the
// system takes in one call (PATH_MAX, 4096), each name shorter than 255.
const std::string kLongName(200, 'd');
constexpr int kDeep = 25;

// The deepest directory of the chain below root, opened; with create, the
// chain is made on the way. -1 when it cannot be reached.
int openDeep(const std::string& root, bool create) {
  int dir = open(root.c_str(), O_RDONLY | O_DIRECTORY);
  for (int level = 0; level < kDeep && dir >= 0; ++level) {
    if (create) mkdirat(dir, kLongName.c_str(), 0755);
    const int next = openat(dir, kLongName.c_str(), O_RDONLY | O_DIRECTORY);
    close(dir);
    dir = next;
  }
  return dir;
}

void plantDeep(const std::string& root, const std::string& bytes) {
  const int dir = openDeep(root, true);
  const int file = openat(dir, "deep.dll", O_WRONLY | O_CREAT | O_TRUNC, 0644);
  close(dir);
  ASSERT_GE(file, 0);
  ASSERT_EQ(write(file, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
  close(file);
}

// The deep file's bytes, or kNone.
std::string readDeep(const std::string& root) {
  const int dir = openDeep(root, false);
  const int file = dir < 0 ? -1 : openat(dir, "deep.dll", O_RDONLY);
  if (dir >= 0) close(dir);
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
#else
bool readOnly(const std::string& path) {
  const DWORD attributes = GetFileAttributesA(path.c_str());
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_READONLY) != 0;
}
#endif

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
// Natively the .bin entries are links; under Windows copies of their targets,
// as real Windows installations have them (and as Wine needs: it shows a Unix
// file link as a plain file and moves its target). Returns the regular
// files, with what reading them through any link gives.
Tree writePackageTree(const std::string& root, int version) {
  fs::remove_all(root);
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
  for (const std::string name : {"eslint", "acorn", "semver"}) {
    const std::string link = "node_modules/.bin/" + name;
    const std::string& target = files["node_modules/" + name + "/bin/" + name + ".js"];
#ifdef _WIN32
    add(link, target);
#else
    makeDirectories(joinPath(root, "node_modules/.bin"));
    fs::create_symlink("../" + name + "/bin/" + name + ".js", fs::path(joinPath(root, link)));
    files[link] = target;
#endif
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

// The file links of a package tree, each with where it leads; none under Windows.
std::map<std::string, std::string> packageLinks() {
  std::map<std::string, std::string> links;
#ifndef _WIN32
  for (const std::string name : {"eslint", "acorn", "semver"}) {
    links["node_modules/.bin/" + name] = "../" + name + "/bin/" + name + ".js";
  }
#endif
  return links;
}

// The tree's file links, each with where it leads; empty under Windows.
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

// No file remains under a temporary name of the cross-file-system move: the
// target's name, ".vexo-" and six characters.
void expectNoTemporaries(const std::string& root) {
  for (const auto& [path, bytes] : snapshotTree(root)) {
    const std::size_t dot = path.rfind(".vexo-");
    EXPECT_FALSE(dot != std::string::npos && dot + 12 == path.size()) << path;
  }
}

// The table runs in two parts, each a test of its own, so that ctest can run
// them side by side: the arguments and the places they name, then the
// conditions met on the disk (package trees, the marker and the log, a full
// volume, read-only files, long paths).
enum class Part { kArguments, kConditions };

void runTable(Part part) {
  std::vector<Row> rows;
  const auto add = [&rows](const std::string& name, int status, const char* result,
                           const char* reason) -> Row& {
    rows.push_back({name, status, result, reason});
    return rows.back();
  };

  // --- Options missing, empty, or naming files. Nothing is written anywhere
  // else, the journal included. Without staging there is nothing to move
  // from: the run rolls back, putting the backup's copies back over
  // identical files.
  for (const std::string option : {"install-dir", "staging-dir", "backup-dir"}) {
    for (const bool omitted : {true, false}) {
      const bool staging = option == "staging-dir";
      add(option + (omitted ? " omitted" : " empty"), staging ? 0 : 2,
          staging ? "rollback" : "error", staging ? "swap exception: " : "")
          .called([=](const UpdateSite& site) {
            return omitted ? without(site.command(), option) : with(site.command(), option, "");
          })
          .then([staging](const UpdateSite& site, const Ended&) {
            if (staging) {
              EXPECT_EQ(filesOf(site.backup), Tree{});
            }
            EXPECT_EQ(namesIn(site.root.path()),
                      (std::set<std::string>{"app", "staging", "app-data", "stderr.txt"}));
            std::set<std::string> data = {"updater.log", "applied-marker.json"};
            if (pathExists(site.backup)) data.insert("backup");
            EXPECT_EQ(namesIn(site.root / "app-data"), data);
          });
    }
  }
  // No marker appears anywhere, the working folder included.
  add("no applied-marker", 0, "", "")
      .called([](const UpdateSite& site) { return without(site.command(), "applied-marker"); })
      .then([](const UpdateSite& site, const Ended&) {
        EXPECT_FALSE(pathExists(site.staging));
        EXPECT_EQ(namesIn(site.root.path()),
                  (std::set<std::string>{"app", "app-data", "stderr.txt"}));
        EXPECT_EQ(namesIn(site.root / "app-data"),
                  (std::set<std::string>{"backup", "updater.log"}));
      });
  // Without --log the lines go to the standard error.
  add("no log", 0, "success", "")
      .called([](const UpdateSite& site) { return without(site.command(), "log"); })
      .then([](const UpdateSite& site, const Ended&) { EXPECT_FALSE(pathExists(site.log)); });
  // A file at the backup path is the one thing the run deletes: the backup
  // takes its place.
  for (const std::string option : {"install-dir", "staging-dir", "backup-dir"}) {
    const bool backup = option == "backup-dir";
    const bool install = option == "install-dir";
    add(option + " naming a file", install ? 2 : 0,
        backup    ? "success"
        : install ? "error"
                  : "rollback",
        backup || install ? "" : "swap exception: ")
        .given([backup](UpdateSite& site, Given&) {
          writeFile(site.root / "a-file", "a file");
          if (backup) site.backup = site.root / "a-file";
          return true;
        })
        .called([option](const UpdateSite& site) {
          return with(site.command(), option, site.root / "a-file");
        })
        .then([backup](const UpdateSite& site, const Ended& ended) {
          if (backup) {
            EXPECT_EQ(filesOf(site.root / "a-file"), ended.given.installed);
          } else {
            EXPECT_EQ(readFile(site.root / "a-file"), "a file");
          }
        });
  }

  // "." as the backup directory names the updater's working directory:
  // emptying it would take the host's files with it, so the run refuses it
  // before the removal, as it refuses a folder that holds the working
  // directory. A root is refused the same way: natively "/" is not tried,
  // for safety; on Windows a drive letter mapped to a scratch folder stands
  // for one (Wine maps the letters through its prefix's dosdevices folder),
  // and a network share's root, which the library takes for a folder.
  std::vector<std::pair<std::string, std::string>> sweeping = {
      {".", " is or contains the working directory "},
      {"..", " is or contains the working directory "}};
#ifdef _WIN32
  const TempDir scratch;
  writeFile(scratch / "keep.txt", "the drive's");
  const char* prefix = std::getenv("WINEPREFIX");
  std::string mapped = prefix == nullptr ? "" : "Z:" + std::string(prefix) + "\\dosdevices\\q:";
  std::replace(mapped.begin(), mapped.end(), '/', '\\');
  // Only the part that runs these rows maps the letter: the other may run at
  // the same time.
  if (part != Part::kArguments) mapped.clear();
  // A run that stopped half-way may have left the letter mapped.
  if (!mapped.empty()) removeDirectoryLink(mapped);
  const bool driveMapped = !mapped.empty() && makeDirectoryLink(scratch.path(), mapped);
  if (driveMapped) {
    sweeping.push_back({"Q:\\", " is a root directory"});
    // Fault caught: isShareOrDeviceRoot missing the drive root's long form
    // "\\?\Q:\", which the updater would then empty as a backup directory.
    sweeping.push_back({"\\\\?\\Q:\\", " is a root directory"});
  }
  sweeping.push_back({"\\\\server\\share", " is a root directory"});
  sweeping.push_back({"\\\\?\\UNC\\server\\share\\", " is a root directory"});
#endif
  for (const auto& [backup, words] : sweeping) {
    add("backup directory " + backup, 2, "error", "backup directory ")
        .given([backup = backup](UpdateSite& site, Given&) {
          writeTree(site.root / "work/inner", {{"notes.txt", "the host's"}});
          site.backupArg = backup;
          return true;
        })
        .from("work/inner")
        .then([words = words](const UpdateSite& site, const Ended& ended) {
          EXPECT_EQ(middleLine(ended.log, "FAIL: backup")
                        .rfind("backup failed: backup directory " + site.backupArg + words, 0),
                    0u)
              << ended.log;
          EXPECT_EQ(readFile(site.root / "work/inner/notes.txt"), "the host's");
        });
  }

  // Unknown names are stored and never read; a stray argument or a joined
  // name=value shifts every later pair, so the options after it are lost.
  add("unknown names, other cases, the empty name, name=value as a pair", 0, "success", "")
      .called([](const UpdateSite& site) {
        Argv argv = site.command();
        for (const std::string& extra :
             {std::string("--colour"), std::string("blue"), std::string("--Install-Dir"),
              site.root / "elsewhere", std::string("--"), std::string("x"),
              "--log=" + site.root / "other.log", std::string("y"), std::string("--INSTALL-DIR"),
              site.root / "elsewhere2"}) {
          argv.push_back(extra);
        }
        return argv;
      })
      .then([](const UpdateSite& site, const Ended&) {
        for (const char* made : {"elsewhere", "elsewhere2", "other.log"}) {
          EXPECT_FALSE(pathExists(site.root / made)) << made;
        }
      });
  // --vexo-pid has lost its value to the shift: nothing may happen.
  for (const std::string first : {"stray", "--install-dir=<install>"}) {
    add("a shifting " + first + " before --vexo-pid", 64, "", nullptr)
        .called([first](const UpdateSite& site) {
          Argv argv = site.command();
          argv.insert(argv.begin() + 1, first == "stray" ? first : "--install-dir=" + site.install);
          return argv;
        })
        .then([](const UpdateSite&, const Ended& ended) {
          EXPECT_NE(ended.errors.find("--vexo-pid"), std::string::npos) << ended.errors;
        });
  }
  // Only the process id survives: no backup directory, no log, no marker.
  add("--install-dir=PATH right after the process id", 2, "", nullptr)
      .called([](const UpdateSite& site) {
        Argv argv = without(site.command(), "vexo-pid");
        argv.insert(argv.begin() + 1, {"--vexo-pid", kNoProcess, "--install-dir=" + site.install});
        return argv;
      })
      .touchingNothing()
      .then([](const UpdateSite&, const Ended& ended) {
        EXPECT_EQ(ended.errors.rfind(
                      logLines({"starting vexoPid=4000000000 from= to=", lineA(kNoProcess)}) +
                          "[vexo-updater] backup failed: ",
                      0),
                  0u)
            << ended.errors;
        const std::string last = logLines({"FAIL: backup"});
        EXPECT_EQ(ended.errors.substr(ended.errors.size() - last.size()), last);
      });

  // --- Overlapping directories, in every spelling. A refused backup
  // changes and creates nothing anywhere.
  for (const auto& [relation, with, backupAt] :
       {std::tuple<std::string, std::string, std::string>{"is the", "installation", "inst/app"},
        {"lies inside the", "installation", "inst/app/bk"},
        {"contains the", "installation", "inst"},
        {"is the", "staging", "stage/staging"},
        {"lies inside the", "staging", "stage/staging/bk"},
        {"contains the", "staging", "stage"}}) {
    for (const std::string& spelling : kSpellings) {
      add("backup " + relation + " " + with + " directory, " + spelling, 2, "error",
          "backup directory ")
          .in({"inst/app", "stage/staging"})
          .touchingNothing()
          .given([backupAt = backupAt, spelling](UpdateSite& site, Given&) {
            makeDirectories(site.install + "/bk");
            makeDirectories(site.staging + "/bk");
            site.backupArg = spelled(site, backupAt, spelling);
            return true;
          })
          .then([relation = relation, with = with](const UpdateSite& site, const Ended& ended) {
            const std::string other = with == "staging" ? "staging directory " + site.staging
                                                        : "installation directory " + site.install;
            EXPECT_EQ(ended.log, runLog({"backup failed: backup directory " + site.backupArg + " " +
                                             relation + " " + other,
                                         "FAIL: backup"}));
          });
    }
  }
#ifndef _WIN32
  // The installation under a bind mount: emptying that would empty it.
  add("backup is the installation directory under a bind mount", 2, "error", "backup directory ")
      .in({"inst/app", "stage/staging"})
      .touchingNothing()
      .given([](UpdateSite& site, Given&) {
        auto alias = std::make_shared<Mount>(site.root / "alias", site.install, VolumeKind::kBind);
        site.kept.push_back(alias);
        site.backupArg = site.root / "alias";
        return alias->mounted();
      })
      .then([](const UpdateSite& site, const Ended& ended) {
        EXPECT_EQ(middleLine(ended.log, "FAIL: backup"),
                  "backup failed: backup directory " + site.backupArg +
                      " is the installation directory " + site.install);
      });
#endif
  // The swap refuses to move a tree into itself before any file moves; the
  // run then rolls back from its backup, which puts identical files back.
  for (const auto& [relation, installAt, stagingAt] :
       {std::tuple<std::string, const char*, const char*>{"is the", "app", "app"},
        {"lies inside the", "outer/app", "outer"}}) {
    for (const std::string& spelling : kSpellings) {
      add("installation " + relation + " staging directory, " + spelling, 0, "rollback",
          "swap exception: destination ")
          .in({installAt, stagingAt})
          .given([stagingAt = stagingAt, spelling](UpdateSite& site, Given&) {
            fs::remove_all(site.staging);
            if (site.staging != site.install) writeTree(site.staging, kNewVersion);
            writeTree(site.install, kOldVersion);
            site.stagingArg = spelled(site, stagingAt, spelling);
            return true;
          })
          .then([relation = relation](const UpdateSite& site, const Ended& ended) {
            EXPECT_EQ(swapFailureOf(ended.log), "swap exception: destination " + site.install +
                                                    " " + relation + " source " + site.stagingArg);
            EXPECT_EQ(filesOf(site.backup), Tree{});
            EXPECT_FALSE(pathExists(site.journal()));
          });
    }
  }
  // An ordinary layout: the staged files move up into the installation, and
  // the backup holds a copy of the staging directory with the old version.
  // The removal takes a link for what it is: the link goes, and the real
  // staging directory stays inside the installation, empty of files.
  for (const std::string& spelling : kSpellings) {
    add("staging inside the installation, " + spelling, 0, "success", "")
        .in({"app", "app/staging"})
        .given([spelling](UpdateSite& site, Given& given) {
          site.stagingArg = spelled(site, "app/staging", spelling);
          given = {kOldVersion, kNewVersion, ""};
          return true;
        })
        .then([spelling](const UpdateSite& site, const Ended&) {
          Tree backupExpected = kOldVersion;
          for (const auto& [path, bytes] : kNewVersion) backupExpected["staging/" + path] = bytes;
          EXPECT_EQ(filesOf(site.backup), backupExpected);
          if (spelling == "link") {
            EXPECT_FALSE(pathExists(site.stagingArg));
            EXPECT_EQ(snapshotTree(site.staging), (Tree{{"lib", kDir}, {"lib/plugins", kDir}}));
          } else {
            EXPECT_FALSE(pathExists(site.staging));
          }
        });
  }

  // --- Links. Wine shows a Unix link made on the Linux side to a directory
  // as a junction, and one to a file as a plain file.
#ifndef _WIN32
  // A link to a file is carried as itself: it never lands where its target lies.
  add("a staged link to a file outside", 0, "success", "")
      .given([](UpdateSite& site, Given&) {
        writeTree(site.root / "outside", {{"secret.dll", "secret"}});
        fs::create_symlink("../../../outside/secret.dll", site.staging + "/lib/plugins/evil.dll");
        return true;
      })
      .then([](const UpdateSite& site, const Ended&) {
        EXPECT_EQ(fs::read_symlink(site.install + "/lib/plugins/evil.dll"),
                  "../../../outside/secret.dll");
        EXPECT_EQ(snapshotTree(site.root / "outside"), (Tree{{"secret.dll", "secret"}}));
        EXPECT_FALSE(fs::is_symlink(site.root / "outside/secret.dll"));
        EXPECT_EQ(namesIn(site.root.path()),
                  (std::set<std::string>{"app", "app-data", "outside", "stderr.txt"}));
      });
#endif
  // No walk may go through a link to a directory: not the swap, not the
  // staging removal (no call removes a Unix link under Wine, so staging
  // stays whole there), not the removal of an old backup that holds one.
  const Tree outside = {{"inner.dll", "inner"}, {"sub/deeper.dll", "deeper"}};
  add("staged links to directories, and a dangling one", 0, "success", "")
      .given([&outside](UpdateSite& site, Given& given) {
        writeTree(site.root / "outside", outside);
#ifndef _WIN32
        fs::create_symlink(site.root / "gone.dll", site.staging + "/gone.dll");
#endif
        given = {kOldVersion, kNewVersion, ""};
        return makeDirectoryLink(site.root / "outside", joinPath(site.staging, "lib/outside")) &&
               makeDirectoryLink(".." + std::string(1, kSep) + "outside",
                                 joinPath(site.staging, "relative-outside"));
      })
      .then([&outside](const UpdateSite& site, const Ended&) {
        EXPECT_EQ(filesOf(site.root / "outside"), outside);
        EXPECT_EQ(pathExists(site.staging), kSep == '\\');
      });
  // Under Wine the old backup's link cannot go at all, which stops the run
  // before anything moves.
  add("an old backup holding a link to a directory", kSep == '\\' ? 2 : 0,
      kSep == '\\' ? "error" : "success", "")
      .given([&outside](UpdateSite& site, Given&) {
        writeTree(site.root / "outside", outside);
        makeDirectories(site.backup);
        return makeDirectoryLink(site.root / "outside", joinPath(site.backup, "junction"));
      })
      .then([&outside](const UpdateSite& site, const Ended& ended) {
        EXPECT_EQ(filesOf(site.root / "outside"), outside);
        if (kSep == '\\') {
          EXPECT_NE(ended.log.find("backup failed: remove("), std::string::npos) << ended.log;
        } else {
          EXPECT_EQ(filesOf(site.backup), ended.given.installed);
        }
      });
  // The installation's own links: the backup holds copies of what they lead
  // to. A rollback leaves those copies in the backup rather than move them
  // back through a link to a directory, into what it leads to (here files,
  // right below the link and two folders further down, that cannot be
  // replaced, which stopped the rollback with status 3), or over a link to a
  // file, which became a copy.
  add("a rollback beside the installation's links", 0, "rollback", "MoveFileEx(")
      .given([](UpdateSite& site, Given& given) {
        writeTree(site.root / "shared", {{"tool.dll", "tool"}, {"deep/er/part.dll", "part"}});
        if (!makeDirectoryLink(site.root / "shared", joinPath(site.install, "lib/shared"))) {
          return false;
        }
#ifndef _WIN32
        fs::create_symlink("core.dll", site.install + "/lib/core-link.dll");
#endif
        for (const char* file : {"tool.dll", "deep/er/part.dll"}) {
          auto pin = std::make_shared<HeldFile>(joinPath(site.root / "shared", file));
          site.kept.push_back(pin);
          if (!pin->held()) return false;
        }
        return pinLastStaged(site, given);
      })
      .then([](const UpdateSite& site, const Ended&) {
        EXPECT_EQ(fileOrNone(joinPath(site.backup, "lib/shared/tool.dll")), "tool");
        EXPECT_EQ(fileOrNone(joinPath(site.backup, "lib/shared/deep/er/part.dll")), "part");
#ifndef _WIN32
        EXPECT_EQ(fs::read_symlink(site.install + "/lib/core-link.dll"), "core.dll");
        EXPECT_EQ(fileOrNone(site.backup + "/lib/core-link.dll"), "core 1");
#endif
      });
  // Fault caught: the backup's walk comparing a link only with the
  // installation's root, not with every folder it is in; a link two folders
  // down that leads back to the folder holding it would then be copied
  // round and round until the path is too long, filling the backup's disk.
  // The tests' own tree reading under Wine sees the link as a folder and
  // goes round it, so there the marker is checked here and not the trees.
  add("a link two folders below the installation that leads back up", 2,
      kSep == '\\' ? nullptr : "error", "link ")
      .given([](UpdateSite& site, Given&) {
        makeDirectories(joinPath(site.install, "lib/plugins"));
        return makeDirectoryLink("..", joinPath(site.install, "lib/plugins/loop"));
      })
      .then([](const UpdateSite& site, const Ended& ended) {
        EXPECT_EQ(markerOf(site.marker), expectedMarker("error", "backup failed"));
        EXPECT_EQ(middleLine(ended.log, "FAIL: backup"),
                  "backup failed: link " + joinPath(site.install, "lib/plugins/loop") +
                      " leads back to " + joinPath(site.install, "lib") + ", which holds it");
      });

  const std::size_t conditionsFrom = rows.size();

  // --- A tree shaped like a package manager's output, through a success, a
  // failed update (the last staged file cannot move: every other one is
  // given back), and a kill in the middle of the swap followed by a rerun.
  // Links are carried as themselves.
  for (const std::string outcome : {"success", "failure", "kill"}) {
    const bool failure = outcome == "failure";
    add("a package tree through a " + outcome, 0, failure ? "rollback" : "success",
        failure ? "MoveFileEx(" : "")
        .given([outcome](UpdateSite& site, Given& given) {
          given = {writePackageTree(site.install, 1), writePackageTree(site.staging, 2), ""};
          EXPECT_GT(given.staged.size(), 300u);
          if (outcome == "failure") return pinLastStaged(site, given);
          if (outcome == "kill") {
            // Past the backup's copies, half-way through the moves.
            killBeforeCall(given.installed.size() + given.staged.size() / 2);
            EXPECT_NE(site.run(), 0);
            clearTestInstructions();
          }
          return true;
        })
        .then([failure](const UpdateSite& site, const Ended& ended) {
          EXPECT_EQ(fileLinksOf(failure ? site.staging : site.install), packageLinks());
          if (!failure) {
            EXPECT_EQ(filesOf(site.backup), ended.given.installed);
          }
        });
  }

  // --- Files that cannot be moved or removed: held open under Windows,
  // immutable natively. A held or immutable installed file:
  // Run.SwapAndRollbackFailureEndsWithStatusThree.
  add("a staged file that cannot move", 0, "rollback", "MoveFileEx(")
      .given(pinLastStaged)
      .then([](const UpdateSite& site, const Ended&) { EXPECT_FALSE(pathExists(site.journal())); });
  add("an old backup's file that cannot be removed", 2, "error", "")
      .given([](UpdateSite& site, Given&) {
        writeTree(site.backup, {{"lib/stale.dll", "stale"}});
        auto pin = std::make_shared<HeldFile>(joinPath(site.backup, "lib/stale.dll"));
        site.kept.push_back(pin);
        return pin->held();
      })
      .then([](const UpdateSite& site, const Ended& ended) {
        EXPECT_NE(middleLine(ended.log, "FAIL: backup").find("remove(" + site.backup),
                  std::string::npos)
            << ended.log;
        EXPECT_EQ(readFile(joinPath(site.backup, "lib/stale.dll")), "stale");
      });

  // --- The marker or the log at a directory, or inside the trees the run
  // replaces or removes. A log at a directory loses its lines: neither in
  // the directory nor on the inherited standard error.
  for (const bool marker : {true, false}) {
    add(std::string(marker ? "the marker" : "the log") + " path a directory", 0,
        marker ? "" : "success", marker ? "" : nullptr)
        .given([marker](UpdateSite& site, Given&) {
          writeTree(marker ? site.marker : site.log, {{"inside.txt", "keep"}});
          return true;
        })
        .then([marker](const UpdateSite& site, const Ended& ended) {
          EXPECT_EQ(snapshotTree(marker ? site.marker : site.log), (Tree{{"inside.txt", "keep"}}));
          if (!marker) {
            EXPECT_EQ(ended.errors, "");
          }
        });
  }
  // The backup step deletes the old backup whole, an open log included.
  // Under Windows the log is open in this very process: the old backup
  // cannot go. Natively it goes while open: the earlier lines and this
  // run's are gone, and the outcome is the same as with any log.
  add("the log inside the backup directory, second run", kSep == '\\' ? 2 : 0,
      kSep == '\\' ? "error" : "success", nullptr)
      .given([](UpdateSite& site, Given&) {
        site.log = joinPath(site.backup, "updater.log");
        writeTree(site.backup, {{"updater.log", "[vexo-updater] an earlier run\n"}});
        return true;
      })
      .then([](const UpdateSite& site, const Ended& ended) {
        if (kSep == '/') {
          EXPECT_EQ(filesOf(site.backup), ended.given.installed);
          return;
        }
        EXPECT_EQ(ended.log.rfind("[vexo-updater] an earlier run\n" + runLog({}), 0), 0u)
            << ended.log;
        EXPECT_NE(ended.log.find("[vexo-updater] backup failed: remove("), std::string::npos)
            << ended.log;
      });
  // Removed with the staging directory before it could be written.
  add("the marker inside the staging directory", 0, "", "")
      .given([](UpdateSite& site, Given&) {
        site.marker = joinPath(site.staging, "marker.json");
        return true;
      })
      .then([](const UpdateSite& site, const Ended&) { EXPECT_FALSE(pathExists(site.staging)); });
  // A log inside the installation is copied into the backup, and a rollback
  // moves that copy back over the open log. Natively the log is then the
  // backup's copy: the lines written since the backup are gone from it.
  // Under Windows the open log refuses the move, so every failed update
  // stops its rollback there and ends with status 3, the installation left
  // mixed.
  add("the log inside the installation during a rollback", kSep == '\\' ? 3 : 0, nullptr, nullptr)
      .given([](UpdateSite& site, Given& given) {
        site.log = joinPath(site.install, "updater.log");
        given.installed = kOldVersion;
        given.staged = kNewVersion;
        return pinLastStaged(site, given);
      })
      .then([](const UpdateSite& site, const Ended& ended) {
        const std::string& failure = ended.given.failure;
#ifdef _WIN32
        expectTruthful(site, ended);
        EXPECT_EQ(markerOf(site.marker),
                  expectedMarker("error",
                                 "rollback failed: MoveFileEx(updater.log) err=5 (file locked)"));
        EXPECT_EQ(ended.log, runLog({swapFailureLine(failure)}));
#else
        EXPECT_EQ(markerOf(site.marker), expectedMarker("rollback", failure));
        EXPECT_EQ(ended.log, runLog({}));
        Tree installed = filesOf(site.install);
        installed.erase("updater.log");
        EXPECT_EQ(installed, kOldVersion);
        EXPECT_EQ(filesOf(site.staging), kNewVersion);
#endif
      });

  // --- The update journal beside the backup, <backup-dir>.pending, taken
  // by something else.
  add("the journal's path a directory", 2, "error", "cannot record the update in progress: ")
      .given([](UpdateSite& site, Given&) {
        writeTree(site.journal(), {{"inside.txt", "keep"}});
        return true;
      })
      .then([](const UpdateSite& site, const Ended& ended) {
        EXPECT_EQ(filesOf(site.backup), ended.given.installed);
        EXPECT_EQ(snapshotTree(site.journal()), (Tree{{"inside.txt", "keep"}}));
      });
  // The journal would be written over the log (truncating it) and removed
  // after the swap; the run refuses before the backup instead, its lines
  // kept. Each spelling of that place is refused: on Windows in another
  // case or as its short name (Wine makes none below Z:\dev, where memory
  // scratch lies), natively through a link to its folder. A marker there
  // would take the place of the journal a failed rollback keeps.
  for (const std::string spelling : {"plain", "marker",
#ifdef _WIN32
                                     "another case", "short name"
#else
                                     "link to the folder"
#endif
       }) {
    const bool marker = spelling == "marker";
    add(std::string(marker ? "the marker" : "the log") + " at the journal's place, " + spelling, 2,
        "error", "")
        .in({"app", "staging", "app-data/backup",
             spelling == "short name" ? Medium::kDisk : Medium::kMemory})
        .given([spelling, marker](UpdateSite& site, Given&) {
          const std::string journal = site.journal();
          if (marker) {
            site.marker = journal;
            return true;
          }
          writeFile(journal, "[vexo-updater] an earlier run" + std::string(kLineEnd));
          site.log = journal;
          if (spelling == "another case") {
            site.log = joinPath(site.root / "app-data", "backup.PENDING");
          }
          if (spelling == "link to the folder") {
            fs::create_directory_symlink(site.root / "app-data", site.root / "data-link");
            site.log = site.root / "data-link/backup.pending";
          }
#ifdef _WIN32
          if (spelling == "short name") {
            char shortName[MAX_PATH];
            const DWORD length = GetShortPathNameA(journal.c_str(), shortName, MAX_PATH);
            site.log = std::string(shortName, length);
            return length > 0 && site.log != journal;
          }
#endif
          return true;
        })
        .then([marker](const UpdateSite& site, const Ended& ended) {
          EXPECT_EQ(fileOrNone(marker ? site.log : site.journal()),
                    ended.earlier + runLog({"backup failed: " + (marker ? site.marker : site.log) +
                                                " is the place of the update journal",
                                            "FAIL: backup"}));
          if (marker) {
            EXPECT_FALSE(pathExists(site.backup));
          }
        });
  }

  // --- A full disk: small tmpfs mounts, as root only (under Wine too: the
  // drive maps the Linux folder the tmpfs is mounted on). The backup's file
  // system holds 64 pages; each small file takes one. ERROR_DISK_FULL is the
  // system's code for it. With room again, a rerun finishes.
  for (const auto& [label, bigKiB, reason] :
       {std::tuple<const char*, std::size_t, const char*>{"the backup", 400, ""},
        {"the journal beside the full backup", 240, "cannot record the update in progress: "}}) {
    add(std::string(label) + " on a full disk", 2, "error", reason)
        .in({"app", "staging", "small/backup"})
        .given([bigKiB = bigKiB](UpdateSite& site, Given&) {
          writeFile(joinPath(site.install, "big.dat"), std::string(bigKiB * kKiB, 'o'));
          return smallVolume(site, "small", "256k");
        })
        .then([](const UpdateSite& site, const Ended& ended) {
          EXPECT_NE(middleLine(ended.log, "FAIL: backup").find(" err=112"), std::string::npos)
              << ended.log;
          ASSERT_TRUE(std::static_pointer_cast<Mount>(site.kept[0])->resize("2m"));
          EXPECT_EQ(site.run(), 0);
          EXPECT_TRUE(filesOf(site.install) == overlay(ended.given.installed, ended.given.staged));
        });
  }
  // The installation lies on a small file system of its own, so a staged
  // file comes in as a copy, made beside the file it replaces: it needs room
  // for both. The old big file needs 300 KiB to come back, the new one 600.
  for (const auto& [label, fillerKiB, status] :
       {std::tuple<const char*, std::size_t, int>{"room for the old file", 300, 0},
        {"no room for either", 500, 3}}) {
    add(std::string("a staged file that does not fit, ") + label, status,
        status == 0 ? "rollback" : "error", "MoveFileEx(big.dat) err=112")
        .in({"volume/app"})
        .given([fillerKiB = fillerKiB](UpdateSite& site, Given& given) {
          const bool mounted = smallVolume(site, "volume", "1024k");
          site.prepare();
          writeFile(joinPath(site.install, "big.dat"), std::string(300 * kKiB, 'o'));
          writeFile(joinPath(site.staging, "big.dat"), std::string(600 * kKiB, 'n'));
          writeFile(site.root / "volume/filler.bin", std::string(fillerKiB * kKiB, 'f'));
          given.failure = "MoveFileEx(big.dat) err=112";
          return mounted;
        })
        .then([status = status](const UpdateSite& site, const Ended& ended) {
          if (status == 3) {
            EXPECT_EQ(markerOf(site.marker),
                      expectedMarker("error", "rollback failed: " + ended.given.failure));
            EXPECT_EQ(filesOf(site.staging), ended.given.staged);
          }
          expectNoTemporaries(site.root / "volume");
        });
  }
  // Opened, truncated and never filled: whoever reads the marker must take
  // one that does not parse for no outcome at all.
  add("the marker and the log on a full file system", 0, nullptr, nullptr)
      .given([](UpdateSite& site, Given&) {
        site.log = site.root / "full/updater.log";
        site.marker = site.root / "full/marker.json";
        const bool mounted = smallVolume(site, "full", "64k");
        writeFile(site.root / "full/filler.bin", std::string(64 * kKiB, 'f'));
        return mounted;
      })
      .then([](const UpdateSite& site, const Ended& ended) {
        EXPECT_EQ(filesOf(site.install), overlay(ended.given.installed, ended.given.staged));
        EXPECT_FALSE(pathExists(site.staging));
        EXPECT_EQ(ended.log, "");
        EXPECT_EQ(fileOrNone(site.marker), "");
      });
  // A move across file systems writes its copy under a temporary name beside
  // the target. Files whose names look like one, installed or staged, must
  // survive it (the staged one moves first, which would show the loss), and
  // a file whose name is as long as a name may be still moves.
  add("names like a temporary copy's, and the longest name", 0, "success", "")
      .in({"app", "volume/staging"})
      .given([](UpdateSite& site, Given&) {
        const bool mounted = smallVolume(site, "volume", "1024k");
        site.prepare();
        writeFile(joinPath(site.install, "lib/core.dll.vexo-moving"), "installed, not staged");
        writeFile(joinPath(site.staging, "version.txt.vexo-moving"), "staged too");
        writeFile(joinPath(site.staging, "lib/" + std::string(255, 'n')), "the longest name");
#ifndef _WIN32
        const std::vector<fs::path> order = swapOrder(site.staging);
        EXPECT_LT(std::find(order.begin(), order.end(), "version.txt.vexo-moving"),
                  std::find(order.begin(), order.end(), "version.txt"));
#endif
        return mounted;
      });

  // --- Very long paths.
#ifndef _WIN32
  for (const bool staged : {true, false}) {
    add(std::string(staged ? "a staged" : "an installed") + " file deeper than the path limit",
        staged ? 0 : 2, nullptr, staged ? "swap exception: " : "")
        .given([staged](UpdateSite& site, Given& given) {
          plantDeep(staged ? site.staging : site.install, staged ? "deep 2" : "deep 1");
          given = {kOldVersion, kNewVersion, ""};
          return true;
        })
        .then([staged](const UpdateSite& site, const Ended& ended) {
          const std::string failure = swapFailureOf(ended.log);
          if (staged) {
            EXPECT_NE(failure.find(" err=206"), std::string::npos) << failure;
            EXPECT_EQ(filesOf(site.install), kOldVersion);
            EXPECT_EQ(readDeep(site.install), kNone);
          } else {
            EXPECT_EQ(filesOf(site.staging), kNewVersion);
          }
          EXPECT_EQ(markerOf(site.marker), staged ? expectedMarker("rollback", failure)
                                                  : expectedMarker("error", "backup failed"));
          EXPECT_EQ(readDeep(staged ? site.staging : site.install), staged ? "deep 2" : "deep 1");
          for (const std::string& root : {site.staging, site.install, site.backup}) {
            removeDeep(root);
          }
        });
  }
#else
  // Windows itself refuses to replace a read-only file (code 5); the updater
  // clears the attribute of the file it replaces just before (Win32Children.
  // MoveReportsTheSystemCode). Wine replaces such files regardless, so only
  // real Windows can show the difference; here both must succeed. The
  // backup's copy keeps the attribute; the next run removes it all the same
  // (Win32Children.BackupReplacesReadOnlyCopiesCompletely). A staged file's
  // attribute travels with it; the next update clears it before replacing
  // the file.
  for (const bool staged : {false, true}) {
    add(staged ? "a read-only staged file in a read-only folder" : "a read-only installed file", 0,
        "success", "")
        .given([staged](UpdateSite& site, Given&) {
          const std::string lib = (staged ? site.staging : site.install) + "\\lib";
          return SetFileAttributesA((lib + "\\core.dll").c_str(), FILE_ATTRIBUTE_READONLY) &&
                 (!staged || SetFileAttributesA(lib.c_str(), FILE_ATTRIBUTE_READONLY));
        })
        .then([staged](const UpdateSite& site, const Ended&) {
          if (staged) {
            EXPECT_FALSE(pathExists(site.staging));
          }
          EXPECT_TRUE(readOnly((staged ? site.install : site.backup) + "\\lib\\core.dll"));
        });
  }
  // Every path reaches the system in its long form ("\\?\"), so paths past
  // MAX_PATH (260) are backed up, moved in and removed like any other,
  // whatever LongPathsEnabled says.
  const std::string l(90, 'l');
  const std::string m(90, 'm');
  const std::string n(150, 'n');
  for (const auto& [label, relative, staged] :
       {std::tuple<const char*, std::string, bool>{"a file name beyond 260",
                                                   l + "/" + m + "/" + n + ".dll", true},
        {"a folder beyond 260", l + "/" + m + "/" + m + "/deep.dll", true},
        {"an installed folder beyond 260", l + "/" + m + "/" + m + "/deep.dll", false}}) {
    add(label, 0, nullptr, "")
        .given([relative = relative, staged = staged](UpdateSite& site, Given& given) {
          writeFile(joinPath(staged ? site.staging : site.install, relative), "deep");
          given = {kOldVersion, kNewVersion, ""};
          (staged ? given.staged : given.installed)[relative] = "deep";
          return joinPath(site.install, relative).size() > 260;
        })
        .then(
            [&, relative = relative, staged = staged](const UpdateSite& site, const Ended& ended) {
              expectTruthful(site, ended);
              // The C runtime underneath the tests' own reads stops at MAX_PATH.
              const auto readLong = [](const std::string& path) {
                InputFile file(toFsPath(path));
                char bytes[16];
                return std::string(bytes, file.read(bytes, sizeof bytes));
              };
              EXPECT_EQ(readLong(joinPath(site.install, relative)), "deep");
              if (!staged) {
                EXPECT_EQ(readLong(joinPath(site.backup, relative)), "deep");
              }
              // Short enough again for the library to remove.
              for (const std::string& root : {site.install, site.staging, site.backup}) {
                if (isDirectory(joinPath(root, l)))
                  fs::rename(joinPath(root, l), joinPath(root, "l"));
              }
            });
  }
#endif

  const bool arguments = part == Part::kArguments;
  for (std::size_t i = arguments ? 0 : conditionsFrom;
       i < (arguments ? conditionsFrom : rows.size()); ++i) {
    expectRow(rows[i]);
  }
#ifdef _WIN32
  if (driveMapped) {
    EXPECT_EQ(readFile(scratch / "keep.txt"), "the drive's");
    removeDirectoryLink(mapped);
  }
#endif
}

}  // namespace

TEST(Hostile, EveryArgumentEndsAsTheMarkerSaysAndLosesNothing) { runTable(Part::kArguments); }

TEST(Hostile, EveryConditionEndsAsTheMarkerSaysAndLosesNothing) { runTable(Part::kConditions); }
