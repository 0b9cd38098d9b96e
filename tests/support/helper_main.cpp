// vexo-test-helper: a stand-in process for the tests.
//   sleep MS          sleeps, then exits 0
//   hold PATH READY   keeps PATH open (read sharing only on Windows), writes
//                     READY once it holds it, and sleeps until killed
//   lock PATH READY   the same without any sharing on Windows, so that not
//                     even a copy can read PATH (POSIX has no such lock: there
//                     it is hold)
//   exit CODE         exits with CODE
//   hold-directory DIR READY MS
//                     takes the updater's hold on DIR, as a run or a host's
//                     check does, writes READY, keeps it for MS ms and exits
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <thread>

#ifdef _WIN32
#include <windows.h>
#endif

#include "treeops/treeops.h"

int main(int argc, char** argv) {
  if (argc < 3) return 100;
  const std::string mode = argv[1];
  if (mode == "sleep") {
    std::this_thread::sleep_for(std::chrono::milliseconds(std::atoll(argv[2])));
    return 0;
  }
  if (mode == "exit") return std::atoi(argv[2]);
  if (mode == "hold-directory" && argc >= 5) {
    if (!holdDirectory(argv[2], "directory").empty()) return 102;
    std::ofstream(argv[3]) << "ready";
    std::this_thread::sleep_for(std::chrono::milliseconds(std::atoll(argv[4])));
    return 0;
  }
  if ((mode == "hold" || mode == "lock") && argc >= 4) {
#ifdef _WIN32
    const DWORD sharing = mode == "hold" ? FILE_SHARE_READ : 0;
    HANDLE file = CreateFileA(argv[2], GENERIC_READ, sharing, nullptr, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) return 101;
#else
    std::FILE* file = std::fopen(argv[2], "rb");
    if (file == nullptr) return 101;
#endif
    std::ofstream(argv[3]) << "ready";
    std::this_thread::sleep_for(std::chrono::minutes(10));
    return 0;
  }
  return 100;
}
