#include "support/test_support.h"

#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <thread>

namespace fs = std::filesystem;

#ifdef _WIN32
const char kSep = '\\';
const char kLineEnd[] = "\r\n";
const char kExeSuffix[] = ".exe";
#else
const char kSep = '/';
const char kLineEnd[] = "\n";
const char kExeSuffix[] = "";
#endif

const char kDir[] = "<dir>";

void clearProtection(const std::string& root);   // in test_support-<platform>.cpp
void removeWhatIsLeft(const std::string& root);  // in test_support-<platform>.cpp

namespace {

// A name no other test process picks at the same time.
std::string uniqueName(const char* prefix) {
  static std::atomic<unsigned> counter{0};
  const auto stamp = std::chrono::steady_clock::now().time_since_epoch().count();
  return prefix + std::to_string(stamp) + "-" + std::to_string(counter++);
}

}  // namespace

TempDir::TempDir(Medium medium) {
#ifdef _WIN32
  const fs::path memory = "Z:\\dev\\shm";
#else
  const fs::path memory = "/dev/shm";
#endif
  std::error_code ec;
  const fs::path base = medium == Medium::kMemory && fs::is_directory(memory, ec)
                            ? memory
                            : fs::temp_directory_path();
  fs::path dir = base / uniqueName("vexo-test-");
  fs::create_directories(dir);
  path_ = dir.string();
}

TempDir::~TempDir() {
  clearProtection(path_);
  std::error_code ignored;
  fs::remove_all(path_, ignored);
  if (ignored) removeWhatIsLeft(path_);
}

std::string TempDir::operator/(const std::string& relative) const {
  return joinPath(path_, relative);
}

std::string joinPath(const std::string& base, const std::string& relative) {
  std::string rel = relative;
  for (char& c : rel) {
    if (c == '/') c = kSep;
  }
  if (base.empty()) return rel;
  if (base.back() == kSep) return base + rel;
  return base + kSep + rel;
}

void writeFile(const std::string& path, const std::string& bytes) {
  const fs::path p(path);
  if (p.has_parent_path()) fs::create_directories(p.parent_path());
  std::ofstream out(p, std::ios::binary | std::ios::trunc);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  if (!out) throw std::runtime_error("cannot write " + path);
}

std::string readFile(const std::string& path) {
  std::ifstream in(fs::path(path), std::ios::binary);
  if (!in) throw std::runtime_error("cannot read " + path);
  std::ostringstream buffer;
  buffer << in.rdbuf();
  return buffer.str();
}

bool pathExists(const std::string& path) {
  std::error_code ec;
  return fs::exists(fs::path(path), ec);
}

bool isDirectory(const std::string& path) {
  std::error_code ec;
  return fs::is_directory(fs::path(path), ec);
}

void makeDirectories(const std::string& path) { fs::create_directories(fs::path(path)); }

std::string narrowOf(const fs::path& path) {
#ifdef _WIN32
  std::string narrow;
  for (const wchar_t c : path.generic_wstring()) narrow += static_cast<char>(c <= 0xFF ? c : '?');
  return narrow;
#else
  return path.generic_string();
#endif
}

std::map<std::string, std::string> snapshotTree(const std::string& root) {
  std::map<std::string, std::string> tree;
  if (!isDirectory(root)) return tree;
  for (auto it =
           fs::recursive_directory_iterator(root, fs::directory_options::follow_directory_symlink);
       it != fs::recursive_directory_iterator(); ++it) {
    const std::string rel = narrowOf(it->path().lexically_relative(root));
    std::error_code ec;
    if (it->is_directory(ec)) {
      tree[rel] = kDir;
    } else if (it->is_regular_file(ec)) {
      tree[rel] = readFile(joinPath(root, rel));
    }
  }
  return tree;
}

std::map<std::string, std::string> filesOf(const std::string& root) {
  std::map<std::string, std::string> files;
  for (const auto& [path, contents] : snapshotTree(root)) {
    if (contents != kDir) files[path] = contents;
  }
  return files;
}

void writeTree(const std::string& root, const std::map<std::string, std::string>& files) {
  makeDirectories(root);
  for (const auto& [path, contents] : files) {
    if (contents == kDir) {
      makeDirectories(joinPath(root, path));
    } else {
      writeFile(joinPath(root, path), contents);
    }
  }
}

// The system's listing decides the swap's order, so it is read here the same
// way, before the swap. narrowOf spells each path as the tests do.
std::vector<fs::path> swapOrder(const fs::path& root) {
  std::vector<fs::path> files;
  for (fs::recursive_directory_iterator it(root), end; it != end; ++it) {
    if (it->is_regular_file()) files.push_back(it->path().lexically_relative(root));
  }
  return files;
}

std::string withoutTrailingSeparator(std::string path) {
  while (path.size() > 1 && path.back() == kSep) path.pop_back();
  return path;
}

std::string programPath(const std::string& name) {
  return joinPath(binaryDir(), name + kExeSuffix);
}

HeldFile::HeldFile(const std::string& path) : path_(path) {
#ifdef _WIN32
  const std::string ready = (fs::temp_directory_path() / uniqueName("vexo-held-")).string();
  holder_ = startChild({programPath("vexo-test-helper"), "hold", path, ready});
  held_ = waitForFile(ready);
  if (!held_) {
    // Never left to take the file later, behind the test's back.
    killChild(holder_);
    waitChild(holder_);
  }
  std::error_code ignored;
  fs::remove(ready, ignored);
#else
  held_ = setImmutable(path, true);
#endif
}

void HeldFile::release() {
  if (!held_) return;
  held_ = false;
#ifdef _WIN32
  killChild(holder_);
  waitChild(holder_);
#else
  setImmutable(path_, false);
#endif
}

int runChild(const std::vector<std::string>& argv, const std::string& workDir) {
  Child child = startChild(argv, workDir);
  return waitChild(child);
}

void sleepMs(unsigned milliseconds) {
  std::this_thread::sleep_for(std::chrono::milliseconds(milliseconds));
}

bool waitForFile(const std::string& path, unsigned timeoutMs) {
  for (unsigned waited = 0; waited < timeoutMs && !pathExists(path); waited += 10) sleepMs(10);
  return pathExists(path);
}

std::vector<std::vector<std::string>> loopMountCommands(VolumeKind kind, const std::string& size,
                                                        const std::string& image,
                                                        const std::string& folder) {
  std::vector<std::string> format = {"/sbin/mkfs.ext4", "-q", "-F"};
  if (kind == VolumeKind::kWholeSecondTimes) format.insert(format.end(), {"-I", "128"});
  if (kind == VolumeKind::kReservedBlocks) format.insert(format.end(), {"-m", "50"});
  format.push_back(image);
  return {{"/usr/bin/truncate", "-s", size, image},
          format,
          {"/bin/mount", "-o", "loop", image, folder}};
}

long long nowSeconds() {
  return std::chrono::duration_cast<std::chrono::seconds>(
             std::chrono::system_clock::now().time_since_epoch())
      .count();
}
