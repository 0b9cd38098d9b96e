#include "release/minisign_codec.h"

#include <algorithm>
#include <cstring>
#include <vector>

namespace {

const char kUntrustedPrefix[] = "untrusted comment: ";
const char kTrustedPrefix[] = "trusted comment: ";
const char kBase64[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

// Byte sizes of the decoded lines.
constexpr std::size_t kPublicKeyBytes = 2 + 8 + 32;
constexpr std::size_t kSignatureBytes = 2 + 8 + 64;
constexpr std::size_t kSecretKeyBytes = 2 + 2 + 2 + 32 + 8 + 8 + 8 + 64 + 32;

bool startsWith(const std::string& text, const char* prefix) {
  return text.compare(0, std::strlen(prefix), prefix) == 0;
}

// Splits text into exactly count LF-ended lines, the last line end optional.
// Returns why it cannot; empty when *lines holds them.
std::string splitLines(std::string text, std::size_t count, std::vector<std::string>* lines) {
  if (text.find('\r') != std::string::npos) return "a CR in its lines (line ends must be LF)";
  if (!text.empty() && text.back() == '\n') text.pop_back();
  lines->clear();
  std::size_t start = 0;
  while (true) {
    const std::size_t end = text.find('\n', start);
    lines->push_back(text.substr(start, end - start));
    if (end == std::string::npos) break;
    start = end + 1;
  }
  if (lines->size() != count) {
    return std::to_string(lines->size()) + (lines->size() == 1 ? " line" : " lines") + ", not " +
           std::to_string(count);
  }
  return "";
}

// The binary contents of base64 line number (1-based) of lines, which must
// be size bytes long. Returns why not; empty when *bytes holds them.
std::string decodeLine(const std::vector<std::string>& lines, std::size_t number, std::size_t size,
                       std::string* bytes) {
  const std::string label = "line " + std::to_string(number);
  if (!base64Decode(lines[number - 1], bytes)) return label + " is not base64";
  if (bytes->size() != size) {
    return label + " holds " + std::to_string(bytes->size()) + " bytes, not " +
           std::to_string(size);
  }
  return "";
}

template <std::size_t N>
void take(const std::string& bytes, std::size_t offset, std::array<unsigned char, N>* out) {
  std::memcpy(out->data(), bytes.data() + offset, N);
}

template <std::size_t N>
std::string asBytes(const std::array<unsigned char, N>& array) {
  return std::string(reinterpret_cast<const char*>(array.data()), N);
}

std::string within(const char* what, const std::string& detail) {
  return std::string("not a minisign ") + what + " (" + detail + ")";
}

// The opening every minisign file shares: count lines, the first an untrusted
// comment, the second the base64 of size bytes, decoded into *bytes.
std::string readOpening(const std::string& text, std::size_t count, std::size_t size,
                        std::vector<std::string>* lines, std::string* bytes) {
  std::string fault = splitLines(text, count, lines);
  if (fault.empty() && !startsWith((*lines)[0], kUntrustedPrefix)) {
    fault = "line 1 does not begin with \"untrusted comment: \"";
  }
  if (fault.empty()) fault = decodeLine(*lines, 2, size, bytes);
  return fault;
}

}  // namespace

std::string base64Encode(const std::string& bytes) {
  std::string text;
  text.reserve((bytes.size() + 2) / 3 * 4);
  for (std::size_t i = 0; i < bytes.size(); i += 3) {
    const std::size_t left = std::min<std::size_t>(3, bytes.size() - i);
    std::uint32_t group = 0;
    for (std::size_t j = 0; j < 3; ++j) {
      group = group << 8 | (j < left ? static_cast<unsigned char>(bytes[i + j]) : 0u);
    }
    for (std::size_t j = 0; j < 4; ++j) {
      text += j <= left ? kBase64[(group >> (18 - 6 * j)) & 63] : '=';
    }
  }
  return text;
}

bool base64Decode(const std::string& text, std::string* bytes) {
  if (text.size() % 4 != 0) return false;
  bytes->clear();
  for (std::size_t i = 0; i < text.size(); i += 4) {
    std::size_t padding = 0;
    if (i + 4 == text.size() && text[i + 3] == '=') padding = text[i + 2] == '=' ? 2 : 1;
    std::uint32_t group = 0;
    for (std::size_t j = 0; j < 4; ++j) {
      group <<= 6;
      if (j >= 4 - padding) continue;
      const char c = text[i + j];
      const char* const found = c == '\0' ? nullptr : std::strchr(kBase64, c);
      if (found == nullptr) return false;
      group |= static_cast<std::uint32_t>(found - kBase64);
    }
    // Padding stands for zero bits only; another encoding of the same bytes
    // is not the one minisign writes.
    if ((padding == 1 && (group & 0xFF) != 0) || (padding == 2 && (group & 0xFFFF) != 0)) {
      return false;
    }
    for (std::size_t j = 0; j < 3 - padding; ++j) {
      *bytes += static_cast<char>((group >> (16 - 8 * j)) & 0xFF);
    }
  }
  return true;
}

std::string keyIdText(const KeyId& id) {
  static const char kHex[] = "0123456789ABCDEF";
  std::string text;
  for (auto byte = id.rbegin(); byte != id.rend(); ++byte) {
    text += kHex[*byte >> 4];
    text += kHex[*byte & 15];
  }
  return text;
}

std::string parsePublicKey(const std::string& text, PublicKey* key) {
  std::vector<std::string> lines;
  std::string bytes;
  std::string fault = readOpening(text, 2, kPublicKeyBytes, &lines, &bytes);
  if (fault.empty() && bytes.compare(0, 2, "Ed") != 0) fault = "its algorithm is not \"Ed\"";
  if (!fault.empty()) return within("public key", fault);
  take(bytes, 2, &key->id);
  take(bytes, 10, &key->key);
  return "";
}

std::string parseSignature(const std::string& text, Signature* signature) {
  std::vector<std::string> lines;
  std::string bytes;
  std::string fault = readOpening(text, 4, kSignatureBytes, &lines, &bytes);
  if (fault.empty() && bytes.compare(0, 2, "Ed") == 0) {
    // The legacy signature covers the file itself, which would have to be
    // read whole to verify it.
    return "a legacy minisign signature of the whole file, not accepted: sign with minisign's "
           "default prehashed signature (without -l)";
  }
  if (fault.empty() && bytes.compare(0, 2, "ED") != 0) fault = "its algorithm is not \"ED\"";
  if (fault.empty() && !startsWith(lines[2], kTrustedPrefix)) {
    fault = "line 3 does not begin with \"trusted comment: \"";
  }
  std::string global;
  if (fault.empty()) fault = decodeLine(lines, 4, 64, &global);
  if (!fault.empty()) return within("signature", fault);
  take(bytes, 2, &signature->id);
  take(bytes, 10, &signature->signature);
  signature->trustedComment = lines[2].substr(std::strlen(kTrustedPrefix));
  take(global, 0, &signature->globalSignature);
  return "";
}

std::string parseSecretKey(const std::string& text, SecretKey* key) {
  std::vector<std::string> lines;
  std::string bytes;
  std::string fault = readOpening(text, 2, kSecretKeyBytes, &lines, &bytes);
  if (fault.empty() && bytes.compare(0, 2, "Ed") != 0) fault = "its algorithm is not \"Ed\"";
  if (fault.empty() && bytes.compare(2, 2, "Sc") == 0) {
    return "an encrypted minisign secret key: make one without a password (minisign -G -W) or "
           "with vexo-release keygen";
  }
  if (fault.empty() && bytes.compare(2, 2, std::string(2, '\0')) != 0) {
    fault = "its key derivation is neither none nor \"Sc\"";
  }
  if (fault.empty() && bytes.compare(4, 2, "B2") != 0) fault = "its checksum is not \"B2\"";
  if (!fault.empty()) return within("secret key", fault);
  // After the algorithms, the salt and the two limits of the key derivation,
  // which an unencrypted key does not use: key id, secret key, checksum.
  constexpr std::size_t kIdAt = 2 + 2 + 2 + 32 + 8 + 8;
  const std::string checksum = bytes.substr(kIdAt + 8 + 64);
  // minisign -G -W leaves the checksum all zero; a key whose password was
  // removed (minisign -C -W) keeps the real one.
  if (checksum != std::string(32, '\0') &&
      checksum != asBytes(blake2b256("Ed" + bytes.substr(kIdAt, 8 + 64)))) {
    return within("secret key", "its checksum does not match: the file is damaged");
  }
  take(bytes, kIdAt, &key->id);
  take(bytes, kIdAt + 8, &key->seed);
  take(bytes, kIdAt + 8 + 32, &key->publicKey);
  Ed25519PublicKey derived{};
  fault = publicKeyOfSeed(key->seed, &derived);
  if (!fault.empty()) return fault;
  if (derived != key->publicKey) {
    return within("secret key", "its public half is not its seed's: the file is damaged");
  }
  return "";
}

std::string publicKeyText(const PublicKey& key) {
  return std::string(kUntrustedPrefix) + "minisign public key " + keyIdText(key.id) + "\n" +
         base64Encode("Ed" + asBytes(key.id) + asBytes(key.key)) + "\n";
}

std::string secretKeyText(const SecretKey& key) {
  const std::string secret = asBytes(key.id) + asBytes(key.seed) + asBytes(key.publicKey);
  const std::string bytes = "Ed" + std::string(2, '\0') + "B2" + std::string(32 + 8 + 8, '\0') +
                            secret + asBytes(blake2b256("Ed" + secret));
  return std::string(kUntrustedPrefix) + "minisign unencrypted secret key " + keyIdText(key.id) +
         "\n" + base64Encode(bytes) + "\n";
}

std::string signatureText(const Signature& signature) {
  return std::string(kUntrustedPrefix) + "signature from minisign secret key\n" +
         base64Encode("ED" + asBytes(signature.id) + asBytes(signature.signature)) + "\n" +
         kTrustedPrefix + signature.trustedComment + "\n" +
         base64Encode(asBytes(signature.globalSignature)) + "\n";
}
