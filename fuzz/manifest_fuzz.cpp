// Feeds arbitrary bytes to every reader of a signed release's files: the
// manifest (streamed through its BLAKE2b prehash, as the updater reads it),
// minisign's public key, signature and secret key, and base64. Besides never
// crashing or leaking, each reader must be strict: what it accepts is
// exactly what the matching writer would write for the values it read.

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "release/minisign_codec.h"
#include "release/release_crypto.h"
#include "release/release_manifest.h"

namespace {

void check(bool condition, const char* what, const std::string& input) {
  if (condition) return;
  std::fprintf(stderr, "release check failed: %s\n%s\n", what, input.c_str());
  std::abort();
}

void fuzzManifest(const std::string& input) {
  std::size_t offset = 0;
  const auto read = [&](char* buffer, std::size_t size) {
    const std::size_t got = std::min(size, input.size() - offset);
    std::copy_n(input.data() + offset, got, buffer);
    offset += got;
    return got;
  };
  const DigestHandle digest = openDigest(GCRY_MD_BLAKE2B_512);
  check(digest != nullptr, "no BLAKE2b-512", input);
  std::string rebuilt = std::string(kManifestHeader) + "\n";
  std::uint64_t lastLine = 1;
  const std::string fault =
      readManifest(read, digest.get(), [&](std::uint64_t line, const ManifestEntry& entry) {
        check(line == lastLine + 1, "lines counted out of order", input);
        lastLine = line;
        check(manifestPathFault(entry.path).empty(), "a refused path was listed", input);
        rebuilt += manifestLine(entry);
        return std::string();
      });
  check(fault.find('\n') == std::string::npos, "a fault of more than one line", input);
  if (!fault.empty()) return;
  // One text for one list: no other spelling of a size, hash or line end.
  check(rebuilt == input, "an accepted manifest is not the one its entries make", input);
  Blake2b512 expected{};
  gcry_md_hash_buffer(GCRY_MD_BLAKE2B_512, expected.data(), input.data(), input.size());
  check(
      std::equal(expected.begin(), expected.end(), gcry_md_read(digest.get(), GCRY_MD_BLAKE2B_512)),
      "the prehash did not see every byte", input);
}

// The texts minisign would write, without the untrusted comment, which is
// free.
std::string withoutFirstLine(const std::string& text) { return text.substr(text.find('\n') + 1); }

void fuzzMinisign(const std::string& input) {
  const std::string rest = withoutFirstLine(input);
  const bool lineEnd = !input.empty() && input.back() == '\n';
  PublicKey key;
  if (parsePublicKey(input, &key).empty()) {
    const std::string text = withoutFirstLine(publicKeyText(key));
    check(rest == (lineEnd ? text : text.substr(0, text.size() - 1)), "a public key not as written",
          input);
  }
  Signature signature;
  if (parseSignature(input, &signature).empty()) {
    const std::string text = withoutFirstLine(signatureText(signature));
    check(rest == (lineEnd ? text : text.substr(0, text.size() - 1)), "a signature not as written",
          input);
  }
  SecretKey secret;
  parseSecretKey(input, &secret);
  std::string bytes;
  if (base64Decode(input, &bytes)) {
    check(base64Encode(bytes) == input, "base64 that is not canonical was accepted", input);
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static const bool started = startCrypto().empty();
  check(started, "libgcrypt cannot be used", "");
  const std::string input(reinterpret_cast<const char*>(data), size);
  fuzzManifest(input);
  fuzzMinisign(input);
  return 0;
}
