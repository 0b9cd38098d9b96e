// VEXO.exe, a stand-in for the desktop application: it shows how a host drives
// vexo-updater through the host library (vexo_host.h), and gives the tests and
// the demo a real application to update and to see started again.
//
//   VEXO.exe                                   prints "VEXO <version>"
//   VEXO.exe --update-from STAGING [overrides] starts the updater and exits at once
//   VEXO.exe --post-update-check               reports the outcome of the update
//
// Where things live (every path below can be overridden for --update-from with
// --install-dir, --backup-dir, --log, --applied-marker, and --updater for the
// updater; --idempotency-key replaces the generated key):
//   installation   the folder of this executable, with version.txt beside it
//   data folder    "<installation>-data", a sibling of the installation, so that
//                  nothing the updater writes besides the new files lands
//                  inside the tree it replaces:
//                    vexo-updater[.exe]    the copy of the updater that runs
//                    backup/               the updater's copy of the installation
//                    updater.log           the updater's log (appended to)
//                    applied-marker.json   the outcome of the last run
//                    pending-update.txt    what this host asked for (key, marker,
//                                          backup), once the updater started
//                    launch.txt            how --post-update-check was started
//                    post-update-check.txt its report (stdout is /dev/null then)
//   updater        vexo-updater[.exe] in the installation, copied to the data
//                  folder and started from there
#include <chrono>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <map>
#include <sstream>
#include <string>

#include "host/vexo_host.h"
#include "os/paths.h"
#include "os/process.h"

