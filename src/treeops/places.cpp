#include "treeops/places.h"

#include <algorithm>
#include <vector>

#include "os/files.h"
#include "os/paths.h"

namespace fs = std::filesystem;

namespace {

// Whether two names of a canonical path name the same thing. Windows file
// names ignore case, so "C:\App" and "c:\app" are one directory there.
bool sameName(const fs::path& a, const fs::path& b) {
  return a == b || (kNamesIgnoreCase && caseFolded(a) == caseFolded(b));
}

// The names of a canonical path, its root first.
std::vector<fs::path> namesOf(const fs::path& canonical) {
  std::vector<fs::path> names;
  for (const fs::path& name : canonical) {
    if (!name.empty()) names.push_back(name);
  }
  return names;
}

// True when the names of inner begin with every name of outer, starting at
// inner's name `at`.
bool leads(const std::vector<fs::path>& inner, std::size_t at, const std::vector<fs::path>& outer,
           std::size_t from) {
  if (inner.size() - at < outer.size() - from) return false;
  return std::equal(outer.begin() + static_cast<std::ptrdiff_t>(from), outer.end(),
                    inner.begin() + static_cast<std::ptrdiff_t>(at), sameName);
}

// The path of the first count names.
fs::path upTo(const std::vector<fs::path>& names, std::size_t count) {
  fs::path path;
  for (std::size_t i = 0; i < count; ++i) path /= names[i];
  return path;
}

// True when the canonical inner is, or lies below, the canonical outer: by
// their names, or by the identity of a folder of inner that is outer's
// deepest existing folder, followed by the names of outer not made yet.
bool within(const std::vector<fs::path>& inner, const std::vector<fs::path>& outer) {
  if (leads(inner, 0, outer, 0)) return true;
  std::size_t known = outer.size();
  while (known > 0 && !entryExists(upTo(outer, known))) --known;
  if (known == 0) return false;
  const fs::path folder = upTo(outer, known);
  for (std::size_t depth = inner.size(); depth > 0; --depth) {
    if (sameFileIdentity(upTo(inner, depth), folder) && leads(inner, depth, outer, known)) {
      return true;
    }
  }
  return false;
}

}  // namespace

Nesting nestingOf(const fs::path& first, const fs::path& second) {
  const std::vector<fs::path> a = namesOf(canonicalPath(first));
  const std::vector<fs::path> b = namesOf(canonicalPath(second));
  const bool firstInside = within(a, b);
  const bool secondInside = within(b, a);
  if (firstInside && secondInside) return Nesting::kSame;
  if (firstInside) return Nesting::kFirstInsideSecond;
  if (secondInside) return Nesting::kSecondInsideFirst;
  return Nesting::kSeparate;
}

bool liesWithin(const fs::path& inner, const fs::path& outer) {
  return within(namesOf(canonicalPath(inner)), namesOf(canonicalPath(outer)));
}

bool samePlace(const fs::path& a, const fs::path& b) {
  if (nestingOf(a, b) == Nesting::kSame) return true;
  // A file not made yet, by its name in a folder that is one by identity (a
  // short name, a link, a bind mount of the folder).
  const fs::path aCanonical = canonicalPath(a);
  const fs::path bCanonical = canonicalPath(b);
  return sameName(aCanonical.filename(), bCanonical.filename()) &&
         sameFileIdentity(aCanonical.parent_path(), bCanonical.parent_path());
}
