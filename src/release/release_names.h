#ifndef VEXO_RELEASE_RELEASE_NAMES_H_
#define VEXO_RELEASE_RELEASE_NAMES_H_

// How a manifest names files, where the systems differ: Windows names files
// in UTF-16 and takes names that differ only in case for one file; POSIX
// names them in bytes and tells case apart. One implementation in
// release_names-win32.cpp, one in release_names-posix.cpp.

#include <filesystem>
#include <string>

// The manifest's name of a file below a release folder: its relative path
// with '/' between names, in UTF-8 converted exactly from the system's UTF-16
// on Windows, the system's bytes elsewhere. False when it cannot be exact.
bool manifestNameOf(const std::filesystem::path& relative, std::string* name);

// The relative path a manifest name stands for. False when no file of this
// system can have that name (on Windows: the name is not UTF-8).
bool relativePathOf(const std::string& name, std::filesystem::path* relative);

// The form in which two names the file system takes for one file are equal
// (on Windows, both in upper case); empty where names that differ only in
// case are different files, and for a name relativePathOf refuses.
std::string caseFoldedName(const std::string& name);

#endif  // VEXO_RELEASE_RELEASE_NAMES_H_
