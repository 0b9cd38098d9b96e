#ifndef VEXO_TREEOPS_PLACES_H_
#define VEXO_TREEOPS_PLACES_H_

// Whether two paths name one place, or one lies inside the other: the one
// comparison behind every guard of the updater and of the host library.
// Names are compared on the canonical forms (links, junctions, "." and ".."
// resolved; on Windows also short names, and without regard to case); where
// names still alias (a bind mount, a folder not made yet below one), the
// identity of the folders decides.

#include <filesystem>

// How two paths nest.
enum class Nesting { kSeparate, kSame, kFirstInsideSecond, kSecondInsideFirst };

// How first and second nest. Throws SystemError when a folder on the way
// cannot be looked at.
Nesting nestingOf(const std::filesystem::path& first, const std::filesystem::path& second);

// True when inner is outer or lies below it, whether or not either exists
// yet. Throws as nestingOf does.
bool liesWithin(const std::filesystem::path& inner, const std::filesystem::path& outer);

// True when two paths name one file or directory, whether or not it exists
// yet. Throws as nestingOf does.
bool samePlace(const std::filesystem::path& a, const std::filesystem::path& b);

#endif  // VEXO_TREEOPS_PLACES_H_
