#ifndef VEXO_OS_WIN32_PATHS_H_
#define VEXO_OS_WIN32_PATHS_H_

// What only the Windows twins of src/os share: the one way a path becomes
// what the wide file calls take, and the tests of codes and tags that every
// twin makes alike. Nothing outside src/os includes it.
//
// Every look at the disk goes through a wide call on the long form of the
// absolute path ("\\?\C:\a\b", "\\?\UNC\server\share\a"): the system then
// neither parses nor shortens it, so a path of any length works on every
// Windows, whatever LongPathsEnabled says, and under Wine. The C runtime's
// and the standard library's disk functions stop at MAX_PATH (they go
// through msvcrt) and cannot see links, so none of them is used.

#include <windows.h>

#include <cstddef>
#include <filesystem>
#include <string>

// Sets *longForm to the path's long form, without a separator at its end but
// a root's. Returns 0, or the system's code when the path has none.
DWORD makeLongForm(const std::filesystem::path& path, std::wstring* longForm);

// The path's long form; throws SystemError(call, the path's text) when it has
// none.
std::wstring longFormFor(const std::filesystem::path& path, const char* call);

// Sets *full to the absolute path as GetFullPathNameW makes it, at any
// length. Returns 0, or the system's code.
DWORD makeFullPath(const std::wstring& path, std::wstring* full);

// The ordinary form of a long form ("C:\a", "\\server\share\a"); any other
// path as it is.
std::wstring ordinaryFormOf(const std::wstring& path);

// The length of the root at the front of an absolute path, its separator
// included where it has one: "C:\", "\\server\share\", "\\?\C:\",
// "\\?\UNC\server\share\".
std::size_t rootLengthOf(const std::wstring& path);

// The folder that holds what the absolute path names; a root for itself.
std::wstring parentOf(const std::wstring& path);

// The absolute folder with name below it, without doubling a root's
// separator.
std::wstring childOf(const std::wstring& folder, const std::wstring& name);

// True for the codes that say nothing is at a path: not found, and names no
// entry can have. Any other failure to look is no answer about the path.
bool isAbsentCode(DWORD code);

// True for the reparse tags that make an entry a link (see paths-win32.cpp).
bool isLinkTag(DWORD tag);

#endif  // VEXO_OS_WIN32_PATHS_H_
