#include "release/release_crypto.h"

#include <cstring>
#include <exception>
#include <vector>

#include "os/files.h"

namespace fs = std::filesystem;

namespace {

using SexpHandle = std::unique_ptr<gcry_sexp, decltype(&gcry_sexp_release)>;

SexpHandle adoptSexp(gcry_sexp_t sexp) { return SexpHandle(sexp, &gcry_sexp_release); }

std::string gcryptFault(const char* call, gcry_error_t error) {
  return std::string("libgcrypt ") + call + ": " + gcry_strerror(error);
}

// The secret key of libgcrypt's EdDSA made from the 32-byte seed; null when
// it cannot be built.
SexpHandle secretKeyOf(const Ed25519Seed& seed, gcry_error_t* error) {
  gcry_sexp_t key = nullptr;
  *error =
      gcry_sexp_build(&key, nullptr, "(private-key (ecc (curve Ed25519) (flags eddsa) (d %b)))",
                      static_cast<int>(seed.size()), seed.data());
  return adoptSexp(key);
}

// The message as libgcrypt's EdDSA takes it: the bytes themselves, hashed
// inside the signature as Ed25519 demands (SHA-512).
SexpHandle messageOf(const unsigned char* message, std::size_t length, gcry_error_t* error) {
  gcry_sexp_t data = nullptr;
  *error = gcry_sexp_build(&data, nullptr, "(data (flags eddsa) (hash-algo sha512) (value %b))",
                           static_cast<int>(length), message);
  return adoptSexp(data);
}

// A limit as people write it: "256 MiB" rather than 268435456 bytes.
std::string sizeText(std::uint64_t bytes) {
  if (bytes % (1024 * 1024) == 0) return std::to_string(bytes / (1024 * 1024)) + " MiB";
  if (bytes % 1024 == 0) return std::to_string(bytes / 1024) + " KiB";
  return std::to_string(bytes) + " bytes";
}

// Feeds the file to digest in chunks. Returns why it stopped early; empty
// when *size holds the number of bytes read.
std::string digestFile(const fs::path& file, std::uint64_t limit, gcry_md_hd_t digest,
                       std::uint64_t* size) {
  try {
    InputFile in(file);
    std::vector<char> chunk(kReadChunk);
    std::uint64_t total = 0;
    while (const std::size_t got = in.read(chunk.data(), chunk.size())) {
      total += got;
      if (total > limit) return "too long (over " + sizeText(limit) + ")";
      gcry_md_write(digest, chunk.data(), got);
    }
    *size = total;
  } catch (const std::exception& e) {
    return std::string("cannot be read (") + e.what() + ")";
  }
  return "";
}

}  // namespace

std::string startCrypto() {
  // A function-local static is made once even when threads race to it.
  static const std::string fault = []() -> std::string {
    if (gcry_check_version(GCRYPT_VERSION) == nullptr) {
      return std::string("libgcrypt ") + GCRYPT_VERSION + " or later is needed, this is " +
             gcry_check_version(nullptr);
    }
    // A host that links libgcrypt for itself may have set it up already;
    // its choices stand.
    if (!gcry_control(GCRYCTL_INITIALIZATION_FINISHED_P)) {
      // Nothing here holds a secret worth locking into memory: the updater
      // only verifies, and the signing command's key is in a file anyway.
      gcry_control(GCRYCTL_DISABLE_SECMEM, 0);
      gcry_control(GCRYCTL_INITIALIZATION_FINISHED, 0);
    }
    return "";
  }();
  return fault;
}

DigestHandle openDigest(int algorithm) {
  gcry_md_hd_t handle = nullptr;
  if (gcry_md_open(&handle, algorithm, 0) != 0) handle = nullptr;
  return DigestHandle(handle, &gcry_md_close);
}

std::string sha256OfFile(const fs::path& file, std::uint64_t* size, Sha256* sha256) {
  const DigestHandle digest = openDigest(GCRY_MD_SHA256);
  if (!digest) return "libgcrypt has no SHA-256";
  const std::string fault = digestFile(file, UINT64_MAX, digest.get(), size);
  if (!fault.empty()) return fault;
  std::memcpy(sha256->data(), gcry_md_read(digest.get(), GCRY_MD_SHA256), sha256->size());
  return "";
}

std::string blake2bOfFile(const fs::path& file, std::uint64_t limit, Blake2b512* result) {
  const DigestHandle digest = openDigest(GCRY_MD_BLAKE2B_512);
  if (!digest) return "libgcrypt has no BLAKE2b-512";
  std::uint64_t size = 0;
  const std::string fault = digestFile(file, limit, digest.get(), &size);
  if (!fault.empty()) return fault;
  std::memcpy(result->data(), gcry_md_read(digest.get(), GCRY_MD_BLAKE2B_512), result->size());
  return "";
}

