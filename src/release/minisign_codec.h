#ifndef VEXO_RELEASE_MINISIGN_CODEC_H_
#define VEXO_RELEASE_MINISIGN_CODEC_H_

// minisign's text files, so that publishers can use the stock tool: public
// keys, signatures (prehashed "ED" only) and unencrypted secret keys. Each
// is a few lines, LF-ended, the last line end optional; the binary parts are
// base64. Parsing is strict and never throws.

#include <array>
#include <string>

#include "release/release_crypto.h"

using KeyId = std::array<unsigned char, 8>;

struct PublicKey {
  KeyId id{};
  Ed25519PublicKey key{};
};

struct SecretKey {
  KeyId id{};
  Ed25519Seed seed{};
  Ed25519PublicKey publicKey{};
};

struct Signature {
  KeyId id{};
  // Over the BLAKE2b-512 of the signed file.
  Ed25519Signature signature{};
  std::string trustedComment;
  // Over signature followed by trustedComment.
  Ed25519Signature globalSignature{};
};

// The larger of what minisign itself would write and what anyone would
// type: a key or signature file longer than this is refused unread.
constexpr std::size_t kMinisignFileLimit = 64 * 1024;

// Why text is not a minisign public key, as "not a minisign public key
// (<detail>)"; empty when *key holds it.
std::string parsePublicKey(const std::string& text, PublicKey* key);

// Why text is not a prehashed minisign signature, as a phrase that follows
// "<file name>: "; empty when *signature holds it.
std::string parseSignature(const std::string& text, Signature* signature);

// Why text is not an unencrypted minisign secret key whose checksum is
// right (or all zero, as minisign -G -W writes it), as a phrase that follows
// "<file name>: "; empty when *key holds it.
std::string parseSecretKey(const std::string& text, SecretKey* key);

// The files' texts, as minisign writes them.
std::string publicKeyText(const PublicKey& key);
std::string secretKeyText(const SecretKey& key);
std::string signatureText(const Signature& signature);

// The key id as minisign shows it: 16 uppercase hex digits, last byte first.
std::string keyIdText(const KeyId& id);

// Standard base64 with padding; decoding refuses anything not canonical.
std::string base64Encode(const std::string& bytes);
bool base64Decode(const std::string& text, std::string* bytes);

#endif  // VEXO_RELEASE_MINISIGN_CODEC_H_
