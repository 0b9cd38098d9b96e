#include "host/host_kit.h"

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "host/host_kit_os.h"
#include "treeops/update_journal.h"

namespace {

// A marker the updater writes holds a few hundred bytes and, at most, texts
// with a few paths in them; anything near this size is not one.
constexpr std::size_t kLargestMarker = 1 << 20;

template <class Char>
bool needsQuotes(const std::basic_string<Char>& arg) {
  if (arg.empty()) return true;
  for (const Char c : arg) {
    if (c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '"') return true;
  }
  return false;
}

// Quotes one argument after the program name by the rules that
// CommandLineToArgvW and the C runtime share: inside quotes, backslashes are
// literal unless a quotation mark follows them, so those before an embedded
// quotation mark and those before the closing one are doubled.
template <class Char>
void appendArgument(std::basic_string<Char>* out, const std::basic_string<Char>& arg) {
  if (!needsQuotes(arg)) {
    *out += arg;
    return;
  }
  *out += Char('"');
  std::size_t backslashes = 0;
  for (const Char c : arg) {
    if (c == '\\') {
      ++backslashes;
      continue;
    }
    out->append(c == '"' ? backslashes * 2 + 1 : backslashes, Char('\\'));
    *out += c;
    backslashes = 0;
  }
  out->append(backslashes * 2, Char('\\'));
  *out += Char('"');
}

template <class Char>
std::basic_string<Char> commandLineOf(const std::vector<std::basic_string<Char>>& argv) {
  std::basic_string<Char> line;
  for (std::size_t i = 0; i < argv.size(); ++i) {
    if (i == 0) {
      // The program name is read up to the next quotation mark, without
      // escapes; a file name cannot hold one.
      line += Char('"');
      line += argv[0];
      line += Char('"');
      continue;
    }
    line += Char(' ');
    appendArgument(&line, argv[i]);
  }
  return line;
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

namespace {

// Makes every path of the request absolute and fills in the defaults of the
// missing members whose data folder or installation is given. Returns an
// empty string, or why a path cannot be made absolute.
std::string fillDefaults(UpdateRequest* request) {
  // The updater runs in the run directory, where a relative path would
  // name another place than the host meant; so every path is made absolute
  // against the host's working directory before anything is checked.
  for (std::string* path :
       {&request->installDir, &request->stagingDir, &request->dataDir, &request->updaterPath,
        &request->runDir, &request->backupDir, &request->logPath, &request->markerPath}) {
    const std::string error = makeAbsolute(path);
    if (!error.empty()) return error;
  }
  const auto fill = [](std::string* member, const std::string& folder, const char* name) {
    if (!member->empty() || folder.empty()) return;
    *member = name[0] != '\0' ? pathInFolder(folder, name) : folder;
  };
  fill(&request->updaterPath, request->installDir, kUpdaterName);
  fill(&request->runDir, request->dataDir, "");
  fill(&request->backupDir, request->dataDir, "backup");
  fill(&request->logPath, request->dataDir, "updater.log");
  fill(&request->markerPath, request->dataDir, "applied-marker.json");
  if (request->processId == 0) request->processId = currentProcessId();
  return "";
}

}  // namespace

std::string completeRequest(UpdateRequest* request) {
  const struct {
    const char* name;
    const std::string& value;
  } required[] = {{"install_dir", request->installDir},
                  {"staging_dir", request->stagingDir},
                  {"data_dir", request->dataDir},
                  {"idempotency_key", request->idempotencyKey}};
  for (const auto& member : required) {
    if (member.value.empty()) return std::string(member.name) + " is missing";
  }
  const std::string error = fillDefaults(request);
  if (!error.empty()) return error;

  // The updater replaces the installation's files and deletes the staging
  // directory and the backup's contents. Its own executable there could not
  // be replaced while it runs (so every update that carries a new updater,
  // and every rollback, would stop at it on Windows), and a log or marker
  // there would be overwritten or lost with the tree.
  const struct {
    const char* what;
    const std::string& path;
  } kept[] = {{"run directory", request->runDir},
              {"log", request->logPath},
              {"marker", request->markerPath}};
  const struct {
    const char* what;
    const std::string& folder;
  } replaced[] = {{"installation", request->installDir},
                  {"staging directory", request->stagingDir},
                  {"backup directory", request->backupDir}};
  for (const auto& place : kept) {
    for (const auto& tree : replaced) {
      if (liesWithin(place.path, tree.folder)) {
        return std::string("the ") + place.what + " " + place.path + " lies inside the " +
               tree.what + " " + tree.folder + "; it must lie outside";
      }
    }
  }
  return "";
}

std::vector<std::string> updaterCommand(const UpdateRequest& request) {
  return {pathInFolder(request.runDir, kUpdaterName),
          "--install-dir",
          request.installDir,
          "--staging-dir",
          request.stagingDir,
          "--backup-dir",
          request.backupDir,
          "--log",
          request.logPath,
          "--applied-marker",
          request.markerPath,
          "--idempotency-key",
          request.idempotencyKey,
          "--from-version",
          request.fromVersion,
          "--to-version",
          request.toVersion,
          "--vexo-pid",
          std::to_string(request.processId)};
}

std::string startUpdate(UpdateRequest request) {
  std::string error = checkUpdate(&request);
  if (!error.empty()) return error;
  const auto notStarted = [](const std::string& detail) {
    return "The updater could not be started; nothing was changed. (" + detail + ")";
  };
  // The updater creates neither the log's nor the marker's folder, and
  // without the marker the outcome would be lost.
  for (const std::string& folder :
       {request.runDir, parentFolder(request.logPath), parentFolder(request.markerPath)}) {
    if (!folder.empty() && !(error = createFolders(folder)).empty()) return notStarted(error);
  }
  const std::vector<std::string> command = updaterCommand(request);
  // A host may name the copy itself as the updater; it is then run as it is.
  if (!liesWithin(request.updaterPath, command[0])) {
    error = copyExecutable(request.updaterPath, command[0]);
    if (!error.empty()) return notStarted(error);
  }
  error = startDetached(command, request.runDir);
  return error.empty() ? "" : notStarted(error);
}

std::string windowsCommandLine(const std::vector<std::string>& argv) { return commandLineOf(argv); }

std::wstring windowsCommandLine(const std::vector<std::wstring>& argv) {
  return commandLineOf(argv);
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

Outcome outcomeOf(const std::string& markerPath, const std::string& bytes,
                  const std::string& idempotencyKey) {
  Outcome outcome;
  const std::string none = "no marker for this request: ";
  MarkerRecord record;
  long long appliedAt = 0;
  if (bytes.empty()) {
    // The updater truncates the file before it writes; a full disk leaves it so.
    outcome.text = none + markerPath + " is empty";
  } else if (!parseAppliedMarker(bytes, &record, &appliedAt)) {
    outcome.text = none + markerPath + " is cut short or not written by the updater";
  } else if (record.idempotencyKey != idempotencyKey) {
    outcome.text =
        none + markerPath + " is for the request with key \"" + record.idempotencyKey + "\"";
  } else {
    outcome.result = record.result == "success"    ? OutcomeResult::kSuccess
                     : record.result == "rollback" ? OutcomeResult::kRollback
                                                   : OutcomeResult::kError;
    outcome.installationMixed = record.errorMessage.rfind("rollback failed: ", 0) == 0;
    outcome.appliedAt = appliedAt;
    outcome.text = record.errorMessage;
    outcome.fromVersion = record.fromVersion;
    outcome.toVersion = record.toVersion;
  }
  return outcome;
}

Outcome readOutcome(const std::string& markerPath, const std::string& idempotencyKey) {
  const auto unreadable = [&](int error) {
    Outcome outcome;
    outcome.text =
        "no marker for this request: cannot read " + markerPath + ": " + std::strerror(error);
    return outcome;
  };
  // The C runtime opens narrow paths in the ANSI code page, as the updater's
  // writer does.
  std::FILE* file = std::fopen(markerPath.c_str(), "rb");
  if (file == nullptr) return unreadable(errno);
  std::string bytes;
  char buffer[4096];
  std::size_t count = 0;
  while (bytes.size() <= kLargestMarker &&
         (count = std::fread(buffer, 1, sizeof buffer, file)) > 0) {
    bytes.append(buffer, count);
  }
  // A folder at the path opens natively, and fails here.
  const int error = std::ferror(file) != 0 ? errno : 0;
  std::fclose(file);
  if (error != 0) return unreadable(error);
  return outcomeOf(markerPath, bytes, idempotencyKey);
}

Outcome readUpdateOutcome(UpdateRequest request) {
  Outcome outcome;
  const std::string none = "no marker for this request: ";
  if (request.idempotencyKey.empty()) {
    outcome.text = none + "idempotency_key is missing";
    return outcome;
  }
  std::string error = fillDefaults(&request);
  if (error.empty() && (request.markerPath.empty() || request.backupDir.empty())) {
    error = "data_dir is missing";
  }
  if (!error.empty()) {
    outcome.text = none + error;
    return outcome;
  }
  outcome = readOutcome(request.markerPath, request.idempotencyKey);
  // The updater refuses to replace the backup while an interrupted update's
  // journal lies beside it (its marker then says only "backup failed"): that
  // update has not finished, and the installation may hold both versions.
  if (outcome.result == OutcomeResult::kError) {
    // Only while that update is not over: a journal whose files are all in
    // (a power cut after the marker) leaves one whole version behind.
    const UpdateJournal journal = readUpdateJournal(request.backupDir);
    if (journal.state == JournalState::kMovingIn || journal.state == JournalState::kRollingBack) {
      outcome.installationMixed =
          decideOnJournal(request.backupDir, journal.installDir, journal.stagingDir).mixed;
    }
  }
  return outcome;
}
