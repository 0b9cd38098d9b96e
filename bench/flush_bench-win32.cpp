// vexo-bench-flush (Windows): what flushing each copy of the backup costs.
// Prints "<seconds>" for one copy of a tree, file by file, as the backup
// copies it (CopyFileW), with or without the flush the backup makes after each
// copy (FlushFileBuffers).
//   make ROOT COUNT BYTES   writes COUNT files of BYTES below ROOT, 100 per folder
//   copy FROM TO flush      copies every file, flushing each
//   copy FROM TO cached     copies every file, leaving it to the system's cache
#include <windows.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

namespace fs = std::filesystem;

namespace {

void copyTree(const fs::path& from, const fs::path& to, bool flush) {
  fs::create_directories(to);
  for (const auto& entry : fs::recursive_directory_iterator(from)) {
    const fs::path target = to / entry.path().lexically_relative(from);
    if (entry.is_directory()) {
      fs::create_directory(target);
      continue;
    }
    if (!CopyFileW(entry.path().c_str(), target.c_str(), /*failIfExists=*/FALSE)) std::exit(1);
    if (!flush) continue;
    const HANDLE copy = CreateFileW(target.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr,
                                    OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (copy == INVALID_HANDLE_VALUE || !FlushFileBuffers(copy)) std::exit(1);
    CloseHandle(copy);
  }
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 5) return 2;
  const std::string mode = argv[1];
  if (mode == "make") {
    const long count = std::atol(argv[3]);
    const std::string bytes(static_cast<std::size_t>(std::atol(argv[4])), 'v');
    for (long i = 0; i < count; ++i) {
      const fs::path folder = fs::path(argv[2]) / ("d" + std::to_string(i / 100));
      fs::create_directories(folder);
      std::ofstream(folder / ("f" + std::to_string(i) + ".bin"), std::ios::binary) << bytes;
    }
    return 0;
  }
  if (mode != "copy") return 2;
  const auto start = std::chrono::steady_clock::now();
  copyTree(argv[2], argv[3], std::string(argv[4]) == "flush");
  const std::chrono::duration<double> elapsed = std::chrono::steady_clock::now() - start;
  std::printf("%.3f\n", elapsed.count());
  return 0;
}
