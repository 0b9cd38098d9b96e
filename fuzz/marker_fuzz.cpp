// Formats markers from arbitrary records and checks what every reader of the
// file relies on: one line with no byte below 0x20, a closing brace at the
// end, bytes at or above 0x80 copied unchanged, and, for valid UTF-8, a
// strict JSON parse that gives back every field and the time stamp, with
// the keys in their fixed order. The product's own strict reader must give
// back every record it wrote (whose result is one of the three words), and,
// fed the input's bytes as they are, accept only what the writer writes.
// Now and then the record is also written to a file, which must hold
// exactly the formatted bytes.

#include <fuzzer/FuzzedDataProvider.h>
#include <unistd.h>

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <nlohmann/json.hpp>
#include <string>

#include "report/marker_record.h"

namespace {

void check(bool condition, const char* what, const std::string& marker) {
  if (condition) return;
  std::fprintf(stderr, "marker check failed: %s\n%s\n", what, marker.c_str());
  std::abort();
}

// Well-formed UTF-8 as RFC 3629 defines it (no overlong forms, no
// surrogates, nothing above U+10FFFF): what a strict JSON parser accepts.
bool isValidUtf8(const std::string& text) {
  std::size_t i = 0;
  while (i < text.size()) {
    const auto lead = static_cast<unsigned char>(text[i]);
    std::size_t length = 0;
    unsigned char low = 0x80;
    unsigned char high = 0xBF;
    if (lead < 0x80) {
      length = 1;
    } else if (lead >= 0xC2 && lead <= 0xDF) {
      length = 2;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
      length = 3;
      if (lead == 0xE0) low = 0xA0;
      if (lead == 0xED) high = 0x9F;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
      length = 4;
      if (lead == 0xF0) low = 0x90;
      if (lead == 0xF4) high = 0x8F;
    } else {
      return false;
    }
    if (i + length > text.size()) return false;
    for (std::size_t k = 1; k < length; ++k) {
      const auto next = static_cast<unsigned char>(text[i + k]);
      const unsigned char min = k == 1 ? low : 0x80;
      const unsigned char max = k == 1 ? high : 0xBF;
      if (next < min || next > max) return false;
    }
    i += length;
  }
  return true;
}

std::string maskHighBytes(std::string text) {
  for (char& c : text) {
    if (static_cast<unsigned char>(c) >= 0x80) c = 'A';
  }
  return text;
}

void checkOneLine(const std::string& marker) {
  check(!marker.empty() && marker.front() == '{' && marker.back() == '}', "braces", marker);
  for (const char c : marker) {
    check(static_cast<unsigned char>(c) >= 0x20, "byte below 0x20", marker);
  }
}

void checkParsesBack(const std::string& marker, const MarkerRecord& record, long long appliedAt) {
  nlohmann::ordered_json parsed;
  try {
    parsed = nlohmann::ordered_json::parse(marker);
  } catch (const nlohmann::json::exception& e) {
    check(false, e.what(), marker);
  }
  static const char* const kKeys[] = {"fromVersion", "toVersion",    "appliedAt",
                                      "result",      "errorMessage", "idempotencyKey"};
  check(parsed.is_object() && parsed.size() == 6, "six keys", marker);
  std::size_t index = 0;
  for (auto it = parsed.begin(); it != parsed.end(); ++it, ++index) {
    check(it.key() == kKeys[index], "key order", marker);
  }
  check(
      parsed["appliedAt"].is_number_integer() && parsed["appliedAt"].get<long long>() == appliedAt,
      "appliedAt", marker);
  check(parsed["fromVersion"] == record.fromVersion, "fromVersion", marker);
  check(parsed["toVersion"] == record.toVersion, "toVersion", marker);
  check(parsed["result"] == record.result, "result", marker);
  check(parsed["errorMessage"] == record.errorMessage, "errorMessage", marker);
  check(parsed["idempotencyKey"] == record.idempotencyKey, "idempotencyKey", marker);
}

long long nowSeconds() {
  return std::chrono::duration_cast<std::chrono::seconds>(
             std::chrono::system_clock::now().time_since_epoch())
      .count();
}

void checkWrittenFile(const MarkerRecord& record) {
  static const std::string path =
      "/tmp/vexo-marker-fuzz-" + std::to_string(static_cast<long>(getpid())) + ".json";
  const long long before = nowSeconds();
  writeAppliedMarker(path, record);
  const long long after = nowSeconds();
  std::ifstream in(path, std::ios::binary);
  const std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  in.close();
  std::remove(path.c_str());
  bool matched = false;
  for (long long t = before; t <= after && !matched; ++t) {
    matched = bytes == formatAppliedMarker(record, t);
  }
  check(matched, "written file differs from the formatted marker", bytes);
}

// The reader takes a marker back exactly, and nothing else: what it
// accepts is what the writer writes from what it read.
void checkReader(const std::string& bytes) {
  MarkerRecord read;
  long long appliedAt = 0;
  if (!parseAppliedMarker(bytes, &read, &appliedAt)) return;
  check(formatAppliedMarker(read, appliedAt) == bytes, "the reader took a marker no writer writes",
        bytes);
}

void checkRoundTrip(const std::string& marker, const MarkerRecord& record, long long appliedAt) {
  MarkerRecord read;
  long long readAt = 0;
  const bool known =
      record.result == "success" || record.result == "rollback" || record.result == "error";
  check(parseAppliedMarker(marker, &read, &readAt) == known, "the reader refused a marker", marker);
  if (!known) return;
  check(read.fromVersion == record.fromVersion && read.toVersion == record.toVersion &&
            read.result == record.result && read.errorMessage == record.errorMessage &&
            read.idempotencyKey == record.idempotencyKey && readAt == appliedAt,
        "the reader changed a field", marker);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  checkReader(std::string(reinterpret_cast<const char*>(data), size));
  FuzzedDataProvider provider(data, size);
  const bool writeFile = provider.ConsumeIntegralInRange<int>(0, 63) == 0;
  const auto appliedAt = provider.ConsumeIntegral<long long>();
  MarkerRecord record;
  record.fromVersion = provider.ConsumeRandomLengthString();
  record.toVersion = provider.ConsumeRandomLengthString();
  record.result = provider.ConsumeRandomLengthString();
  record.errorMessage = provider.ConsumeRandomLengthString();
  record.idempotencyKey = provider.ConsumeRemainingBytesAsString();

  // A third of the records carry a result the reader knows.
  static const char* const kResults[] = {"success", "rollback", "error"};
  if (appliedAt % 3 == 0) record.result = kResults[(appliedAt / 3 % 3 + 3) % 3];
  const std::string marker = formatAppliedMarker(record, appliedAt);
  checkOneLine(marker);
  checkRoundTrip(marker, record, appliedAt);

  // Bytes at or above 0x80 pass through one for one, so replacing them
  // before or after formatting gives the same bytes, and the masked record
  // is plain ASCII that must parse back.
  const MarkerRecord masked{maskHighBytes(record.fromVersion), maskHighBytes(record.toVersion),
                            maskHighBytes(record.result), maskHighBytes(record.errorMessage),
                            maskHighBytes(record.idempotencyKey)};
  const std::string maskedMarker = formatAppliedMarker(masked, appliedAt);
  check(maskedMarker == maskHighBytes(marker), "bytes at or above 0x80 changed", marker);
  checkParsesBack(maskedMarker, masked, appliedAt);

  if (isValidUtf8(record.fromVersion) && isValidUtf8(record.toVersion) &&
      isValidUtf8(record.result) && isValidUtf8(record.errorMessage) &&
      isValidUtf8(record.idempotencyKey)) {
    checkParsesBack(marker, record, appliedAt);
  }

  if (writeFile) checkWrittenFile(record);
  return 0;
}
