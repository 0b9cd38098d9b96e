#include "support/run_support.h"

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <cstring>
#include <utility>

#ifdef _WIN32
#include <windows.h>
#endif

#include "support/test_support.h"

const char kNoProcess[] = "4000000000";
const char kEmDash[] = "\xE2\x80\x94";
const char kIdempotencyKey[] = "key-42";
#ifdef _WIN32
const char kHeldSourceCode[] = "32";
#else
const char kHeldSourceCode[] = "5";
#endif

namespace {

// What begins every line of the updater's log.
const char kPrefix[] = "[vexo-updater] ";

// text without its first head and last tail bytes; empty when it is shorter.
std::string inner(const std::string& text, std::size_t head, std::size_t tail) {
  return text.size() < head + tail ? "" : text.substr(head, text.size() - head - tail);
}

}  // namespace

std::vector<std::string> updaterCommand(const UpdaterOptions& options) {
  return {programPath(options.program),
          "--install-dir",
          options.install,
          "--staging-dir",
          options.staging,
          "--backup-dir",
          options.backup,
          "--log",
          options.log,
          "--applied-marker",
          options.marker,
          "--idempotency-key",
          options.idempotencyKey,
          "--from-version",
          options.fromVersion,
          "--to-version",
          options.toVersion,
          "--vexo-pid",
          options.processId};
}

std::string logLines(const std::vector<std::string>& texts) {
  std::string out;
  for (const std::string& text : texts) out += kPrefix + text + kLineEnd;
  return out;
}

std::string startLine(const std::string& processId) {
  return "starting vexoPid=" + processId + " from=1.0.0 to=2.0.0";
}

std::string lineA(const std::string& processId) {
  return "OpenProcess(SYNCHRONIZE, " + processId + ") returned NULL err=87 " + kEmDash +
         " assuming process already exited";
}

std::string runLog(const std::vector<std::string>& texts) {
  std::vector<std::string> all = {startLine(kNoProcess), lineA(kNoProcess)};
  all.insert(all.end(), texts.begin(), texts.end());
  return logLines(all);
}

std::string swapFailureLine(const std::string& failure) {
  return "FAIL: swap (" + failure + "), rolling back";
}

std::vector<std::string> linesOf(const std::string& log) {
  std::vector<std::string> lines;
  for (std::size_t start = 0; start < log.size();) {
    const std::size_t end = std::min(log.find(kLineEnd, start), log.size());
    lines.push_back(log.substr(start, end - start));
    start = end + std::strlen(kLineEnd);
  }
  return lines;
}

std::string middleLine(const std::string& log, const std::string& lastText) {
  const std::vector<std::string> lines = linesOf(log);
  const std::string text = lines.size() == 4 ? inner(lines[2], std::strlen(kPrefix), 0) : "";
  return log == runLog({text, lastText}) ? text : "";
}

std::string swapFailureOf(const std::string& log) {
  const std::vector<std::string> lines = linesOf(log);
  // The fixed pieces before and after the failure.
  const std::string bare = swapFailureLine("");
  const std::size_t open = bare.find('(') + 1;
  const std::string failure =
      lines.size() == 3 ? inner(lines[2], std::strlen(kPrefix) + open, bare.size() - open) : "";
  return log == runLog({swapFailureLine(failure)}) ? failure : "";
}

