// vexo_check_update: each check refuses the update it stands for with its
// sentence, lets the update beside it go, and changes nothing either way.
// Where Wine cannot produce a condition (a folder this account may not write
// to, a cloud placeholder's attributes), this binary substitutes the system
// calls at link time with what Windows does.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "host/vexo_host.h"
#include "support/run_support.h"
#include "support/test_support.h"
#include "treeops/update_journal.h"

#ifdef _WIN32
#include <windows.h>
#endif

namespace {

const std::string kUpdater = std::string("vexo-updater") + kExeSuffix;
#ifdef _WIN32
constexpr std::size_t kFileLimit = 259;    // MAX_PATH without its NUL, no limit now
constexpr std::size_t kFolderLimit = 247;  // room for an 8.3 name below
#else
constexpr std::size_t kFileLimit = 4095;  // PATH_MAX without its NUL
constexpr std::size_t kFolderLimit = kFileLimit;
#endif

// The sentences, by their starts; kGoes for an update that can go.
const char kGoes[] = "";
const char kBadRequest[] = "The application asked for the update in a way";
const char kHeld[] = "Another update of the application is still being installed";
const char kOnline[] = "The folder ";
const char kNoUpdater[] = "The updater program is missing";
const char kNoStaging[] = "The downloaded update is missing";
const char kUnreadableStaging[] = "The downloaded update cannot be read";
const char kEmptyStaging[] = "The downloaded update is empty";
const char kNoInstallation[] = "The application's installation folder cannot be found";
const char kLongPath[] = "A file of the update or of its backup would get a longer path";
const char kNotWritable[] = "The application's folder cannot be changed";
const char kBackupNotWritable[] = "The folder for the backup of the current version cannot";
const char kNoSpace[] = "There is not enough free disk space";
const char kInterrupted[] = "An earlier update of the application was interrupted";
const char kRestaged[] = "The downloaded update is not the one an interrupted update";
const char kUnknownJournal[] = "Whether an earlier update was interrupted cannot be found out";

// 1.0.0 installed with its updater, 2.0.0 staged, the host's data folder;
// and the request's optional members, empty for NULL.
struct Site {
  TempDir root;
  std::string install = root / "app";
  std::string staging = root / "staging";
  std::string data = root / "app-data";
  std::string key = "k";
  std::string updater, runDir, backup, log, marker;
  std::unique_ptr<Mount> small;

