#include "release/release_check.h"

#include <algorithm>
#include <array>
#include <cstdlib>
#include <ctime>
#include <exception>
#include <functional>
#include <vector>

#include "os/files.h"
#include "os/paths.h"
#include "release/minisign_codec.h"
#include "release/release_crypto.h"
#include "release/release_manifest.h"
#include "treeops/walks.h"

namespace fs = std::filesystem;

namespace {

// A refusal found deep in a walk, which ends the walk where it is thrown.
struct Refusal {
  std::string text;
};

// A path as messages show it, in the narrow form the rest of the program
// speaks.
std::string shown(const fs::path& path) { return toNarrowText(path); }

// A manifest name as messages show it: as it is, unless control bytes would
// break the message's line.
std::string shownName(const std::string& name) {
  const bool plain = std::none_of(name.begin(), name.end(),
                                  [](char c) { return static_cast<unsigned char>(c) < 0x20; });
  return plain ? name : quotedPath(name);
}

std::string asBytes(const Ed25519Signature& signature) {
  return std::string(reinterpret_cast<const char*>(signature.data()), signature.size());
}

bool isMissing(const fs::path& path) { return !entryExists(path); }

// Why the entry at file is not a file to read: "missing" or "not a file";
// empty when it may be one.
std::string notAFile(const fs::path& file) {
  if (!entryExists(file)) return "missing";
  return directoryExists(file) ? "not a file" : "";
}

// The whole of a key or signature file. Returns "missing", "not a file",
// "too long (...)" or why it cannot be read; empty when *text holds it.
std::string readSmallFile(const fs::path& file, std::string* text) {
  try {
    const std::string fault = notAFile(file);
    if (!fault.empty()) return fault;
    InputFile in(file);
    text->assign(kMinisignFileLimit + 1, '\0');
    std::size_t size = 0;
    while (size < text->size()) {
      const std::size_t got = in.read(&(*text)[size], text->size() - size);
      if (got == 0) break;
      size += got;
    }
    text->resize(size);
  } catch (const std::exception& e) {
    return std::string("cannot be read (") + e.what() + ")";
  }
  if (text->size() > kMinisignFileLimit) return "too long (over 64 KiB)";
  return "";
}

// Writes text into file, made anew (mode kTruncate) or new only
// (kNewPrivate). Returns why it could not; empty when done.
std::string writeWholeFile(const fs::path& file, const std::string& text,
                           WriteMode mode = WriteMode::kTruncate) {
  try {
    OutputFile out(file, mode);
    out.write(text);
    out.close();
  } catch (const std::exception& e) {
    return shown(file) + ": cannot be written (" + e.what() + ")";
  }
  return "";
}

std::string readPublicKey(const fs::path& file, const std::string& label, PublicKey* key,
                          std::string* text) {
  std::string fault = readSmallFile(file, text);
  if (fault.empty()) fault = parsePublicKey(*text, key);
  return fault.empty() ? "" : label + ": " + fault;
}

std::string readSecretKey(const fs::path& file, SecretKey* key) {
  std::string text;
  std::string fault = readSmallFile(file, &text);
  if (fault.empty()) fault = parseSecretKey(text, key);
  return fault.empty() ? "" : shown(file) + ": " + fault;
}

// Why the signature file signatureName in folder is not key's signature of
// the file whose BLAKE2b-512 is digest; empty when it is.
std::string signatureFault(const fs::path& folder, const std::string& signatureName,
                           const std::string& fileName, const PublicKey& key,
                           const Blake2b512& digest) {
  std::string text;
  std::string fault = readSmallFile(folder / signatureName, &text);
  if (!fault.empty()) return signatureName + ": " + fault;
  Signature signature;
  fault = parseSignature(text, &signature);
  if (!fault.empty()) return signatureName + ": " + fault;
  if (signature.id != key.id) {
    return signatureName + ": signed with key " + keyIdText(signature.id) +
           ", not the release key " + keyIdText(key.id);
  }
  if (!verifyEd25519(key.key, signature.signature, digest.data(), digest.size())) {
    return signatureName + ": not a signature of " + fileName + " by the release key " +
           keyIdText(key.id);
  }
  // The trusted comment is signed apart, with the signature it belongs to.
  const std::string global = asBytes(signature.signature) + signature.trustedComment;
  if (!verifyEd25519(key.key, signature.globalSignature,
                     reinterpret_cast<const unsigned char*>(global.data()), global.size())) {
    return signatureName + ": its trusted comment is not signed by the release key " +
           keyIdText(key.id);
  }
  return "";
}

// The key the release in folder must be signed with: the installed key, or
// a new key that the release carries signed by the installed key. Returns
// why there is none; empty when *key holds it.
std::string releaseKeyOf(const fs::path& folder, const PublicKey& installed,
                         const std::string& installedText, PublicKey* key) {
  *key = installed;
  if (isMissing(folder / kReleaseKeyName)) return "";
  std::string text;
  std::string fault = readSmallFile(folder / kReleaseKeyName, &text);
  if (!fault.empty()) return std::string(kReleaseKeyName) + ": " + fault;
  if (text == installedText) return "";
  if (isMissing(folder / kReleaseKeySignatureName)) {
    return std::string(kReleaseKeyName) + ": not the installation's key, and " +
           kReleaseKeySignatureName + " is missing";
  }
  // The key is verified as it was read, never read again: a file swapped in
  // between could otherwise carry a key that nobody signed.
  Blake2b512 digest{};
  gcry_md_hash_buffer(GCRY_MD_BLAKE2B_512, digest.data(), text.data(), text.size());
  fault = signatureFault(folder, kReleaseKeySignatureName, kReleaseKeyName, installed, digest);
  if (!fault.empty()) return fault;
  fault = parsePublicKey(text, key);
  return fault.empty() ? "" : std::string(kReleaseKeyName) + ": " + fault;
}

// Why the manifest in folder is not signed with key; empty when it is, with
// *digest its BLAKE2b-512 as signed.
std::string manifestSignatureFault(const fs::path& folder, const PublicKey& key,
                                   Blake2b512* digest) {
  if (isMissing(folder / kManifestName)) return std::string(kManifestName) + ": missing";
  if (isMissing(folder / kManifestSignatureName)) {
    return std::string(kManifestSignatureName) + ": missing";
  }
  const std::string fault = blake2bOfFile(folder / kManifestName, kManifestLimit, digest);
  if (!fault.empty()) return std::string(kManifestName) + ": " + fault;
  return signatureFault(folder, kManifestSignatureName, kManifestName, key, *digest);
}

// Reads the manifest file through readManifest, and then makes sure that
// what was read is what was signed: the file may change between reads.
std::string readSignedManifest(const fs::path& file, const Blake2b512& signedDigest,
                               const ManifestVisit& each) {
  std::string fault;
  try {
    InputFile in(file);
    const DigestHandle digest = openDigest(GCRY_MD_BLAKE2B_512);
    if (!digest) return "libgcrypt has no BLAKE2b-512";
    fault = readManifest([&](char* buffer, std::size_t size) { return in.read(buffer, size); },
                         digest.get(), each);
    if (fault.empty() && !std::equal(signedDigest.begin(), signedDigest.end(),
                                     gcry_md_read(digest.get(), GCRY_MD_BLAKE2B_512))) {
      fault = std::string(kManifestName) + ": changed while it was read";
    }
  } catch (const std::exception& e) {
    fault = std::string(kManifestName) + ": cannot be read (" + e.what() + ")";
  }
  return fault;
}

// Why file is not the manifest's entry (named name); empty when it is. The
// size is compared first, so that a file of another size is never read.
std::string fileFault(const fs::path& file, const ManifestEntry& entry) {
  std::uint64_t size = 0;
  try {
    const std::string fault = notAFile(file);
    if (!fault.empty()) return entry.path + ": " + fault;
    size = fileSize(file);
  } catch (const std::exception& e) {
    return entry.path + ": cannot be read (" + e.what() + ")";
  }
  const auto wrongSize = [&]() {
    return entry.path + ": " + std::to_string(size) + " bytes, not the manifest's " +
           std::to_string(entry.size);
  };
  if (size != entry.size) return wrongSize();
  Sha256 sha256{};
  const std::string fault = sha256OfFile(file, &size, &sha256);
  if (!fault.empty()) return entry.path + ": " + fault;
  if (size != entry.size) return wrongSize();
  if (sha256 != entry.sha256) return entry.path + ": its SHA-256 is not the manifest's";
  return "";
}

bool holds(const std::vector<std::uint64_t>& sorted, std::uint64_t value) {
  return std::binary_search(sorted.begin(), sorted.end(), value);
}

// Each fingerprint that occurs more than once in a sorted vector, with the
// line on which it was first met (0 until then), sorted.
using FirstLines = std::vector<std::pair<std::uint64_t, std::uint64_t>>;

FirstLines repeatedIn(const std::vector<std::uint64_t>& sorted) {
  FirstLines repeated;
  for (std::size_t i = 1; i < sorted.size(); ++i) {
    if (sorted[i] == sorted[i - 1] && (repeated.empty() || repeated.back().first != sorted[i])) {
      repeated.emplace_back(sorted[i], 0);
    }
  }
  return repeated;
}

// The line on which a repeated fingerprint was met before this line; 0 for
// one met the first time (which is recorded) or not repeated at all.
std::uint64_t firstLineOf(FirstLines* repeated, std::uint64_t fingerprint, std::uint64_t line) {
  const auto found = std::lower_bound(repeated->begin(), repeated->end(),
                                      std::make_pair(fingerprint, std::uint64_t{0}));
  if (found == repeated->end() || found->first != fingerprint) return 0;
  if (found->second != 0) return found->second;
  found->second = line;
  return 0;
}

// Calls each(name, relative) for every file the updater would move from
// folder, the manifest and its signature left out, name as the manifest
// names it. Returns why the walk stopped: a link to a file, a name the
// manifest cannot hold exactly, a Refusal that each threw, or a folder that
// cannot be listed; empty when every file was visited.
std::string walkRelease(
    const fs::path& folder,
    const std::function<void(const std::string& name, const fs::path& relative)>& each) {
  try {
    listFilesToMove(folder, [&](const fs::path& relative) {
      std::string name;
      if (!manifestNameOf(relative, &name)) {
        throw Refusal{shown(relative) + ": its name is not valid Unicode"};
      }
      // The updater moves a link as itself: what it leads to is not what
      // was signed, and may lie anywhere. That holds for the manifest too,
      // which the installation keeps.
      if (isLinkEntry(folder / relative)) {
        throw Refusal{shownName(name) + ": is a link, not a file of the release"};
      }
      if (name != kManifestName && name != kManifestSignatureName) each(name, relative);
    });
  } catch (const Refusal& refusal) {
    return refusal.text;
  } catch (const std::exception& e) {
    return shown(folder) + ": cannot be listed (" + e.what() + ")";
  }
  return "";
}

// Names the first listed file that is there but that the updater would not
// move: one reached through a link to a folder. Only called when the counts
// differ, so a second list of fingerprints costs nothing in a release that
// passes.
std::string unmovedFileFault(const fs::path& folder, const Blake2b512& signedDigest) {
  std::vector<std::uint64_t> staged;
  std::string fault = walkRelease(folder, [&](const std::string& name, const fs::path&) {
    staged.push_back(fingerprintOf(name));
  });
  if (!fault.empty()) return fault;
  std::sort(staged.begin(), staged.end());
  fault = readSignedManifest(
      folder / kManifestName, signedDigest, [&](std::uint64_t, const ManifestEntry& entry) {
        if (holds(staged, fingerprintOf(entry.path))) return std::string();
        return entry.path + ": reached through a link, so the update would not move it";
      });
  return fault.empty() ? shown(folder) + ": changed while it was checked" : fault;
}

std::string checkRelease(const fs::path& installedKey, const fs::path& folder,
                         std::uint64_t* fileCount) {
  std::string fault = startCrypto();
  if (!fault.empty()) return "cannot check the release: " + fault;
  PublicKey installed;
  std::string installedText;
  fault = readPublicKey(installedKey, shown(installedKey), &installed, &installedText);
  if (!fault.empty()) return fault;
  PublicKey key;
  fault = releaseKeyOf(folder, installed, installedText, &key);
  if (!fault.empty()) return fault;
  Blake2b512 signedDigest{};
  fault = manifestSignatureFault(folder, key, &signedDigest);
  if (!fault.empty()) return fault;

  // First the manifest's fingerprints: a sorted vector of 64-bit values
  // stays small at 100,000 files, where a set of names would not. No line
  // is shorter than 69 bytes, which bounds the count without a first pass.
  std::vector<std::uint64_t> listed;
  std::vector<std::uint64_t> folded;
  const std::uint64_t bound = fileSize(folder / kManifestName) / 69;
  listed.reserve(static_cast<std::size_t>(std::min<std::uint64_t>(bound, 1 << 17)));
  fault = readSignedManifest(folder / kManifestName, signedDigest,
                             [&](std::uint64_t, const ManifestEntry& entry) {
                               listed.push_back(fingerprintOf(entry.path));
                               const std::string caseless = caseFoldedName(entry.path);
                               if (!caseless.empty()) folded.push_back(fingerprintOf(caseless));
                               return std::string();
                             });
  if (!fault.empty()) return fault;
  std::sort(listed.begin(), listed.end());
  std::sort(folded.begin(), folded.end());
  FirstLines repeated = repeatedIn(listed);
  FirstLines repeatedFolded = repeatedIn(folded);
  std::vector<std::uint64_t>().swap(folded);

  // Then what the updater would move: every file listed. With the count
  // below, that makes the two lists one.
  std::uint64_t moved = 0;
  fault = walkRelease(folder, [&](const std::string& name, const fs::path&) {
    if (!holds(listed, fingerprintOf(name)))
      throw Refusal{shownName(name) + ": not in the manifest"};
    ++moved;
  });
  if (!fault.empty()) return fault;

  // Last, each listed file: once, present, and the signed size and hash.
  std::uint64_t count = 0;
  fault = readSignedManifest(
      folder / kManifestName, signedDigest,
      [&](std::uint64_t line, const ManifestEntry& entry) -> std::string {
        const auto at = [&]() {
          return std::string(kManifestName) + ": line " + std::to_string(line) + ": the path " +
                 quotedPath(entry.path);
        };
        const std::uint64_t fingerprint = fingerprintOf(entry.path);
        if (const std::uint64_t first = firstLineOf(&repeated, fingerprint, line)) {
          return at() + " is listed twice (first on line " + std::to_string(first) + ")";
        }
        const std::string caseless = caseFoldedName(entry.path);
        const std::uint64_t first =
            caseless.empty() ? 0 : firstLineOf(&repeatedFolded, fingerprintOf(caseless), line);
        if (first != 0) {
          return at() + " differs only in case from line " + std::to_string(first) + "'s";
        }
        fs::path relative;
        relativePathOf(entry.path, &relative);
        ++count;
        return fileFault(folder / relative, entry);
      });
  if (!fault.empty()) return fault;
  if (count != moved) return unmovedFileFault(folder, signedDigest);
  *fileCount = count;
  return "";
}

// Signs file with key into signatureFile.
std::string signWith(const fs::path& file, const SecretKey& key, const fs::path& signatureFile,
                     const std::string& trustedComment) {
  if (trustedComment.find_first_of("\r\n") != std::string::npos) {
    return "the trusted comment is not one line";
  }
  Blake2b512 digest{};
  std::string fault = blake2bOfFile(file, UINT64_MAX, &digest);
  if (!fault.empty()) return shown(file) + ": " + fault;
  Signature signature;
  signature.id = key.id;
  signature.trustedComment = trustedComment;
  fault = signEd25519(key.seed, digest.data(), digest.size(), &signature.signature);
  const std::string global = asBytes(signature.signature) + trustedComment;
  if (fault.empty()) {
    fault = signEd25519(key.seed, reinterpret_cast<const unsigned char*>(global.data()),
                        global.size(), &signature.globalSignature);
  }
  if (!fault.empty()) return fault;
  return writeWholeFile(signatureFile, signatureText(signature));
}

std::string commentFor(std::string trustedComment, const std::string& fileName) {
  if (trustedComment.empty()) trustedComment = defaultTrustedComment(fileName);
  return trustedComment;
}

// Why the manifest of folder cannot be written; empty when it is.
std::string writeManifest(const fs::path& folder) {
  std::vector<std::string> names;
  std::string fault = walkRelease(folder, [&](const std::string& name, const fs::path&) {
    const std::string pathFault = manifestPathFault(name);
    if (!pathFault.empty()) throw Refusal{shownName(name) + ": cannot be listed: " + pathFault};
    names.push_back(name);
  });
  if (!fault.empty()) return fault;
  // Sorted by bytes, so that the same folder always gives the same manifest.
  std::sort(names.begin(), names.end());
  std::string text = std::string(kManifestHeader) + "\n";
  for (const std::string& name : names) {
    ManifestEntry entry;
    entry.path = name;
    fs::path relative;
    relativePathOf(name, &relative);
    fault = sha256OfFile(folder / relative, &entry.size, &entry.sha256);
    if (!fault.empty()) return shownName(name) + ": " + fault;
    text += manifestLine(entry);
  }
  return writeWholeFile(folder / kManifestName, text);
}

}  // namespace

