#ifndef VEXO_REPORT_MARKER_RECORD_H_
#define VEXO_REPORT_MARKER_RECORD_H_

#include <filesystem>
#include <string>

// The outcome of one run, as byte strings in the encoding they arrived in.
struct MarkerRecord {
  std::string fromVersion;
  std::string toVersion;
  std::string result;
  std::string errorMessage;
  std::string idempotencyKey;
};

// Writes the record as one line of JSON, truncating the file in place, and
// makes it durable before returning. Reports nothing: every failure is silent
// (one that prevents opening the file leaves it as it was).
void writeAppliedMarker(const std::filesystem::path& markerPath, const MarkerRecord& record);

// The marker's bytes for a given time stamp; what writeAppliedMarker writes.
std::string formatAppliedMarker(const MarkerRecord& record, long long appliedAt);

// Parses marker bytes strictly: exactly what formatAppliedMarker writes, with
// a result of "success", "rollback" or "error". Returns false for anything
// else, an empty or truncated marker among them.
bool parseAppliedMarker(const std::string& bytes, MarkerRecord* record, long long* appliedAt);

#endif  // VEXO_REPORT_MARKER_RECORD_H_
