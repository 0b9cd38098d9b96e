#ifndef VEXO_RELEASE_RELEASE_MANIFEST_H_
#define VEXO_RELEASE_RELEASE_MANIFEST_H_

// The release manifest: UTF-8 text with LF line ends, its first line
// "vexo-release-manifest 1", then one line per file,
// "<64 lowercase hex SHA-256> <decimal size> <relative path>". It is read as
// a stream, one line at a time, so that memory stays flat however many
// files it lists.

#include <gcrypt.h>

#include <cstdint>
#include <filesystem>
#include <functional>
#include <string>

#include "release/release_crypto.h"

// The files of a signed release, beside the others in its folder.
extern const char kReleaseKeyName[];           // "vexo-release.pub"
extern const char kReleaseKeySignatureName[];  // "vexo-release.pub.minisig"
extern const char kManifestName[];             // "vexo-release.manifest"
extern const char kManifestSignatureName[];    // "vexo-release.manifest.minisig"

extern const char kManifestHeader[];

// The whole manifest, and one line of it without its line end, at most.
constexpr std::uint64_t kManifestLimit = 256ull * 1024 * 1024;
constexpr std::size_t kManifestLineLimit = 64 * 1024;

struct ManifestEntry {
  std::string path;
  std::uint64_t size = 0;
  Sha256 sha256{};
};

// Called for each file line of a manifest with its line number; returns
// why reading stops there, or empty to read on.
using ManifestVisit = std::function<std::string(std::uint64_t line, const ManifestEntry& entry)>;

// Where a manifest's bytes come from: fills the buffer with up to size
// bytes, and returns how many, 0 at the end; throws when it cannot read.
using ReadBytes = std::function<std::size_t(char* buffer, std::size_t size)>;

// Reads a manifest through read, feeding every byte read to digest when it
// is not null, and calls each for every file line in order. Returns the
// first fault, as "vexo-release.manifest: <why>" or what each returned;
// empty when every line was read and the manifest ended properly.
std::string readManifest(const ReadBytes& read, gcry_md_hd_t digest, const ManifestVisit& each);

// Why name cannot stand in a manifest, as "the path \"<name>\" <why>"; empty
// when it can. Duplicates are the reader's caller's to find.
std::string manifestPathFault(const std::string& name);

// The manifest's line for entry, its line end included.
std::string manifestLine(const ManifestEntry& entry);

// name in quotation marks, as messages show it: control bytes as \xNN, so
// that a message stays one line.
std::string quotedPath(const std::string& name);

// The manifest's name of a file below a release folder: its relative path
// with '/' between names, in UTF-8 on Windows (converted exactly from the
// system's UTF-16), the system's bytes natively. False when it cannot be
// exact.
bool manifestNameOf(const std::filesystem::path& relative, std::string* name);

// The relative path a manifest name stands for. False when no file of this
// system can have that name (on Windows: the name is not UTF-8).
bool relativePathOf(const std::string& name, std::filesystem::path* relative);

// The form in which two names the file system takes for one file are equal
// (on Windows, both in upper case); empty where names that differ only in
// case are different files, and for a name relativePathOf refuses.
std::string caseFoldedName(const std::string& name);

#endif  // VEXO_RELEASE_RELEASE_MANIFEST_H_