bool installationHasReleaseKey(const fs::path& installDir) {
  try {
    return entryExists(installDir / kReleaseKeyName);
  } catch (const std::exception&) {
    // An entry that cannot be looked at may be a key: the check that
    // follows says what is wrong with it.
    return true;
  }
}

std::string installedKeyFault(const fs::path& installDir) {
  try {
    PublicKey key;
    std::string text;
    const fs::path keyFile = installDir / kReleaseKeyName;
    return readPublicKey(keyFile, shown(keyFile), &key, &text);
  } catch (const std::exception& e) {
    return std::string("release key check failed: ") + e.what();
  }
}

std::string verifyRelease(const fs::path& installedKey, const fs::path& folder,
                          std::uint64_t* fileCount) {
  try {
    return checkRelease(installedKey, folder, fileCount);
  } catch (const std::exception& e) {
    return std::string("release check failed: ") + e.what();
  }
}

std::string verifyStagedRelease(const fs::path& installDir, const fs::path& stagingDir) {
  std::uint64_t count = 0;
  return verifyRelease(installDir / kReleaseKeyName, stagingDir, &count);
}

std::string verifyInstalledRelease(const fs::path& installDir) {
  try {
    std::string fault = startCrypto();
    if (!fault.empty()) return "cannot check the installation: " + fault;
    PublicKey key;
    std::string text;
    const fs::path keyFile = installDir / kReleaseKeyName;
    fault = readPublicKey(keyFile, shown(keyFile), &key, &text);
    if (!fault.empty()) return fault;
    Blake2b512 signedDigest{};
    fault = manifestSignatureFault(installDir, key, &signedDigest);
    if (!fault.empty()) return fault;
    // Files the manifest does not list are no concern: an update lays the
    // new version over the old one, which keeps files of earlier versions.
    return readSignedManifest(installDir / kManifestName, signedDigest,
                              [&](std::uint64_t, const ManifestEntry& entry) {
                                fs::path relative;
                                relativePathOf(entry.path, &relative);
                                return fileFault(installDir / relative, entry);
                              });
  } catch (const std::exception& e) {
    return std::string("installation check failed: ") + e.what();
  }
}