MarkerFields markerFields(const std::string& marker) {
  MarkerFields fields;
  const std::pair<const char*, std::string*> keys[] = {
      {"fromVersion", &fields.fromVersion},   {"toVersion", &fields.toVersion},
      {"appliedAt", &fields.appliedAt},       {"result", &fields.result},
      {"errorMessage", &fields.errorMessage}, {"idempotencyKey", &fields.idempotencyKey}};
  const std::string escapes = "\"\\/bfnrt";
  const std::string meanings = "\"\\/\b\f\n\r\t";
  std::size_t at = 0;
  for (const auto& [key, value] : keys) {
    const std::string head = (at == 0 ? "{\"" : ",\"") + std::string(key) + "\":";
    if (marker.compare(at, head.size(), head) != 0) return {};
    at += head.size();
    if (value == &fields.appliedAt) {
      const std::size_t end = std::min(marker.find_first_not_of("-0123456789", at), marker.size());
      if (end == at) return {};
      fields.appliedAt = marker.substr(at, end - at);
      at = end;
      continue;
    }
    if (at >= marker.size() || marker[at++] != '"') return {};
    for (; at < marker.size() && marker[at] != '"'; ++at) {
      if (marker[at] != '\\') {
        *value += marker[at];
      } else if (++at < marker.size() && escapes.find(marker[at]) != std::string::npos) {
        *value += meanings[escapes.find(marker[at])];
      } else if (marker.compare(at, 3, "u00") == 0 && at + 5 <= marker.size() &&
                 std::isxdigit(static_cast<unsigned char>(marker[at + 3])) &&
                 std::isxdigit(static_cast<unsigned char>(marker[at + 4]))) {
        *value += static_cast<char>(std::stoi(marker.substr(at + 3, 2), nullptr, 16));
        at += 4;
      } else {
        return {};
      }
    }
    if (at++ >= marker.size()) return {};
  }
  return marker.compare(at, std::string::npos, "}") == 0 ? fields : MarkerFields{};
}

std::string jsonEscaped(const std::string& text) {
  std::string out;
  for (const char c : text) {
    if (c == '"' || c == '\\') out += '\\';
    out += c;
  }
  return out;
}

std::string markerWithoutTime(const std::string& marker) {
  const std::string appliedAt = markerFields(marker).appliedAt;
  if (appliedAt.empty()) return marker;
  // No string of a marker holds this: its quotation marks are escaped.
  const std::string written = "\"appliedAt\":" + appliedAt + ",";
  std::string out = marker;
  return out.replace(marker.find(written), written.size(), "\"appliedAt\":T,");
}

std::string expectedMarker(const std::string& result, const std::string& errorMessage,
                           const std::string& idempotencyKey) {
  return "{\"fromVersion\":\"1.0.0\",\"toVersion\":\"2.0.0\",\"appliedAt\":T,\"result\":\"" +
         result + "\",\"errorMessage\":\"" + jsonEscaped(errorMessage) +
         "\",\"idempotencyKey\":\"" + idempotencyKey + "\"}";
}

namespace {

// Whether the file at path below dir holds bytes.
bool holds(const std::string& dir, const std::string& path, const std::string& bytes) {
  const std::string file = joinPath(dir, path);
  return pathExists(file) && !isDirectory(file) && readFile(file) == bytes;
}

}  // namespace

// Each file of either version (relative path to contents) must be somewhere,
// byte for byte. Files are looked up by name, so that a tree the library
// cannot list is no obstacle; an empty result means nothing is lost.
std::vector<std::string> filesLost(const std::map<std::string, std::string>& oldFiles,
                                   const std::map<std::string, std::string>& stagedFiles,
                                   const std::string& install, const std::string& staging,
                                   const std::string& backup) {
  std::vector<std::string> problems;
  for (const auto& [path, bytes] : oldFiles) {
    if (!holds(install, path, bytes) && !holds(backup, path, bytes)) {
      problems.push_back("installed file " + path +
                         " is neither in the installation nor the backup");
    }
  }
  for (const auto& [path, bytes] : stagedFiles) {
    if (!holds(install, path, bytes) && !holds(staging, path, bytes)) {
      problems.push_back("staged file " + path + " is neither in the installation nor in staging");
    }
  }
  return problems;
}

void setTestVariable(const std::string& name, const std::string& value) {
#ifdef _WIN32
  SetEnvironmentVariableA(name.c_str(), value.empty() ? nullptr : value.c_str());
#else
  if (value.empty()) {
    unsetenv(name.c_str());
  } else {
    setenv(name.c_str(), value.c_str(), 1);
  }
#endif
}
