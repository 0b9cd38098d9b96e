#include <sys/stat.h>

#include <cerrno>
#include <filesystem>
#include <string>
#include <system_error>

#include "os/error.h"
#include "os/paths.h"

namespace fs = std::filesystem;

namespace {

[[noreturn]] void fail(const char* call, const fs::path& path, const std::error_code& error) {
  throw SystemError(call, path.native(), systemErrorOf(error.value()));
}

}  // namespace

const bool kNamesIgnoreCase = false;

fs::path caseFolded(const fs::path& name) { return name; }

fs::path toFsPath(const std::string& narrow) { return fs::path(narrow); }

std::string toNarrow(const fs::path& path) { return path.native(); }

std::string toNarrowText(const fs::path& path) { return path.native(); }

std::string toJournalText(const fs::path& relative) { return relative.native(); }

fs::path fromJournalText(const std::string& text) { return fs::path(text); }

fs::path absolutePath(const fs::path& path) {
  std::error_code error;
  fs::path absolute = fs::absolute(path, error);
  if (error) fail("absolute", path, error);
  return absolute;
}

fs::path canonicalPath(const fs::path& path) {
  // The longest front of the path that exists is resolved by the system; the
  // rest does not exist and is taken lexically. Only "not there" ends the
  // front: a folder that cannot be looked at is a failure.
  const fs::path absolute = absolutePath(path);
  fs::path front = absolute;
  struct stat info {};
  while (stat(front.c_str(), &info) != 0) {
    if (errno != ENOENT && errno != ENOTDIR && errno != ENAMETOOLONG) {
      fail("canonical", path, std::error_code(errno, std::generic_category()));
    }
    front = front.parent_path();
  }
  std::error_code error;
  fs::path canonical = fs::canonical(front, error);
  if (error) fail("canonical", path, error);
  canonical /= absolute.lexically_relative(front);
  canonical = canonical.lexically_normal();
  while (!canonical.has_filename() && canonical.has_relative_path()) {
    canonical = canonical.parent_path();
  }
  return canonical;
}

fs::path currentDirectory() {
  std::error_code error;
  fs::path directory = fs::current_path(error);
  if (error) fail("getcwd", ".", error);
  return directory;
}