namespace {

// The key in the file secretKey, ready to sign with; or why it is not.
std::string signingKey(const fs::path& secretKey, SecretKey* key) {
  const std::string fault = startCrypto();
  if (!fault.empty()) return "cannot sign: " + fault;
  return readSecretKey(secretKey, key);
}

}  // namespace

std::string signRelease(const fs::path& folder, const fs::path& secretKey,
                        std::string trustedComment) {
  try {
    SecretKey key;
    std::string fault = signingKey(secretKey, &key);
    if (!fault.empty()) return fault;
    // A release key in the folder that is not the signing key would make
    // every installation refuse the release.
    if (!isMissing(folder / kReleaseKeyName)) {
      PublicKey staged;
      std::string text;
      fault = readPublicKey(folder / kReleaseKeyName, kReleaseKeyName, &staged, &text);
      if (!fault.empty()) return fault;
      if (staged.id != key.id || staged.key != key.publicKey) {
        return std::string(kReleaseKeyName) + ": holds key " + keyIdText(staged.id) +
               ", not the signing key " + keyIdText(key.id) +
               " (a release that moves to a new key is signed with --new-key)";
      }
    }
    fault = writeManifest(folder);
    if (!fault.empty()) return fault;
    trustedComment = commentFor(std::move(trustedComment), kManifestName);
    if (trustedComment.empty()) return "SOURCE_DATE_EPOCH is not a number of seconds";
    return signWith(folder / kManifestName, key, folder / kManifestSignatureName, trustedComment);
  } catch (const std::exception& e) {
    return std::string("signing failed: ") + e.what();
  }
}

