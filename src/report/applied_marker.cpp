#include <chrono>
#include <cstring>
#include <exception>

#include "os/files.h"
#include "report/marker_record.h"

namespace {

void appendEscaped(std::string* out, const std::string& value) {
  static const char kHex[] = "0123456789abcdef";
  for (const char c : value) {
    const auto byte = static_cast<unsigned char>(c);
    switch (byte) {
      case '"':
        *out += "\\\"";
        break;
      case '\\':
        *out += "\\\\";
        break;
      case '\b':
        *out += "\\b";
        break;
      case '\f':
        *out += "\\f";
        break;
      case '\n':
        *out += "\\n";
        break;
      case '\r':
        *out += "\\r";
        break;
      case '\t':
        *out += "\\t";
        break;
      default:
        if (byte < 0x20) {
          *out += "\\u00";
          *out += kHex[byte >> 4];
          *out += kHex[byte & 0xF];
        } else {
          // Bytes at or above 0x80 pass unchanged: the text keeps the
          // encoding it came in.
          *out += c;
        }
    }
  }
}

// Reads the marker's grammar from the front of its bytes; every step returns
// false at the first byte that does not fit.
struct MarkerScanner {
  const std::string& bytes;
  std::size_t pos = 0;

  bool literal(const char* text) {
    const std::size_t length = std::strlen(text);
    if (bytes.compare(pos, length, text) != 0) return false;
    pos += length;
    return true;
  }

  static int hexDigit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    return -1;
  }

  // A string's contents up to its closing quotation mark, with exactly the
  // escapes the writer produces; bytes from 0x80 up are kept as they are.
  bool string(std::string* value) {
    value->clear();
    while (pos < bytes.size()) {
      const char c = bytes[pos++];
      if (c == '"') return true;
      if (static_cast<unsigned char>(c) < 0x20) return false;
      if (c != '\\') {
        *value += c;
        continue;
      }
      if (pos >= bytes.size()) return false;
      const char escape = bytes[pos++];
      switch (escape) {
        case '"':
          *value += '"';
          break;
        case '\\':
          *value += '\\';
          break;
        case 'b':
          *value += '\b';
          break;
        case 'f':
          *value += '\f';
          break;
        case 'n':
          *value += '\n';
          break;
        case 'r':
          *value += '\r';
          break;
        case 't':
          *value += '\t';
          break;
        case 'u': {
          if (bytes.size() - pos < 4 || bytes.compare(pos, 2, "00") != 0) return false;
          const int high = hexDigit(bytes[pos + 2]);
          const int low = hexDigit(bytes[pos + 3]);
          pos += 4;
          const int code = high * 16 + low;
          // Only the control characters without a short form come as \u00XX,
          // NUL among them: the search names its five bytes, so that the
          // list's own terminator is not taken for one of them.
          static const char kShortForms[] = {'\b', '\f', '\n', '\r', '\t'};
          if (high < 0 || low < 0 || code >= 0x20 ||
              std::memchr(kShortForms, code, sizeof kShortForms) != nullptr) {
            return false;
          }
          *value += static_cast<char>(code);
          break;
        }
        default:
          return false;
      }
    }
    return false;
  }

  // A decimal long long as std::to_string writes it: no sign but '-', no
  // leading zero, no "-0".
  bool integer(long long* value) {
    const bool negative = pos < bytes.size() && bytes[pos] == '-';
    if (negative) ++pos;
    const std::size_t first = pos;
    unsigned long long magnitude = 0;
    const unsigned long long limit = negative ? 9223372036854775808ull : 9223372036854775807ull;
    while (pos < bytes.size() && bytes[pos] >= '0' && bytes[pos] <= '9') {
      const auto digit = static_cast<unsigned long long>(bytes[pos] - '0');
      if (magnitude > (limit - digit) / 10) return false;
      magnitude = magnitude * 10 + digit;
      ++pos;
    }
    const std::size_t digits = pos - first;
    if (digits == 0 || (digits > 1 && bytes[first] == '0') || (negative && magnitude == 0)) {
      return false;
    }
    *value = negative ? static_cast<long long>(0 - magnitude) : static_cast<long long>(magnitude);
    return true;
  }
};

}  // namespace

std::string formatAppliedMarker(const MarkerRecord& record, long long appliedAt) {
  std::string out = "{\"fromVersion\":\"";
  appendEscaped(&out, record.fromVersion);
  out += "\",\"toVersion\":\"";
  appendEscaped(&out, record.toVersion);
  out += "\",\"appliedAt\":";
  out += std::to_string(appliedAt);
  out += ",\"result\":\"";
  appendEscaped(&out, record.result);
  out += "\",\"errorMessage\":\"";
  appendEscaped(&out, record.errorMessage);
  out += "\",\"idempotencyKey\":\"";
  appendEscaped(&out, record.idempotencyKey);
  out += "\"}";
  return out;
}

void writeAppliedMarker(const std::filesystem::path& markerPath, const MarkerRecord& record) {
  if (markerPath.empty()) return;
  const long long appliedAt = std::chrono::duration_cast<std::chrono::seconds>(
                                  std::chrono::system_clock::now().time_since_epoch())
                                  .count();
  // Truncated in place and shared for reading and writing, and no folder
  // made: a path that cannot be opened leaves any earlier marker untouched.
  // The marker is the outcome's record once the journal is gone, and the
  // journal goes right after it: the marker must reach the disk first, or a
  // power cut could leave the host with neither.
  try {
    OutputFile marker(markerPath, WriteMode::kTruncate);
    marker.write(formatAppliedMarker(record, appliedAt));
    marker.close();
    syncFile(markerPath);
  } catch (const std::exception&) {
  }
}

bool parseAppliedMarker(const std::string& bytes, MarkerRecord* record, long long* appliedAt) {
  MarkerScanner scan{bytes};
  const bool complete =
      scan.literal("{\"fromVersion\":\"") && scan.string(&record->fromVersion) &&
      scan.literal(",\"toVersion\":\"") && scan.string(&record->toVersion) &&
      scan.literal(",\"appliedAt\":") && scan.integer(appliedAt) &&
      scan.literal(",\"result\":\"") && scan.string(&record->result) &&
      scan.literal(",\"errorMessage\":\"") && scan.string(&record->errorMessage) &&
      scan.literal(",\"idempotencyKey\":\"") && scan.string(&record->idempotencyKey) &&
      scan.literal("}") && scan.pos == bytes.size();
  return complete &&
         (record->result == "success" || record->result == "rollback" || record->result == "error");
}
