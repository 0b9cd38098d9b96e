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
  std::error_code error;
  fs::path canonical = fs::weakly_canonical(absolutePath(path), error);
  if (error) fail("canonical", path, error);
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