  Site() {
    writeTree(install, {{"version.txt", "1.0.0"}, {kUpdater, "the updater"}});
    writeTree(staging, {{"version.txt", "2.0.0"}});
    makeDirectories(data);
  }
};

// The sentence vexo_check_update gives, or "" when the update can go.
std::string check(const Site& site) {
  const auto member = [](const std::string& value) {
    return value.empty() ? nullptr : value.c_str();
  };
  vexo_update_request request{};
  request.install_dir = member(site.install);
  request.staging_dir = member(site.staging);
  request.data_dir = member(site.data);
  request.idempotency_key = member(site.key);
  request.updater_path = member(site.updater);
  request.run_dir = member(site.runDir);
  request.backup_dir = member(site.backup);
  request.log_path = member(site.log);
  request.marker_path = member(site.marker);
  // Room for a sentence that quotes a path of PATH_MAX bytes.
  std::vector<char> error(8192, '\0');
  const int result = vexo_check_update(&request, error.data(), error.size());
  EXPECT_EQ(result, error[0] == '\0' ? 0 : -1) << error.data();
  return error.data();
}

// base with names of 100 characters, then one of the rest, added until it
// is length characters long.
std::string pathOfLength(std::string base, std::size_t length) {
  while (length - base.size() > 201) base = joinPath(base, std::string(100, 'p'));
  return joinPath(base, std::string(length - base.size() - 1, 'q'));
}

// An update of the site stopped after its staged files moved in, as the
// updater leaves it: the backup, its journal, and, unless finished, one
// staged file given back to staging as if not moved yet.
void interrupt(Site& site, bool finished = false) {
  const std::string backup = joinPath(site.data, "backup");
  writeFile(joinPath(site.staging, "lib.dll"), "lib 2");
  makeDirectories(backup);
  ASSERT_EQ(beginUpdateJournal(backup, site.install, site.staging, site.key), "");
  ASSERT_EQ(moveStagedFilesIn(backup, site.install, site.staging, /*resuming=*/false), "");
  if (!finished) {
    std::filesystem::rename(joinPath(site.install, "lib.dll"), joinPath(site.staging, "lib.dll"));
  }
}

#ifdef _WIN32
// Folders in which creating a file is refused, as Windows refuses a folder
// whose access list grants this account no right to add files; and folders
// with attributes added, as a cloud service's placeholders carry them.
std::vector<std::wstring> deniedFolders;
std::vector<std::pair<std::wstring, DWORD>> addedAttributes;

// A folder's path as the stand-ins compare it: in one case, without the long
// form's prefix or a separator at its end.
std::wstring folderKey(std::wstring path) {
  if (path.rfind(L"\\\\?\\", 0) == 0) path.erase(0, 4);
  while (path.size() > 3 && (path.back() == L'\\' || path.back() == L'/')) path.pop_back();
  std::transform(path.begin(), path.end(), path.begin(), towlower);
  return path;
}

std::wstring wideOf(const std::string& path) { return folderKey(std::filesystem::path(path)); }

void deny(const std::string& folder) { deniedFolders.push_back(wideOf(folder)); }

void addAttributes(const std::string& folder, DWORD attributes) {
  addedAttributes.emplace_back(wideOf(folder), attributes);
}

// Names below the site's root in the member (a file's, or a folder's,
// unless name is empty: the member as it is) and adds attributes to the
// folder it names, made if missing.
std::function<void(Site&)> marked(std::string Site::*member, const std::string& name,
                                  DWORD attributes) {
  return [=](Site& site) {
    if (!name.empty()) site.*member = site.root / name;
    const std::string folder =
        member == &Site::log || member == &Site::marker || member == &Site::backup
            ? (site.*member).substr(0, (site.*member).rfind('\\'))
            : site.*member;
    makeDirectories(folder);
    addAttributes(folder, attributes);
  };
}

// Sets LongPathsEnabled in the prefix's registry; a negative value removes it.
void setLongPaths(int value) {
  const wchar_t* key = L"SYSTEM\\CurrentControlSet\\Control\\FileSystem";
  if (value < 0) {
    RegDeleteKeyValueW(HKEY_LOCAL_MACHINE, key, L"LongPathsEnabled");
    return;
  }
  const DWORD data = static_cast<DWORD>(value);
  ASSERT_EQ(
      RegSetKeyValueW(HKEY_LOCAL_MACHINE, key, L"LongPathsEnabled", REG_DWORD, &data, sizeof data),
      ERROR_SUCCESS);
}
#else
void deny(const std::string& folder) { ASSERT_TRUE(setImmutable(folder, true)) << folder; }
#endif

}  // namespace

#ifdef _WIN32
extern "C" {
extern HANDLE(WINAPI* __real___imp_CreateFileW)(LPCWSTR, DWORD, DWORD, LPSECURITY_ATTRIBUTES, DWORD,
                                                DWORD, HANDLE);
extern DWORD(WINAPI* __real___imp_GetFileAttributesW)(LPCWSTR);

HANDLE WINAPI refusingCreateFileW(LPCWSTR path, DWORD access, DWORD share,
                                  LPSECURITY_ATTRIBUTES security, DWORD disposition, DWORD flags,
                                  HANDLE templateFile) {
  const std::wstring folder = folderKey(std::filesystem::path(path).parent_path().wstring());
  if (disposition == CREATE_NEW &&
      std::find(deniedFolders.begin(), deniedFolders.end(), folder) != deniedFolders.end()) {
    SetLastError(ERROR_ACCESS_DENIED);
    return INVALID_HANDLE_VALUE;
  }
  return __real___imp_CreateFileW(path, access, share, security, disposition, flags, templateFile);
}

DWORD WINAPI addingGetFileAttributesW(LPCWSTR path) {
  DWORD attributes = __real___imp_GetFileAttributesW(path);
  for (const auto& [folder, added] : addedAttributes) {
    if (attributes != INVALID_FILE_ATTRIBUTES && folder == folderKey(path)) attributes |= added;
  }
  return attributes;
}

HANDLE(WINAPI* __wrap___imp_CreateFileW)
(LPCWSTR, DWORD, DWORD, LPSECURITY_ATTRIBUTES, DWORD, DWORD, HANDLE) = refusingCreateFileW;
DWORD(WINAPI* __wrap___imp_GetFileAttributesW)(LPCWSTR) = addingGetFileAttributesW;
}
#endif