std::string rotateReleaseKey(const fs::path& folder, const fs::path& oldSecretKey,
                             const fs::path& newPublicKey, const fs::path& newSecretKey) {
  try {
    std::string fault = startCrypto();
    if (!fault.empty()) return "cannot sign: " + fault;
    SecretKey oldKey;
    SecretKey newKey;
    PublicKey newPublic;
    std::string newText;
    fault = readSecretKey(oldSecretKey, &oldKey);
    if (fault.empty()) fault = readSecretKey(newSecretKey, &newKey);
    if (fault.empty())
      fault = readPublicKey(newPublicKey, shown(newPublicKey), &newPublic, &newText);
    if (!fault.empty()) return fault;
    if (newPublic.id != newKey.id || newPublic.key != newKey.publicKey) {
      return shown(newPublicKey) + ": holds key " + keyIdText(newPublic.id) + ", not the key " +
             keyIdText(newKey.id) + " of " + shown(newSecretKey);
    }
    fault = writeWholeFile(folder / kReleaseKeyName, newText);
    if (!fault.empty()) return fault;
    const std::string comment = defaultTrustedComment(kReleaseKeyName);
    if (comment.empty()) return "SOURCE_DATE_EPOCH is not a number of seconds";
    return signWith(folder / kReleaseKeyName, oldKey, folder / kReleaseKeySignatureName, comment);
  } catch (const std::exception& e) {
    return std::string("signing failed: ") + e.what();
  }
}

