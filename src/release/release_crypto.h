#ifndef VEXO_RELEASE_RELEASE_CRYPTO_H_
#define VEXO_RELEASE_RELEASE_CRYPTO_H_

// The cryptography the release check needs, all of it from libgcrypt:
// SHA-256 of the release's files, BLAKE2b for minisign's prehash and key
// checksum, and Ed25519 signatures. Files are read in chunks, never whole.

#include <gcrypt.h>

#include <array>
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <string>

using Sha256 = std::array<unsigned char, 32>;
using Blake2b512 = std::array<unsigned char, 64>;
using Ed25519Seed = std::array<unsigned char, 32>;
using Ed25519PublicKey = std::array<unsigned char, 32>;
using Ed25519Signature = std::array<unsigned char, 64>;

// What a file is read in: large enough that the system calls cost little,
// small enough that memory stays flat.
constexpr std::size_t kReadChunk = 64 * 1024;

// Initialises libgcrypt for this process on the first call. Returns why it
// cannot be used; empty when it can.
std::string startCrypto();

// A running hash, closed when it goes.
using DigestHandle = std::unique_ptr<gcry_md_handle, decltype(&gcry_md_close)>;

// A running hash of the gcry_md algorithm; null when libgcrypt refuses it.
DigestHandle openDigest(int algorithm);

// The size of the file and its SHA-256, read in chunks. Returns why the
// file cannot be read; empty when *size and *sha256 hold the answer.
std::string sha256OfFile(const std::filesystem::path& file, std::uint64_t* size, Sha256* sha256);

// The BLAKE2b-512 of the file (minisign's prehash), read in chunks. Returns
// "too long (over <limit>)" past limit bytes, or why the file cannot
// be read; empty when *digest holds it.
std::string blake2bOfFile(const std::filesystem::path& file, std::uint64_t limit,
                          Blake2b512* digest);

// The BLAKE2b-256 of the bytes (minisign's secret key checksum).
std::array<unsigned char, 32> blake2b256(const std::string& bytes);

// 64 bits of the SHA-256 of the bytes: a fingerprint that no one can make
// another name match without some 2^64 tries.
std::uint64_t fingerprintOf(const std::string& bytes);

// True when signature is key's Ed25519 signature of the message.
bool verifyEd25519(const Ed25519PublicKey& key, const Ed25519Signature& signature,
                   const unsigned char* message, std::size_t length);

// The Ed25519 signature of the message with the key made from seed (RFC 8032:
// deterministic). Returns why it could not be made; empty when *signature holds it.
std::string signEd25519(const Ed25519Seed& seed, const unsigned char* message, std::size_t length,
                        Ed25519Signature* signature);

// The public key of the Ed25519 key made from seed. Returns why it could not
// be computed; empty when *key holds it.
std::string publicKeyOfSeed(const Ed25519Seed& seed, Ed25519PublicKey* key);

// Fills the buffer with random bytes strong enough for a long-lived key.
void randomBytes(unsigned char* buffer, std::size_t length);

#endif  // VEXO_RELEASE_RELEASE_CRYPTO_H_