TEST(CheckUpdate, EachCheckRefusesWithItsSentenceAndChangesNothing) {
  using Prepare = std::function<void(Site&)>;
  // The installation at a path of length characters, empty, its updater
  // elsewhere; then more.
  const auto installationOf = [](
                                  std::size_t length, const Prepare& more = [](Site&) {}) {
    return [=](Site& site) {
      site.updater = site.root / "updater";
      writeFile(site.updater, "the updater");
      site.install = pathOfLength(site.root / "i", length);
      makeDirectories(site.install);
      more(site);
    };
  };
  const auto remove = [](std::string Site::*member) {
    return [=](Site& site) { std::filesystem::remove_all(site.*member); };
  };
  // The staged version.txt lands over characters past the limit.
  const auto stagedPast = [&](std::size_t over) { return installationOf(kFileLimit - 12 + over); };
  // The installed updater lands over characters past the limit in the backup.
  [[maybe_unused]] const auto backupPast = [](std::size_t over) {
    return [=](Site& site) {
      site.backup = pathOfLength(site.root / "b", kFileLimit - 1 - kUpdater.size() + over);
    };
  };
  // An installed folder lands over characters past the folder limit in the
  // backup, its files within theirs.
  [[maybe_unused]] const auto backupFolderPast = [](std::size_t over) {
    return [=](Site& site) {
      const std::string folder(20, 'f');
      makeDirectories(joinPath(site.install, folder));
      site.backup = pathOfLength(site.root / "b", kFolderLimit - 1 - folder.size() + over);
    };
  };
  struct Row {
    const char* label;
    Prepare prepare;
    const char* refusal;
    int longPaths = -1;  // LongPathsEnabled on Windows; -1: not set
  };
  const std::vector<Row> rows = {
      {"a whole update", [](Site&) {}, kGoes},
      {"no idempotency key", [](Site& site) { site.key.clear(); }, kBadRequest},
      {"the updater missing from the installation",
       [](Site& site) { std::filesystem::remove(joinPath(site.install, kUpdater)); }, kNoUpdater},
      {"the updater the request names missing",
       [](Site& site) { site.updater = site.root / "no/updater"; }, kNoUpdater},
      {"no staging directory", remove(&Site::staging), kNoStaging},
      {"the staging directory a file",
       [&](Site& site) {
         remove (&Site::staging)(site);
         writeFile(site.staging, "a file");
       },
       kUnreadableStaging},
      {"the staging directory with empty folders only",
       [&](Site& site) {
         remove (&Site::staging)(site);
         makeDirectories(site.staging + kSep + "bin");
       },
       kEmptyStaging},
      {"no installation", installationOf(40, remove(&Site::install)), kNoInstallation},
      // A name longer than any file system takes (the backup is made later).
      {"a backup directory named with 256 characters",
       [](Site& site) { site.backup = site.root / std::string(256, 'b'); }, kLongPath},
#ifndef _WIN32
      {"a staged file at the limit in the installation", stagedPast(0), kGoes},
      {"a staged file one past the limit in the installation", stagedPast(1), kLongPath},
      {"an installed file at the limit in the backup", backupPast(0), kGoes},
      {"an installed file one past the limit in the backup", backupPast(1), kLongPath},
      // Fault caught: the backup's folders not measured: the backup would
      // stop at that folder after the host exited.
      {"an installed folder one past the folder limit in the backup", backupFolderPast(1),
       kLongPath},
#endif
      {"the installation refuses new files", [](Site& site) { deny(site.install); }, kNotWritable},
      // Faults caught: the probe without its fallback to a named file where
      // the file system has no unnamed files (every update there refused),
      // or the fallback's file left behind (the snapshot below differs).
      {"the installation on a file system without unnamed files",
       [](Site& site) {
         makeDirectories(site.root / "files");
         site.small = std::make_unique<Mount>(site.root / "fuse", site.root / "files",
                                              VolumeKind::kNoUnnamedFiles);
         site.install = site.root / "fuse/app";
         writeTree(site.install, {{"version.txt", "1.0.0"}, {kUpdater, "the updater"}});
       },
       kGoes},
      {"an installation folder that receives a file refuses new files",
       [](Site& site) {
         writeFile(site.install + kSep + "lib" + kSep + "core.dll", "1");
         writeFile(site.staging + kSep + "lib" + kSep + "core.dll", "2");
         deny(site.install + kSep + "lib");
       },
       kNotWritable},
      {"the folder the default backup goes into refuses new files",
       [](Site& site) { deny(site.data); }, kBackupNotWritable},
      {"the backup's folder takes new files, the journal's beside it does not",
       [](Site& site) {
         makeDirectories(joinPath(site.data, "backup"));
         deny(site.data);
       },
       kBackupNotWritable},
      {"an interrupted update of this installation, which the run finishes",
       [](Site& site) { interrupt(site); }, kGoes},
      {"the next version staged beside the journal of an update that moved every file in",
       [](Site& site) {
         interrupt(site, /*finished=*/true);
         writeFile(joinPath(site.staging, "version.txt"), "3.0.0");
       },
       kGoes},
      {"an interrupted update of another installation beside the backup",
       [](Site& site) {
         interrupt(site);
         site.install = site.root / "other-app";
         writeTree(site.install, {{kUpdater, "the updater"}});
       },
       kInterrupted},
      {"an interrupted update whose download was staged again since",
       [](Site& site) {
         interrupt(site);
         writeFile(joinPath(site.staging, "lib.dll"), "lib 2.0.1");
       },
       kRestaged},
      {"a file at the journal's place that is no journal",
       [](Site& site) {
         makeDirectories(joinPath(site.data, "backup"));
         writeFile(joinPath(site.data, "backup.pending"), "notes of mine");
       },
       kUnknownJournal},
#ifdef _WIN32
      // Every path reaches the system in its long form: no MAX_PATH, whatever
      // LongPathsEnabled says; only a name is limited, to 255 characters.
      {"a staged file one past MAX_PATH, long paths set to 0", stagedPast(1), kGoes, 0},
      {"a new folder one past MAX_PATH's folder limit in the installation",
       installationOf(kFolderLimit - 1,
                      [](Site& site) { writeFile(site.staging + "\\d\\f", "2"); }),
       kGoes},

      {"the installation offline", marked(&Site::install, "", FILE_ATTRIBUTE_OFFLINE), kOnline},
      {"the staging directory online only", marked(&Site::staging, "", 0x00400000), kOnline},
      {"the backup's folder listed online only", marked(&Site::backup, "cloud\\b", 0x00040000),
       kOnline},
      {"the run directory offline", marked(&Site::runDir, "run", FILE_ATTRIBUTE_OFFLINE), kOnline},
      {"the log's folder offline", marked(&Site::log, "logs\\u.log", FILE_ATTRIBUTE_OFFLINE),
       kOnline},
      {"the marker's folder offline", marked(&Site::marker, "m\\m.json", FILE_ATTRIBUTE_OFFLINE),
       kOnline},
      {"the data folder, every default in it, online only", marked(&Site::data, "", 0x00400000),
       kOnline},
#endif
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.label);
    Site site;
    row.prepare(site);
    if (site.small && !site.small->mounted()) {
      std::printf("[ skip ] %s: cannot be mounted here\n", row.label);
      continue;
    }
#ifdef _WIN32
    setLongPaths(row.longPaths);
#endif
    const auto before = snapshotTree(site.root.path());
    const std::string sentence = check(site);
    EXPECT_EQ(snapshotTree(site.root.path()), before) << sentence;
    // A sentence for the user, the detail in parentheses at its end.
    EXPECT_EQ(
        sentence.empty() ? "" : sentence.substr(0, std::strlen(row.refusal)) + sentence.back(),
        row.refusal[0] == '\0' ? "" : row.refusal + std::string(")"))
        << sentence;
#ifdef _WIN32
    setLongPaths(-1);
    deniedFolders.clear();
    addedAttributes.clear();
#endif
  }
}

