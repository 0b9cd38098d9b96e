// vexo-bench: times one backup or swap, or the tool it is measured against,
// in this process, and prints "<seconds> <peak RSS in KiB>". scripts/bench.sh
// starts one process per measurement so every peak is the case's own.
//   make ROOT COUNT BYTES   writes COUNT files of BYTES below ROOT, 100 per
//                           directory, in two levels of directories
//   backup FROM TO          backupInstallation(FROM, TO)
//   cp FROM TO              cp -r FROM TO, then syncfs on TO, as the backup
//                           syncs its copy (peak RSS is cp's)
//   swap FROM TO            swapTree(FROM, TO)
//   rename FROM TO          one rename per file and a mkdir per directory
//   update ROOT COUNT END [UPDATER [STAGING]]
//                           a whole run of the updater beside this program,
//                           or of UPDATER (a child; its peak RSS is shown),
//                           on an installation and a staged version of COUNT
//                           files each below ROOT (1 KiB each, or BYTES each
//                           where COUNT is COUNTxBYTES), or the staged
//                           version in STAGING (say, on another file system);
//                           END is success, rollback (the last file the swap
//                           takes cannot move, so every other one is undone),
//                           or signed: a success of a signed installation,
//                           whose staged release the updater verifies (the
//                           key is made and the release signed before the
//                           clock starts)
//   cp-nosync FROM TO       cp -r alone, to show what the backup's flush costs
#include <dirent.h>
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>

#include "release/release_check.h"
#include "treeops/treeops.h"

namespace {

constexpr long kFilesPerDirectory = 100;
constexpr long kDirectoriesPerGroup = 100;

[[noreturn]] void fail(const std::string& what) {
  std::fprintf(stderr, "vexo-bench: %s: %s\n", what.c_str(), std::strerror(errno));
  std::exit(1);
}

void makeDirectory(const std::string& path) {
  if (mkdir(path.c_str(), 0755) != 0 && errno != EEXIST) fail("mkdir " + path);
}

void makeTree(const std::string& root, long count, long bytes) {
  const std::string contents(static_cast<std::size_t>(bytes), 'v');
  makeDirectory(root);
  std::string directory;
  for (long i = 0; i < count; ++i) {
    const long leaf = i / kFilesPerDirectory;
    if (i % kFilesPerDirectory == 0) {
      const std::string group = root + "/g" + std::to_string(leaf / kDirectoriesPerGroup);
      makeDirectory(group);
      directory = group + "/d" + std::to_string(leaf % kDirectoriesPerGroup);
      makeDirectory(directory);
    }
    std::ofstream out(directory + "/f" + std::to_string(i) + ".bin", std::ios::binary);
    out.write(contents.data(), static_cast<std::streamsize>(contents.size()));
    if (!out) fail("write below " + directory);
  }
}

// The least any swap has to do: list each directory, make it at the
// destination, rename each file. No status reads, no path objects, no sync.
void renameTree(const std::string& from, const std::string& to) {
  makeDirectory(to);
  DIR* directory = opendir(from.c_str());
  if (directory == nullptr) fail("opendir " + from);
  while (const dirent* entry = readdir(directory)) {
    const char* name = entry->d_name;
    if (std::strcmp(name, ".") == 0 || std::strcmp(name, "..") == 0) continue;
    const std::string source = from + "/" + name;
    const std::string target = to + "/" + name;
    if (entry->d_type == DT_DIR) {
      renameTree(source, target);
    } else if (std::rename(source.c_str(), target.c_str()) != 0) {
      fail("rename " + source);
    }
  }
  closedir(directory);
}

void copyWithCp(const std::string& from, const std::string& to, bool flush) {
  const pid_t pid = fork();
  if (pid < 0) fail("fork");
  if (pid == 0) {
    execlp("cp", "cp", "-r", from.c_str(), to.c_str(), static_cast<char*>(nullptr));
    _exit(127);
  }
  int status = 0;
  if (waitpid(pid, &status, 0) < 0 || !WIFEXITED(status) || WEXITSTATUS(status) != 0) {
    fail("cp -r " + from);
  }
  if (!flush) return;
  const int fd = open(to.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0 || syncfs(fd) != 0) fail("syncfs " + to);
  close(fd);
}

// Makes ROOT/app and STAGING for a run of the updater.
void prepareUpdate(const std::string& root, const std::string& staging, long count, long bytes,
                   const std::string& end) {
  makeTree(root + "/app", count, bytes);
  makeTree(staging, count, bytes);
  if (end == "signed") {
    const std::string secret = root + "/release.key";
    const std::string fault = makeKeyPair(secret, root + "/app/vexo-release.pub");
    if (!fault.empty() || !signRelease(staging, secret, "bench").empty()) fail("signing");
  }
  const bool rollback = end == "rollback";
  if (rollback) {
    // The swap takes files in the order the directories list them; a folder
    // where the last one must go refuses it.
    std::string last;
    for (const auto& entry : std::filesystem::recursive_directory_iterator(staging)) {
      if (entry.is_regular_file()) last = entry.path().lexically_relative(staging);
    }
    std::filesystem::remove(root + "/app/" + last);
    makeDirectory(root + "/app/" + last);
  }
  sync();
}

// Runs UPDATER on ROOT's directories and STAGING; returns its exit status.
int runUpdater(const std::string& updater, const std::string& root, const std::string& staging) {
  const pid_t pid = fork();
  if (pid < 0) fail("fork");
  if (pid == 0) {
    const std::string app = root + "/app";
    const std::string backup = root + "/backup";
    const std::string log = root + "/updater.log";
    const std::string marker = root + "/marker.json";
    execl(updater.c_str(), updater.c_str(), "--install-dir", app.c_str(), "--staging-dir",
          staging.c_str(), "--backup-dir", backup.c_str(), "--log", log.c_str(), "--applied-marker",
          marker.c_str(), "--vexo-pid", "4000000000", static_cast<char*>(nullptr));
    _exit(127);
  }
  int status = 0;
  if (waitpid(pid, &status, 0) < 0 || !WIFEXITED(status)) fail("updater");
  return WEXITSTATUS(status);
}

long peakKib(int who) {
  rusage usage{};
  getrusage(who, &usage);
  return usage.ru_maxrss;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 4) {
    std::fprintf(stderr, "usage: vexo-bench make|backup|cp|swap|rename ARGS\n");
    return 2;
  }
  const std::string mode = argv[1];
  const std::string first = argv[2];
  const std::string second = argv[3];
  if (mode == "make") {
    if (argc < 5) return 2;
    makeTree(first, std::atol(argv[3]), std::atol(argv[4]));
    return 0;
  }