std::array<unsigned char, 32> blake2b256(const std::string& bytes) {
  std::array<unsigned char, 32> result{};
  gcry_md_hash_buffer(GCRY_MD_BLAKE2B_256, result.data(), bytes.data(), bytes.size());
  return result;
}

std::uint64_t fingerprintOf(const std::string& bytes) {
  Sha256 hash{};
  gcry_md_hash_buffer(GCRY_MD_SHA256, hash.data(), bytes.data(), bytes.size());
  std::uint64_t value = 0;
  for (int i = 0; i < 8; ++i) value = value << 8 | hash[i];
  return value;
}

bool verifyEd25519(const Ed25519PublicKey& key, const Ed25519Signature& signature,
                   const unsigned char* message, std::size_t length) {
  gcry_sexp_t built = nullptr;
  if (gcry_sexp_build(&built, nullptr, "(public-key (ecc (curve Ed25519) (flags eddsa) (q %b)))",
                      static_cast<int>(key.size()), key.data()) != 0) {
    return false;
  }
  const SexpHandle publicKey = adoptSexp(built);
  built = nullptr;
  if (gcry_sexp_build(&built, nullptr, "(sig-val (eddsa (r %b) (s %b)))", 32, signature.data(), 32,
                      signature.data() + 32) != 0) {
    return false;
  }
  const SexpHandle signatureValue = adoptSexp(built);
  gcry_error_t error = 0;
  const SexpHandle data = messageOf(message, length, &error);
  if (error != 0) return false;
  return gcry_pk_verify(signatureValue.get(), data.get(), publicKey.get()) == 0;
}

std::string signEd25519(const Ed25519Seed& seed, const unsigned char* message, std::size_t length,
                        Ed25519Signature* signature) {
  gcry_error_t error = 0;
  const SexpHandle secretKey = secretKeyOf(seed, &error);
  if (error != 0) return gcryptFault("gcry_sexp_build", error);
  const SexpHandle data = messageOf(message, length, &error);
  if (error != 0) return gcryptFault("gcry_sexp_build", error);
  gcry_sexp_t made = nullptr;
  error = gcry_pk_sign(&made, data.get(), secretKey.get());
  if (error != 0) return gcryptFault("gcry_pk_sign", error);
  const SexpHandle signatureValue = adoptSexp(made);
  // EdDSA's r and s are little-endian encodings of fixed length, which
  // libgcrypt hands back as they are.
  const char* const parts[] = {"r", "s"};
  for (int i = 0; i < 2; ++i) {
    const SexpHandle part = adoptSexp(gcry_sexp_find_token(signatureValue.get(), parts[i], 0));
    std::size_t partLength = 0;
    const char* bytes = part ? gcry_sexp_nth_data(part.get(), 1, &partLength) : nullptr;
    if (bytes == nullptr || partLength != 32) {
      return std::string("libgcrypt gave an Ed25519 signature without a 32-byte ") + parts[i];
    }
    std::memcpy(signature->data() + 32 * i, bytes, 32);
  }
  return "";
}

std::string publicKeyOfSeed(const Ed25519Seed& seed, Ed25519PublicKey* key) {
  gcry_error_t error = 0;
  const SexpHandle secretKey = secretKeyOf(seed, &error);
  if (error != 0) return gcryptFault("gcry_sexp_build", error);
  gcry_ctx_t context = nullptr;
  error = gcry_mpi_ec_new(&context, secretKey.get(), nullptr);
  if (error != 0) return gcryptFault("gcry_mpi_ec_new", error);
  // libgcrypt computes the public point from d when asked for it, encoded
  // as EdDSA encodes it: the 32 bytes minisign stores.
  gcry_mpi_t point = gcry_mpi_ec_get_mpi("q@eddsa", context, 1);
  gcry_ctx_release(context);
  unsigned int bits = 0;
  const void* bytes = point ? gcry_mpi_get_opaque(point, &bits) : nullptr;
  const bool whole = bytes != nullptr && bits == 8 * key->size();
  if (whole) std::memcpy(key->data(), bytes, key->size());
  gcry_mpi_release(point);
  return whole ? "" : "libgcrypt gave no 32-byte Ed25519 public key";
}

void randomBytes(unsigned char* buffer, std::size_t length) {
  gcry_randomize(buffer, length, GCRY_VERY_STRONG_RANDOM);
}