TEST(CheckUpdate, BackupNeedsRoomOnItsVolumeForACopyOfTheInstallation) {
  struct Row {
    const char* label;
    std::size_t fileSize;
    int files;
    bool backupGiven;  // else the default in the data folder
    // The files of a backup there already, and the size of each.
    int earlierFiles;
    std::size_t earlierSize;
    const char* refusal;
    VolumeKind kind = VolumeKind::kMemory;
    const char* size = "4m";
  };
  const Row rows[] = {
      {"5 MB into the default backup on 4 MB", 5 << 20, 1, false, 0, 0, kNoSpace},
      {"5 MB into the backup the request names on 4 MB", 5 << 20, 1, true, 0, 0, kNoSpace},
      {"2 MB on 4 MB", 2 << 20, 1, false, 0, 0, kGoes},
      {"1,100 files of one byte, each taking 4 KiB", 1, 1100, false, 0, 0, kNoSpace},
      {"3 MB where an earlier backup of 3 MB goes first", 3 << 20, 1, false, 1, 3 << 20, kGoes},
      // Fault caught: an earlier backup's files counted at their sizes, not
      // rounded up to the allocation unit (roundedUp left out of the sum in
      // spaceFault): 600 files of one byte free 2.4 MB, not 600 bytes.
      {"3 MB where an earlier backup of 600 one-byte files goes first", 3 << 20, 1, false, 600, 1,
       kGoes},
      // Fault caught: f_bfree in place of f_bavail in volumeSpace: the
      // blocks reserved for the administrator are not the user's to fill.
      {"8 MB on an ext4 of 16 MB with half its blocks reserved", 8 << 20, 1, false, 0, 0, kNoSpace,
       VolumeKind::kReservedBlocks, "16m"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.label);
    Site site;
    site.small = std::make_unique<Mount>(site.root / "small", row.size, row.kind);
    if (!site.small->mounted()) {
      if (row.kind == VolumeKind::kMemory) GTEST_SKIP() << "cannot mount a tmpfs here (needs root)";
      std::printf("[ skip ] %s: cannot mount a loop device here\n", row.label);
      continue;
    }
    const std::string volume = site.root / "small";
    if (row.backupGiven) {
      site.backup = joinPath(volume, "given/backup");
    } else {
      site.data = joinPath(volume, "data");
    }
    for (int i = 0; i < row.files; ++i) {
      writeFile(joinPath(site.install, "f" + std::to_string(i)), std::string(row.fileSize, 'x'));
    }
    for (int i = 0; i < row.earlierFiles; ++i) {
      writeFile(joinPath(site.data, "backup/old" + std::to_string(i)),
                std::string(row.earlierSize, 'o'));
    }
    const std::string sentence = check(site);
    if (row.refusal[0] == '\0') {
      EXPECT_EQ(sentence, "");
    } else {
      EXPECT_EQ(sentence.rfind(row.refusal, 0), 0u) << sentence;
    }
  }
}

// A run of the updater holds its installation and backup directories while
// it works; another update of either would be refused after the host exits.
TEST(CheckUpdate, RefusedWhileARunHoldsTheInstallationOrTheBackup) {
  Site site;
  UpdaterOptions options;
  options.install = site.install;
  options.staging = site.staging;
  options.backup = site.root / "held-backup";
  options.log = site.root / "u.log";
  options.marker = site.root / "m.json";
  // Paused at its first copy, which is after it took its holds.
  const std::string pause = site.root / "paused";
  Child run = startPaused(updaterCommand(options), 1, pause);
  ASSERT_TRUE(pathExists(pause));

  Site other;
  EXPECT_EQ(check(other), "");
  other.install = site.install;
  other.staging = site.staging;
  EXPECT_EQ(check(other).rfind(kHeld, 0), 0u) << "the installation";
  Site sameBackup;
  sameBackup.backup = options.backup;
  EXPECT_EQ(check(sameBackup).rfind(kHeld, 0), 0u) << "the backup";

  endPause(pause);
  EXPECT_EQ(waitChild(run), 0);
}