std::string signFile(const fs::path& file, const fs::path& secretKey, const fs::path& signatureFile,
                     std::string trustedComment) {
  try {
    SecretKey key;
    std::string fault = signingKey(secretKey, &key);
    if (!fault.empty()) return fault;
    trustedComment = commentFor(std::move(trustedComment), shown(file.filename()));
    if (trustedComment.empty()) return "SOURCE_DATE_EPOCH is not a number of seconds";
    return signWith(file, key, signatureFile, trustedComment);
  } catch (const std::exception& e) {
    return std::string("signing failed: ") + e.what();
  }
}

std::string makeKeyPair(const fs::path& secretKey, const fs::path& publicKey) {
  try {
    std::string fault = startCrypto();
    if (!fault.empty()) return "cannot make a key: " + fault;
    for (const fs::path& file : {secretKey, publicKey}) {
      if (!isMissing(file)) return shown(file) + ": exists, not replaced";
    }
    SecretKey key;
    // One draw: on Windows each one makes libgcrypt poll the system anew.
    std::array<unsigned char, sizeof key.seed + sizeof key.id> random{};
    randomBytes(random.data(), random.size());
    std::copy(random.begin(), random.begin() + key.seed.size(), key.seed.begin());
    std::copy(random.begin() + key.seed.size(), random.end(), key.id.begin());
    fault = publicKeyOfSeed(key.seed, &key.publicKey);
    if (!fault.empty()) return fault;
    // Only the owner may read the secret key, from before it holds it.
    fault = writeWholeFile(secretKey, secretKeyText(key), WriteMode::kNewPrivate);
    if (!fault.empty()) return fault;
    PublicKey pair;
    pair.id = key.id;
    pair.key = key.publicKey;
    return writeWholeFile(publicKey, publicKeyText(pair));
  } catch (const std::exception& e) {
    return std::string("key generation failed: ") + e.what();
  }
}

std::string defaultTrustedComment(const std::string& fileName) {
  std::uint64_t seconds = static_cast<std::uint64_t>(std::time(nullptr));
  if (const char* fixed = std::getenv("SOURCE_DATE_EPOCH")) {
    const std::string text = fixed;
    if (text.empty() || text.size() > 19 ||
        text.find_first_not_of("0123456789") != std::string::npos) {
      return "";
    }
    seconds = std::stoull(text);
  }
  return "timestamp:" + std::to_string(seconds) + "\tfile:" + fileName + "\thashed";
}
