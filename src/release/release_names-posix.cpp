#include "release/release_names.h"

namespace fs = std::filesystem;

bool manifestNameOf(const fs::path& relative, std::string* name) {
  *name = relative.generic_string();
  return true;
}

bool relativePathOf(const std::string& name, fs::path* relative) {
  *relative = fs::path(name);
  return true;
}

std::string caseFoldedName(const std::string&) { return std::string(); }
