#include "support/run_support.h"

#include <cstdlib>

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
  for (const std::string& text : texts) out += "[vexo-updater] " + text + kLineEnd;
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

std::string jsonEscaped(const std::string& text) {
  std::string out;
  for (const char c : text) {
    if (c == '"' || c == '\\') out += '\\';
    out += c;
  }
  return out;
}

std::string markerWithoutTime(const std::string& marker) {
  const std::string key = "\"appliedAt\":";
  const std::size_t start = marker.find(key);
  if (start == std::string::npos) return marker;
  const std::size_t digits = start + key.size();
  const std::size_t end = marker.find(',', digits);
  if (end == std::string::npos) return marker;
  return marker.substr(0, digits) + "T" + marker.substr(end);
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
