#include "treeops/treeops_os.h"

// Placeholder until the platform layer lands.
std::filesystem::path toFsPath(const std::string& narrow) { return narrow; }
std::string toNarrow(const std::filesystem::path& path) { return path.string(); }
bool openProcessForWait(std::uint32_t, ProcessWait*, std::uint32_t* errorCode) {
  *errorCode = 87;
  return false;
}
std::uint32_t waitOnProcess(const ProcessWait&, std::uint32_t) { return 0xFFFFFFFF; }
void closeProcessWait(const ProcessWait&) {}
void copyFileOver(const std::filesystem::path&, const std::filesystem::path&) {}
void removeTree(const std::filesystem::path&) {}
std::uint32_t moveFileReplacing(const std::string&, const std::string&) { return 1; }
void flushDirectories(const std::set<std::filesystem::path>&) {}
bool sameFileIdentity(const std::filesystem::path&, const std::filesystem::path&) { return false; }
