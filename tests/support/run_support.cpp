#include "support/run_support.h"

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <iterator>
#include <sstream>
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

const Tree kOldVersion = {{"VEXO.exe", "exe 1"},
                          {"version.txt", "1.0.0"},
                          {"lib/core.dll", "core 1"},
                          {"docs/old.txt", "kept"}};
const Tree kNewVersion = {{"VEXO.exe", "exe 2"},
                          {"version.txt", "2.0.0"},
                          {"lib/core.dll", "core 2"},
                          {"lib/plugins/new.dll", "new 2"}};

Tree overlay(const Tree& installed, const Tree& staged) {
  Tree tree = installed;
  for (const auto& [path, bytes] : staged) tree[path] = bytes;
  return tree;
}

Versions makeVersions(int shared, int oldOnly, int newOnly) {
  static const char* const kFolders[] = {
      "",    "bin", "lib", "lib/plugins", "lib/plugins/codecs/video", "data", "data/maps/deep",
      "docs"};
  static const char* const kNewFolders[] = {"extras/new", "lib/plugins/codecs/audio"};
  static const char* const kExtensions[] = {".dll", ".dat", ".txt"};
  Versions versions;
  for (int i = 0; i < shared + oldOnly + newOnly; ++i) {
    const bool onlyNew = i >= shared + oldOnly;
    const std::string folder = onlyNew ? kNewFolders[i % 2] : kFolders[i % 8];
    const std::string name =
        "f" + std::string(i < 10 ? "0" : "") + std::to_string(i) + kExtensions[i % 3];
    const std::string path = folder.empty() ? name : folder + "/" + name;
    if (!onlyNew) versions.installed[path] = "1.0.0 " + path + std::string(i % 5 * 40, 'o');
    if (i < shared || onlyNew) {
      versions.staged[path] = "2.0.0 " + path + std::string(i % 7 * 30, 'n');
    }
    versions.pathOfName[name] = path;
  }
  return versions;
}

UpdateSite::UpdateSite(const std::string& installAt, const std::string& stagingAt,
                       const std::string& backupAt, Medium medium)
    : root(medium),
      install(root / installAt),
      staging(root / stagingAt),
      backup(root / backupAt),
      log(root / "app-data/updater.log"),
      marker(root / "app-data/applied-marker.json") {
  makeDirectories(root / "app-data");
}

void UpdateSite::prepare(const Tree& installed, const Tree& staged) const {
  writeTree(install, installed);
  writeTree(staging, staged);
}

UpdaterOptions UpdateSite::options() const {
  const auto arg = [](const std::string& spelled, const std::string& place) {
    return spelled.empty() ? place : spelled;
  };
  return {arg(installArg, install), arg(stagingArg, staging), arg(backupArg, backup), log, marker};
}

int UpdateSite::run() const { return runChild(command(), root.path()); }

