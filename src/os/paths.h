#ifndef VEXO_OS_PATHS_H_
#define VEXO_OS_PATHS_H_

// Paths as the system reads them. A path enters as a narrow string (the
// command line's, in the ANSI code page on Windows; bytes natively), is
// converted once, and is a std::filesystem::path below that. Only lexical
// work is done on paths outside this layer: every look at the disk is one of
// its calls (files.h), which on Windows reach any length through the wide
// calls and the "\\?\" form.

#include <filesystem>
#include <string>

// The path for a narrow string (the ANSI code page on Windows, bytes
// natively). Throws SystemError ("convert", kErrorNoUnicodeTranslation)
// when it cannot be exact.
std::filesystem::path toFsPath(const std::string& narrow);

// The narrow string for a path; throws as toFsPath does when a character has
// no exact narrow form.
std::string toNarrow(const std::filesystem::path& path);

// The path's narrow form for a text that people read (the log, the marker,
// a sentence): a character the code page cannot hold becomes '?'. Never
// throws.
std::string toNarrowText(const std::filesystem::path& path);

// A path below a tree as the update journal records it, and back: bytes
// natively, UTF-8 on Windows, so that every name a file system holds has one
// exact form. Throws SystemError when it cannot be exact.
std::string toJournalText(const std::filesystem::path& relative);
std::filesystem::path fromJournalText(const std::string& text);

// The path made absolute against the working directory, as the system
// would read it (on Windows "." and ".." taken out and '/' made '\'; natively
// the working directory put in front). Throws SystemError.
std::filesystem::path absolutePath(const std::filesystem::path& path);

// The absolute path with links, junctions, other spellings of a name (case,
// short names on Windows), "." and ".." resolved as far as it exists, the
// rest taken lexically; no separator at its end but a root's. Throws
// SystemError when a folder on the way cannot be looked at.
std::filesystem::path canonicalPath(const std::filesystem::path& path);

// The process's working directory. Throws SystemError.
std::filesystem::path currentDirectory();

// Whether the system takes names that differ only in case for one file
// (Windows), and the form in which two such names are equal: upper case, as
// NTFS compares them, through the invariant locale. Natively names that
// differ in case are different files, and the name is its own form.
extern const bool kNamesIgnoreCase;
std::filesystem::path caseFolded(const std::filesystem::path& name);

#endif  // VEXO_OS_PATHS_H_
