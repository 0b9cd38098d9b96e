#ifndef VEXO_RELEASE_RELEASE_CHECK_H_
#define VEXO_RELEASE_RELEASE_CHECK_H_

// Signed releases. An installation that holds a release key accepts a staged
// folder only when it is exactly the release its publisher signed: the
// manifest's signature verifies under the release key, and the files the
// updater would move are the manifest's files, with their sizes and
// SHA-256, no more and no fewer. Keys and signatures are minisign's, so the
// stock tool can sign and check them. Every function here returns its
// failure as one line of plain English and never throws.

#include <cstdint>
#include <filesystem>
#include <string>

// True when the installation names a release key (a file at
// installDir/vexo-release.pub, whatever it holds).
bool installationHasReleaseKey(const std::filesystem::path& installDir);

// Why the installation's release key cannot be used, as
// "<path of the key>: <why>"; empty when it can. No release can be
// checked against such a key, whatever is staged.
std::string installedKeyFault(const std::filesystem::path& installDir);

// Why staging is not exactly the release signed for this installation, as
// "<file>: <why>", the file as the manifest names it (or the installation's
// key); empty when it is.
std::string verifyStagedRelease(const std::filesystem::path& installDir,
                                const std::filesystem::path& stagingDir);

// Why the installation does not hold every file of its own signed manifest;
// empty when it does.
std::string verifyInstalledRelease(const std::filesystem::path& installDir);

// Why folder is not exactly the release signed for an installation whose
// release key is the file installedKey; empty when it is, with *fileCount
// set to the number of files the manifest lists.
std::string verifyRelease(const std::filesystem::path& installedKey,
                          const std::filesystem::path& folder, std::uint64_t* fileCount);

// For the signing command: writes the manifest of folder and its signature
// with the secret key file, the trusted comment defaultTrustedComment's when
// empty. Returns why it could not; empty when done.
std::string signRelease(const std::filesystem::path& folder, const std::filesystem::path& secretKey,
                        std::string trustedComment);

// For a release that moves installations to a new key: copies newPublicKey
// to folder/vexo-release.pub and signs it with oldSecretKey, the installed
// key, as folder/vexo-release.pub.minisig, after checking that newSecretKey
// (which is to sign the manifest) is its pair. Returns why it could not;
// empty when done.
std::string rotateReleaseKey(const std::filesystem::path& folder,
                             const std::filesystem::path& oldSecretKey,
                             const std::filesystem::path& newPublicKey,
                             const std::filesystem::path& newSecretKey);

// Writes the prehashed minisign signature of file to signatureFile, made
// with the secret key file. Returns why it could not; empty when done.
std::string signFile(const std::filesystem::path& file, const std::filesystem::path& secretKey,
                     const std::filesystem::path& signatureFile, std::string trustedComment);

// Makes an unencrypted minisign key pair, refusing to replace either file.
// Returns why it could not; empty when done.
std::string makeKeyPair(const std::filesystem::path& secretKey,
                        const std::filesystem::path& publicKey);

// minisign's default trusted comment, "timestamp:<seconds>\tfile:<name>\thashed",
// the time taken from SOURCE_DATE_EPOCH when it is set, so that signing the
// same folder twice gives the same bytes. Empty when SOURCE_DATE_EPOCH is
// set but not a number of seconds.
std::string defaultTrustedComment(const std::string& fileName);

#endif  // VEXO_RELEASE_RELEASE_CHECK_H_
