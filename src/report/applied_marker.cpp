#include <chrono>
#include <cstdio>
#include <exception>

#include "report/marker_record.h"
#include "treeops/treeops_os.h"

namespace {

void appendEscaped(std::string* out, const std::string& value) {
  static const char kHex[] = "0123456789abcdef";
  for (const char c : value) {
    const auto byte = static_cast<unsigned char>(c);
    switch (byte) {
      case '"': *out += "\\\""; break;
      case '\\': *out += "\\\\"; break;
      case '\b': *out += "\\b"; break;
      case '\f': *out += "\\f"; break;
      case '\n': *out += "\\n"; break;
      case '\r': *out += "\\r"; break;
      case '\t': *out += "\\t"; break;
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

void writeAppliedMarker(const std::string& markerPath, const MarkerRecord& record) {
  const long long appliedAt = std::chrono::duration_cast<std::chrono::seconds>(
                                  std::chrono::system_clock::now().time_since_epoch())
                                  .count();
  const std::string bytes = formatAppliedMarker(record, appliedAt);
  // The C runtime opens narrow paths in the ANSI code page, shares the file
  // for reading and writing, and creates no directories: what the marker
  // needs. A path that cannot be opened leaves any earlier marker untouched.
  std::FILE* file = std::fopen(markerPath.c_str(), "wb");
  if (file == nullptr) return;
  std::fwrite(bytes.data(), 1, bytes.size(), file);
  if (std::fclose(file) != 0) return;
  // The marker is the outcome's record once the journal is gone, and the
  // journal goes right after it: the marker must reach the disk first, or a
  // power cut could leave the host with neither.
  try {
    syncFile(toFsPath(markerPath));
  } catch (const std::exception&) {
  }
}