  std::string updater;
  std::string staging;
  if (mode == "update") {
    if (argc < 5) return 2;
    updater = argc > 5
                  ? argv[5]
                  : std::filesystem::read_symlink("/proc/self/exe").parent_path() / "vexo-updater";
    staging = argc > 6 ? argv[6] : first + "/staging";
    const char* times = std::strchr(argv[3], 'x');
    prepareUpdate(first, staging, std::atol(argv[3]),
                  times != nullptr ? std::atol(times + 1) : 1024, argv[4]);
  }

  const auto start = std::chrono::steady_clock::now();
  int who = RUSAGE_SELF;
  if (mode == "backup") {
    const std::string error = backupInstallation(first, second, {});
    if (!error.empty()) {
      std::fprintf(stderr, "vexo-bench: %s\n", error.c_str());
      return 1;
    }
  } else if (mode == "cp" || mode == "cp-nosync") {
    copyWithCp(first, second, mode == "cp");
    who = RUSAGE_CHILDREN;
  } else if (mode == "update") {
    const int status = runUpdater(updater, first, staging);
    if (status != 0) {
      std::fprintf(stderr, "vexo-bench: the updater ended with %d\n", status);
      return 1;
    }
    who = RUSAGE_CHILDREN;
  } else if (mode == "swap") {
    const std::string error = swapTree(first, second);
    if (!error.empty()) {
      std::fprintf(stderr, "vexo-bench: %s\n", error.c_str());
      return 1;
    }
  } else if (mode == "rename") {
    renameTree(first, second);
  } else {
    return 2;
  }
  const std::chrono::duration<double> elapsed = std::chrono::steady_clock::now() - start;
  std::printf("%.3f %ld\n", elapsed.count(), peakKib(who));
  return 0;
}