Tree UpdateSite::everythingBut(const std::vector<std::string>& leftOut) const {
  Tree tree = snapshotTree(root.path());
  std::vector<std::string> prefixes = leftOut;
  for (const std::string& path : {log, marker}) {
    if (path.rfind(root.path() + kSep, 0) == 0) {
      prefixes.push_back(narrowOf(path.substr(root.path().size() + 1)));
    }
  }
  for (auto it = tree.begin(); it != tree.end();) {
    const bool out = std::any_of(prefixes.begin(), prefixes.end(), [&](const std::string& p) {
      return it->first == p || it->first.rfind(p + "/", 0) == 0;
    });
    it = out ? tree.erase(it) : std::next(it);
  }
  return tree;
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

namespace {

struct TraceEvent {
  std::string kind;
  std::string path;
  std::string target;
  bool writeThrough = false;
};

std::vector<TraceEvent> parseTrace(const std::string& text) {
  std::vector<TraceEvent> events;
  std::istringstream lines(text);
  for (std::string line; std::getline(lines, line);) {
    std::vector<std::string> fields;
    std::istringstream parts(line);
    for (std::string field; std::getline(parts, field, '\t');) fields.push_back(field);
    if (fields.size() < 2) continue;
    TraceEvent event;
    event.kind = fields[0];
    event.path = fields[1];
    if (fields.size() > 2) event.target = fields[2];
    event.writeThrough = fields.size() > 3 && fields[3] == "write-through";
    events.push_back(event);
  }
  return events;
}

// A path as the trace and the tests can both spell it: without separators at
// its end, and on Windows in one case with one separator.
std::string comparable(std::string path) {
#ifdef _WIN32
  std::replace(path.begin(), path.end(), '/', '\\');
  std::transform(path.begin(), path.end(), path.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
#endif
  return withoutTrailingSeparator(path);
}

std::string folderOf(const std::string& path) {
  const std::string whole = comparable(path);
  return whole.substr(0, whole.rfind(kSep));
}

bool isBelow(const std::string& path, const std::string& folder) {
  return comparable(path).rfind(comparable(folder) + kSep, 0) == 0;
}

}  // namespace

std::vector<std::string> durabilityFaults(const std::string& trace, const UpdaterOptions& options) {
  const std::vector<TraceEvent> events = parseTrace(trace);
  const std::string journal = comparable(options.backup) + ".pending";
  const auto is = [&](std::size_t i, const char* kind, const std::string& path) {
    return events[i].kind == kind && comparable(events[i].path) == comparable(path);
  };
  // The first event in [from, to) that matches, or to.
  const auto find = [&](std::size_t from, std::size_t to, auto matches) {
    for (std::size_t i = from; i < to; ++i) {
      if (matches(i)) return i;
    }
    return to;
  };
  const std::size_t end = events.size();
  const std::size_t journalEnd =
      find(0, end, [&](std::size_t i) { return events[i].kind == "end-journal"; });
  const std::size_t firstMove =
      find(0, end, [&](std::size_t i) { return events[i].kind == "move"; });
  const std::size_t firstJournalFlush =
      find(0, end, [&](std::size_t i) { return is(i, "flush", journal); });
  std::vector<std::string> faults;

  // A new backup: every copy on the disk before the journal vouches for it,
  // and the journal with its folder's entry before the first move.
  const bool backedUp = find(0, end, [&](std::size_t i) { return events[i].kind == "copy"; }) < end;
  if (backedUp && firstMove < end) {
    if (firstJournalFlush > firstMove)
      faults.push_back("files moved before the journal was flushed");
    const std::size_t folderFlush = find(firstJournalFlush, firstMove, [&](std::size_t i) {
      return is(i, "flush", folderOf(journal));
    });
    if (folderFlush == firstMove)
      faults.push_back("the journal's folder was not flushed before the first move");
  }
  if (backedUp) {
    std::size_t lastCopy = 0;
    for (std::size_t i = 0; i < firstJournalFlush && i < end; ++i) {
      if (events[i].kind == "copy") lastCopy = i;
    }
    const bool synced = find(lastCopy, firstJournalFlush, [&](std::size_t i) {
                          return is(i, "syncfs", options.backup);
                        }) < firstJournalFlush;
    for (std::size_t i = 0; !synced && i < firstJournalFlush && i < end; ++i) {
      if (events[i].kind != "copy") continue;
      if (find(i, firstJournalFlush, [&](std::size_t k) {
            return is(k, "flush", events[i].target);
          }) == firstJournalFlush) {
        faults.push_back("the backup's " + events[i].target +
                         " was not on the disk before the journal");
      }
    }
  }

  // The undo begins with a file leaving the installation (a copy's own
  // temporary name aside); the journal must say so on the disk before, when
  // this run moved files in first.
  const std::size_t undo = find(0, end, [&](std::size_t i) {
    return (events[i].kind == "move" || events[i].kind == "remove") &&
           isBelow(events[i].path, options.install) &&
           events[i].path.find(".vexo-") == std::string::npos;
  });
  if (undo < end && firstMove < undo) {
    std::size_t lastMoveIn = firstMove;
    for (std::size_t i = firstMove; i < undo; ++i) {
      if (events[i].kind == "move") lastMoveIn = i;
    }
    if (find(lastMoveIn, undo, [&](std::size_t i) { return is(i, "flush", journal); }) == undo) {
      faults.push_back("the undo began before the journal said so on the disk");
    }
  }

  for (std::size_t i = 0; i < end; ++i) {
    if (events[i].kind != "move") continue;
    const std::string& target = events[i].target;
#ifdef _WIN32
    if (!events[i].writeThrough)
      faults.push_back("the move to " + target + " was not write-through");
#endif
    // Across file systems the copy comes in under a name of its own; its
    // source may go only once the copy's name is on the disk.
    if (events[i].path.find(".vexo-") != std::string::npos) {
      const std::size_t removal =
          find(i, end, [&](std::size_t k) { return events[k].kind == "remove"; });
      if (find(i, removal, [&](std::size_t k) { return is(k, "flush", folderOf(target)); }) ==
          removal) {
        faults.push_back("the source of the copy " + target +
                         " went before the copy was on the disk");
      }
    }
    if (i < journalEnd && journalEnd < end && find(i, journalEnd, [&](std::size_t k) {
                                                return is(k, "flush", folderOf(target));
                                              }) == journalEnd) {
      faults.push_back("the move to " + target + " was not on the disk before the journal went");
    }
  }

  if (journalEnd < end) {
    std::size_t marker = end;
    for (std::size_t i = 0; i < journalEnd; ++i) {
      if (is(i, "marker", options.marker)) marker = i;
    }
    if (marker == end || find(marker, journalEnd, [&](std::size_t i) {
                           return is(i, "flush", options.marker);
                         }) == journalEnd) {
      faults.push_back("the marker was not on the disk before the journal went");
    }
  }
  return faults;
}

void killBeforeCall(std::size_t n) { setTestVariable("VEXO_TEST_KILL_AT", std::to_string(n)); }

void refuseMoveFrom(const std::string& folder, std::size_t n, const std::string& code) {
  setTestVariable("VEXO_TEST_FAIL_MOVE_FROM", joinPath(folder, ""));
  setTestVariable("VEXO_TEST_FAIL_MOVE_AT", std::to_string(n));
  setTestVariable("VEXO_TEST_FAIL_MOVE_CODE", code);
}

void clearTestInstructions() {
  for (const char* variable :
       {"VEXO_TEST_KILL_AT", "VEXO_TEST_FAIL_MOVE_FROM", "VEXO_TEST_FAIL_MOVE_AT",
        "VEXO_TEST_FAIL_MOVE_CODE", "VEXO_TEST_FAIL_LOOKUP", "VEXO_TEST_FAIL_LOOKUP_WHILE",
        "VEXO_TEST_FAIL_LOOKUP_ONLY", "VEXO_TEST_KILL_BEFORE", "VEXO_TEST_PAUSE_AT",
        "VEXO_TEST_PAUSE_FILE", "VEXO_TEST_TRACE", "VEXO_TEST_WAIT_FAILS",
        "VEXO_TEST_RECORD_RELAUNCH"}) {
    setTestVariable(variable, "");
  }
}

Child startPaused(const std::vector<std::string>& argv, std::size_t pauseAt,
                  const std::string& pauseFile, const std::string& workDir) {
  setTestVariable("VEXO_TEST_PAUSE_FILE", pauseFile);
  setTestVariable("VEXO_TEST_PAUSE_AT", std::to_string(pauseAt));
  Child child = startChild(argv, workDir);
  setTestVariable("VEXO_TEST_PAUSE_FILE", "");
  setTestVariable("VEXO_TEST_PAUSE_AT", "");
  waitForFile(pauseFile);
  return child;
}

void endPause(const std::string& pauseFile) {
  for (int tries = 0; tries < 1000 && pathExists(pauseFile); ++tries) {
    std::error_code ignored;
    std::filesystem::remove(pauseFile, ignored);
    if (pathExists(pauseFile)) sleepMs(10);
  }
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