namespace {

const char kSeparator = static_cast<char>(std::filesystem::path::preferred_separator);

bool isSeparator(char c) { return c == '/' || c == kSeparator; }

// The folder part of a path, without trailing separators ("C:\App\\VEXO.exe"
// gives "C:\App").
std::string folderOf(const std::string& path) {
  std::string folder = path.substr(0, path.find_last_of(std::string("/") + kSeparator));
  while (folder.size() > 1 && isSeparator(folder.back())) folder.pop_back();
  return folder;
}

std::string join(const std::string& folder, const std::string& name) {
  if (!folder.empty() && isSeparator(folder.back())) return folder + name;
  return folder + kSeparator + name;
}

std::string readText(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

bool writeText(const std::string& path, const std::string& text) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << text;
  return static_cast<bool>(out);
}

// The first line of a version.txt, without its line end.
std::string readVersion(const std::string& folder) {
  const std::string text = readText(join(folder, "version.txt"));
  return text.substr(0, text.find_first_of("\r\n"));
}

// "key=value" lines, as this host writes them.
std::map<std::string, std::string> readSettings(const std::string& path) {
  std::map<std::string, std::string> settings;
  std::istringstream in(readText(path));
  for (std::string line; std::getline(in, line);) {
    const std::size_t equals = line.find('=');
    if (equals != std::string::npos) settings[line.substr(0, equals)] = line.substr(equals + 1);
  }
  return settings;
}

struct Installation {
  std::string folder;      // where VEXO.exe lies
  std::string dataFolder;  // "<folder>-data"
};

Installation locateInstallation() {
  Installation installation;
  installation.folder = folderOf(toNarrowText(ownExecutablePath()));
  installation.dataFolder = installation.folder + "-data";
  return installation;
}

int printVersion(const Installation& installation) {
  std::cout << "VEXO " << readVersion(installation.folder) << "\n";
  return 0;
}

// The host's side of an update: the new version is already staged. Name the
// installation, the staging directory and our data folder, let the library
// copy the updater there and start it, and exit at once; the updater waits
// for this process to end before it touches a file.
int startUpdate(const Installation& installation, const std::string& stagingDir,
                std::map<std::string, std::string> overrides) {
  const auto pick = [&](const std::string& name, const std::string& fallback) {
    const auto found = overrides.find(name);
    return found != overrides.end() ? found->second : fallback;
  };
  const std::string installDir = pick("install-dir", installation.folder);
  const std::string fromVersion = readVersion(installDir);
  const std::string toVersion = readVersion(stagingDir);
  // Unique per request: after the restart the marker is ours only if it carries
  // this key, not one left by an earlier or a concurrent update.
  const auto seconds = std::chrono::duration_cast<std::chrono::seconds>(
                           std::chrono::system_clock::now().time_since_epoch())
                           .count();
  const std::string key = pick("idempotency-key", "vexo-" + fromVersion + "-to-" + toVersion + "-" +
                                                      std::to_string(seconds) + "-" +
                                                      std::to_string(currentProcessId()));
  const std::string markerPath =
      pick("applied-marker", join(installation.dataFolder, "applied-marker.json"));
  // Empty overrides leave the library's defaults: the updater in the
  // installation, the backup and the log in the data folder.
  const std::string updaterPath = pick("updater", "");
  const std::string backupDir = pick("backup-dir", "");
  const std::string logPath = pick("log", "");

  vexo_update_request request{};
  request.install_dir = installDir.c_str();
  request.staging_dir = stagingDir.c_str();
  request.data_dir = installation.dataFolder.c_str();
  request.idempotency_key = key.c_str();
  request.from_version = fromVersion.c_str();
  request.to_version = toVersion.c_str();
  request.updater_path = updaterPath.empty() ? nullptr : updaterPath.c_str();
  request.backup_dir = backupDir.empty() ? nullptr : backupDir.c_str();
  request.log_path = logPath.empty() ? nullptr : logPath.c_str();
  request.marker_path = markerPath.c_str();

  // Asked first, while nothing has changed: a desktop application shows the
  // sentence and goes on running the version it is. vexo_start_update asks
  // again, and refuses with the same sentence, if anything changed since.
  char error[1024];
  if (vexo_check_update(&request, error, sizeof error) != 0 ||
      vexo_start_update(&request, error, sizeof error) != 0) {
    std::cerr << "VEXO " << fromVersion << ": the update to " << toVersion
              << " cannot be installed now. " << error << "\n";
    return printVersion(installation);
  }
  // Remembered for --post-update-check, which reads the outcome through it.
  // Written after the start: the updater touches nothing before this
  // process has exited.
  writeText(join(installation.dataFolder, "pending-update.txt"),
            "idempotencyKey=" + key + "\nappliedMarker=" + markerPath + "\nbackupDir=" + backupDir +
                "\n");
  std::cout << "VEXO " << fromVersion << ": updater for " << toVersion << " copied into "
            << installation.dataFolder << " and started there (key " << key
            << "); exiting so that it can replace this installation\n";
  return 0;
}

// What a host does with each outcome at its next start.
std::string nextStep(const vexo_outcome& outcome) {
  switch (outcome.result) {
    case VEXO_SUCCESS:
      return "none: the new version runs";
    case VEXO_ROLLBACK:
      return "the old version is back and the staging directory keeps the update: tell the user, "
             "retry later";
    case VEXO_ERROR:
      return outcome.installation_mixed != 0
                 ? "the installation is mixed: start the updater again with the same staging "
                   "directory once the obstacle is gone"
                 : "nothing was changed: tell the user, retry later";
    default:
      return "none: no outcome for our request";
  }
}

// Started again by the updater after a successful update, from the new
// installation; a host also does this at its next ordinary start. Our output
// goes nowhere when the updater starts us, so everything is written to files.
int postUpdateCheck(const Installation& installation, int argc, char** argv) {
  std::error_code ignored;
  std::filesystem::create_directories(installation.dataFolder, ignored);

  std::string launch = "arguments=" + std::to_string(argc - 1) + "\n";
  for (int i = 1; i < argc; ++i) launch += "argument=" + std::string(argv[i]) + "\n";
  launch += "workingDirectory=" + toNarrowText(currentDirectory()) + "\n";
  writeText(join(installation.dataFolder, "launch.txt"), launch);

  // The request as far as the outcome needs it: its key, its marker and its
  // backup directory (beside which the journal of an interrupted update
  // lies), the library's defaults in the data folder where not given.
  auto pending = readSettings(join(installation.dataFolder, "pending-update.txt"));
  vexo_update_request request{};
  request.data_dir = installation.dataFolder.c_str();
  request.idempotency_key = pending["idempotencyKey"].c_str();
  request.marker_path =
      pending["appliedMarker"].empty() ? nullptr : pending["appliedMarker"].c_str();
  request.backup_dir = pending["backupDir"].empty() ? nullptr : pending["backupDir"].c_str();
  vexo_outcome* outcome = vexo_read_update_outcome(&request);
  if (outcome == nullptr) return 1;
  static const char* const kResults[] = {"none", "success", "rollback", "error"};
  std::string report = "VEXO " + readVersion(installation.folder) + " post-update check\n";
  report += std::string("outcome: ") + kResults[outcome->result] + "\n";
  report += std::string("text: ") + outcome->text + "\n";
  if (outcome->result != VEXO_NO_OUTCOME) {
    report +=
        std::string("versions: ") + outcome->from_version + " -> " + outcome->to_version + "\n";
  }
  report += "next step: " + nextStep(*outcome) + "\n";
  if (outcome->result == VEXO_SUCCESS) {
    // The release the update installed, proven file by file where it was
    // signed.
    request.install_dir = installation.folder.c_str();
    char reason[1024];
    const int verified = vexo_verify_installation(&request, reason, sizeof reason);
    report += std::string("verified: ") +
              (verified == 0   ? "the installation holds its signed release exactly"
               : verified == 1 ? "no (an unsigned installation, nothing to prove)"
                               : reason) +
              "\n";
  }
  vexo_free_outcome(outcome);
  std::cout << report;
  // Written last: its presence tells a waiting script that the check is done.
  return writeText(join(installation.dataFolder, "post-update-check.txt"), report) ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
  const Installation installation = locateInstallation();
  const std::string command = argc >= 2 ? argv[1] : "";
  if (command.empty()) return printVersion(installation);
  if (command == "--post-update-check") return postUpdateCheck(installation, argc, argv);
  if (command == "--update-from" && argc >= 3 && argc % 2 == 1) {
    static const char* const kOverridable[] = {"--updater",        "--install-dir",
                                               "--backup-dir",     "--log",
                                               "--applied-marker", "--idempotency-key"};
    std::map<std::string, std::string> overrides;
    bool known = true;
    for (int i = 3; i + 1 < argc && known; i += 2) {
      const std::string name = argv[i];
      known = false;
      for (const char* allowed : kOverridable) known = known || name == allowed;
      overrides[name.substr(2)] = argv[i + 1];
    }
    if (known) return startUpdate(installation, argv[2], overrides);
  }
  std::cerr << "usage: VEXO.exe [--update-from STAGING [--updater PATH] [--install-dir DIR]\n"
               "                [--backup-dir DIR] [--log FILE] [--applied-marker FILE]\n"
               "                [--idempotency-key KEY]] | --post-update-check\n";
  return 2;
}
