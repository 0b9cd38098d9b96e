// The host library: the command line it builds comes back exactly through
// CommandLineToArgvW, the C runtime and the updater's own option parsing; an
// updater it starts receives every value unchanged; its requests are refused
// where the updater would run or write inside a tree it replaces; and its
// marker reader tells every outcome, and no outcome for anything else.
#include "host/host_kit.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>
#include <sstream>
#include <string>
#include <vector>

#include "app/options.h"
#include "host/vexo_host.h"
#include "os/command_line.h"
#include "os/process.h"
#include "report/marker_record.h"
#include "support/run_support.h"
#include "support/test_support.h"
#include "treeops/update_journal.h"

#ifdef _WIN32
#include <windows.h>
// After windows.h, whose types it uses.
#include <shellapi.h>
#else
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace {

struct Value {
  const char* label;
  std::string bytes;
  std::string quoted;  // as one argument of windowsCommandLine
};

// Values that a hand-made command line gets wrong. The non-ASCII ones are
// valid in the code page the test runs in: under code page 932 (a Japanese
// locale under Wine) "\x83\x5C" is one character whose second byte is a
// backslash, which quoting byte by byte would double.
std::vector<Value> hazardousValues() {
  std::vector<Value> values = {
      {"blank", "C:\\My App", "\"C:\\My App\""},
      {"blank and trailing backslash", "C:\\My App\\", "\"C:\\My App\\\\\""},
      {"trailing backslashes, no blank", "C:\\Dir\\\\", "C:\\Dir\\\\"},
      {"embedded quotes", "1.0 \"beta\"", "\"1.0 \\\"beta\\\"\""},
      {"empty", "", "\"\""},
      {"backslash before a quote", "a\\\"b", "\"a\\\\\\\"b\""},
      {"starts with --", "--install-dir", "--install-dir"},
      {"tab", "a\tb", "\"a\tb\""},
  };
#ifdef _WIN32
  if (GetACP() == 932) {
    values.push_back({"double-byte character ending in 0x5C", "a \x83\x5C", "\"a \x83\x5C\x5C\""});
    return values;
  }
#endif
  values.push_back({"bytes from 0x80 up", "caf\xE9 \x81\xFF", "\"caf\xE9 \x81\xFF\""});
  return values;
}

#ifdef _WIN32
std::wstring wide(const std::string& narrow) {
  std::wstring out(narrow.size(), L'\0');
  const int length =
      MultiByteToWideChar(CP_ACP, MB_ERR_INVALID_CHARS, narrow.data(),
                          static_cast<int>(narrow.size()), &out[0], static_cast<int>(out.size()));
  out.resize(static_cast<std::size_t>(length > 0 ? length : 0));
  return out;
}

std::string narrow(const std::wstring& text) {
  std::string out(text.size() * 2, '\0');
  const int length = WideCharToMultiByte(CP_ACP, 0, text.data(), static_cast<int>(text.size()),
                                         &out[0], static_cast<int>(out.size()), nullptr, nullptr);
  out.resize(static_cast<std::size_t>(length > 0 ? length : 0));
  return out;
}
#endif

#ifdef _WIN32
// The path with every name the system can shorten in its 8.3 form.
std::string shortName(const std::string& path) {
  wchar_t buffer[MAX_PATH];
  const DWORD length = GetShortPathNameW(wide(path).c_str(), buffer, MAX_PATH);
  const std::string shortened =
      length > 0 && length < MAX_PATH ? narrow(std::wstring(buffer, length)) : path;
  EXPECT_NE(shortened, path) << "no short name";
  return shortened;
}
#endif

const std::string kProgram = "C:\\Program Files\\VEXO Data\\vexo-updater.exe";

}  // namespace

TEST(HostKit, QuotesEveryValueSoThatItComesBackExactly) {
  for (const Value& value : hazardousValues()) {
    SCOPED_TRACE(value.label);
    const std::vector<std::string> argv = {kProgram, "--to-version", value.bytes, "--vexo-pid",
                                           "42"};
    EXPECT_EQ(windowsCommandLine(argv),
              "\"" + kProgram + "\" --to-version " + value.quoted + " --vexo-pid 42");
#ifdef _WIN32
    // What the updater's C runtime gives it: the line split by the system's
    // rules, each argument in the code page, then its own option parsing. A
    // value split in two would shift --vexo-pid off its pair.
    std::vector<std::wstring> wideArgv;
    for (const std::string& arg : argv) wideArgv.push_back(wide(arg));
    int count = 0;
    LPWSTR* split = CommandLineToArgvW(windowsCommandLine(wideArgv).c_str(), &count);
    ASSERT_NE(split, nullptr);
    std::vector<std::string> back;
    for (int i = 0; i < count; ++i) back.push_back(narrow(split[i]));
    LocalFree(split);
    EXPECT_EQ(back, argv);
    std::vector<const char*> pointers;
    for (const std::string& arg : back) pointers.push_back(arg.c_str());
    OptionMap options = parseOptions(static_cast<int>(pointers.size()), pointers.data());
    EXPECT_EQ(options["to-version"], value.bytes);
    EXPECT_EQ(options["vexo-pid"], "42");
#endif
  }
}

// Through the C interface, as a host calls it: each start carries three of
// the values as versions and key, from an installation and a data folder
// whose names hold blanks and end in a separator; the marker gives them back.
TEST(HostKit, StartedUpdaterReceivesEveryValueUnchanged) {
  std::vector<Value> values = hazardousValues();
  TempDir root;
  struct Start {
    std::string marker;
    std::string key;
    std::string from;
    std::string to;
  };
  std::vector<Start> starts;
  for (std::size_t i = 0; i < values.size(); i += 3) {
    const std::string folder = root / ("run " + std::to_string(i));
    const std::string install = joinPath(folder, "my app") + kSep;
    const std::string staging = joinPath(folder, "new version");
    const std::string data = joinPath(folder, "my data") + kSep;
    const std::string updater = programPath("vexo-updater");
    writeFile(joinPath(install, "version.txt"), "1");
    writeFile(joinPath(staging, "version.txt"), "2");
    Start start{joinPath(folder, "my data/applied-marker.json"), "k" + values[i + 2].bytes,
                values[i].bytes, values[i + 1].bytes};
    vexo_update_request request{};
    request.install_dir = install.c_str();
    request.staging_dir = staging.c_str();
    request.data_dir = data.c_str();
    request.idempotency_key = start.key.c_str();
    request.from_version = start.from.c_str();
    request.to_version = start.to.c_str();
    request.updater_path = updater.c_str();
    request.process_id = 4000000000u;  // names no process: the updater goes on at once
    char error[512] = "";
    ASSERT_EQ(vexo_start_update(&request, error, sizeof error), 0) << error;
    starts.push_back(start);
  }
  for (const Start& start : starts) {
    SCOPED_TRACE(start.key);
    Outcome outcome;
    for (int i = 0; i < 300 && outcome.result == OutcomeResult::kNone; ++i) {
      sleepMs(50);
      outcome = readOutcome(start.marker, start.key);
    }
    EXPECT_EQ(outcome.result, OutcomeResult::kSuccess) << outcome.text;
    EXPECT_EQ(outcome.fromVersion, start.from);
    EXPECT_EQ(outcome.toVersion, start.to);
  }
  // Let the last updater finish its log before the folders go.
  sleepMs(300);
}

// The request's defaults as the updater sees them. Faults caught: a process
// id left at 0 passed on as 0 (POSIX: no process; the updater would not wait
// for its host) instead of the caller's own; the marker's or the log's
// folder not made (the updater makes neither: the outcome would be lost);
// natively, the updater started without a session of its own
// (POSIX_SPAWN_SETSID left out), so that closing the host's terminal would
// stop it half-way.
TEST(HostKit, StartedUpdaterWaitsForItsCallerInASessionOfItsOwnAndReportsInNewFolders) {
  TempDir root;
  const std::string install = root / "app";
  const std::string staging = root / "staging";
  const std::string data = root / "data";
  const std::string marker = root / "reports/new/m.json";
  const std::string log = root / "logs/new/u.log";
  const std::string updater = programPath("vexo-updater-test");
  writeFile(joinPath(install, "version.txt"), "1");
  writeFile(joinPath(staging, "version.txt"), "2");
  vexo_update_request request{};
  request.install_dir = install.c_str();
  request.staging_dir = staging.c_str();
  request.data_dir = data.c_str();
  request.idempotency_key = "k";
  request.from_version = "1.0.0";
  request.to_version = "2.0.0";
  request.updater_path = updater.c_str();
  request.marker_path = marker.c_str();
  request.log_path = log.c_str();
  char error[512] = "";
  ASSERT_EQ(vexo_start_update(&request, error, sizeof error), 0) << error;
#ifndef _WIN32
  // Seen while it waits for this process, at most a second in the test build.
  const std::string copy = joinPath(data, "vexo-updater");
  std::string stat;
  for (int i = 0; i < 1000 && stat.empty() && !pathExists(marker); ++i) {
    for (const auto& entry : std::filesystem::directory_iterator("/proc")) {
      std::error_code ec;
      if (std::filesystem::read_symlink(entry.path() / "exe", ec) == copy) {
        stat = readFile((entry.path() / "stat").string());
      }
    }
    if (stat.empty()) sleepMs(2);
  }
  ASSERT_NE(stat, "") << "the updater was not seen running";
  // After the name in parentheses: state, parent, process group, session.
  std::istringstream fields(stat.substr(stat.rfind(')') + 1));
  std::string state;
  long parent = 0, group = 0, session = 0;
  fields >> state >> parent >> group >> session;
  EXPECT_NE(session, static_cast<long>(getsid(0)));
  EXPECT_EQ(session, group);
#endif
  Outcome outcome;
  for (int i = 0; i < 300 && outcome.result == OutcomeResult::kNone; ++i) {
    sleepMs(50);
    outcome = readOutcome(marker, "k");
  }
  EXPECT_EQ(outcome.result, OutcomeResult::kError) << outcome.text;
  EXPECT_EQ(outcome.text, "VEXO.exe did not exit in 30s");
  sleepMs(200);
  EXPECT_EQ(linesOf(readFile(log)).at(0),
            "[vexo-updater] " + startLine(std::to_string(currentProcessId())));
}

// A copy of the updater in the run directory that is still running is an
// update in progress: the library leaves it, and starts nothing.
TEST(HostKit, NeverReplacesACopyOfTheUpdaterThatIsRunning) {
  TempDir root;
  const std::string data = root / "data";
  const std::string copy = joinPath(data, std::string("vexo-updater") + kExeSuffix);
  writeFile(copy, readFile(programPath("vexo-test-helper")));
#ifndef _WIN32
  chmod(copy.c_str(), 0755);
#endif
  Child running = startChild({copy, "sleep", "20000"});
  sleepMs(200);
  UpdateRequest request;
  request.installDir = root / "app";
  request.stagingDir = root / "staging";
  request.dataDir = data;
  request.idempotencyKey = "k";
  request.updaterPath = programPath("vexo-updater-test");
  request.processId = 4000000000u;
  makeDirectories(root / "app");
  writeFile(root / "staging/version.txt", "2");
  const std::string error = startUpdate(request);
  killChild(running);
  waitChild(running);
  EXPECT_NE(error, "");
  EXPECT_EQ(readFile(copy), readFile(programPath("vexo-test-helper")));
  EXPECT_FALSE(pathExists(joinPath(data, "applied-marker.json")));
}

TEST(HostKit, RefusesToRunOrWriteInsideATreeTheUpdaterReplaces) {
  // On a disk: Wine gives no short names below /dev.
  TempDir root(Medium::kDisk);
  const std::string install = root / "app";
  const std::string staging = root / "staging";
  const std::string data = root / "app-data";
  makeDirectories(install);
  makeDirectories(data);
  // A second name for the installation that no comparison of names sees
  // through: a junction on Windows (under Wine, a Unix link), a link natively.
  ASSERT_TRUE(makeDirectoryLink(install, root / "app-link"));
  struct Case {
    const char* label;
    std::filesystem::path UpdateRequest::*member;
    std::string value;
    std::string refusal;  // the start of the error, or "" when accepted
  };
  // Relative paths are the host's, read against its working directory: the
  // rows below name the same places as the absolute ones.
  const std::filesystem::path workingDir = std::filesystem::current_path();
  std::filesystem::current_path(root.path());
  const std::vector<Case> cases = {
      {"a sibling whose name starts with the installation's", &UpdateRequest::dataDir, data, ""},
      {"relative installation", &UpdateRequest::installDir, "app", ""},
      {"relative staging directory", &UpdateRequest::stagingDir, "staging", ""},
      {"relative data folder", &UpdateRequest::dataDir, "app-data", ""},
      {"relative run directory", &UpdateRequest::runDir, "app-data", ""},
      {"relative backup directory", &UpdateRequest::backupDir, joinPath("app-data", "backup"), ""},
      {"relative log", &UpdateRequest::logPath, joinPath("app-data", "updater.log"), ""},
      {"relative marker", &UpdateRequest::markerPath, joinPath("app-data", "applied-marker.json"),
       ""},
      {"relative run directory inside the installation", &UpdateRequest::runDir,
       joinPath("app", "bin"), "the run directory " + (root / "app/bin") + " lies inside"},
      {"run directory below a link to the installation", &UpdateRequest::runDir,
       root / "app-link/data", "the run directory "},
      {"no installation", &UpdateRequest::installDir, "", "install_dir is missing"},
      // Fault caught: data_dir left out of the required members; the request
      // would then be refused only by the failure to make an empty path
      // absolute, in words that do not say what the host left out.
      {"no data folder", &UpdateRequest::dataDir, "", "data_dir is missing"},
      {"data folder inside the installation", &UpdateRequest::dataDir, root / "app/data",
       "the run directory " + (root / "app/data") + " lies inside the installation "},
      {"run directory is the installation, with a trailing separator", &UpdateRequest::runDir,
       install + kSep, "the run directory "},
      {"run directory is the installation through ..", &UpdateRequest::runDir,
       root / "staging/../app", "the run directory "},
      {"run directory inside staging", &UpdateRequest::runDir, root / "staging/bin",
       "the run directory "},
      {"log inside staging", &UpdateRequest::logPath, root / "staging/u.log", "the log "},
      {"marker inside the backup", &UpdateRequest::markerPath, root / "app-data/backup/m.json",
       "the marker "},
      {"no key", nullptr, "no key", "idempotency_key is missing"},
#ifdef _WIN32
      {"run directory is the installation in other letter case", &UpdateRequest::runDir,
       root / "APP", "the run directory "},
      {"run directory is the installation by a short name", &UpdateRequest::runDir,
       joinPath(shortName(root.path()), "app"), "the run directory "},
      {"marker inside the backup not made yet, through the data folder's short name",
       &UpdateRequest::markerPath, joinPath(shortName(data), "backup/m.json"), "the marker "},
#endif
  };
  for (Case c : cases) {
    SCOPED_TRACE(c.label);
    UpdateRequest request;
    request.installDir = install;
    request.stagingDir = staging;
    request.dataDir = data;
    request.idempotencyKey = c.value == "no key" ? "" : "k";
    request.fromVersion = "1.0.0";
    request.toVersion = "2.0.0";
    request.processId = 42;
    if (c.member != nullptr) request.*c.member = c.value;
    const std::string error = completeRequest(&request);
    if (c.refusal.empty()) {
      EXPECT_EQ(error, "");
      EXPECT_EQ(updaterCommand(request),
                (std::vector<std::string>{
                    joinPath(data, std::string("vexo-updater") + kExeSuffix), "--install-dir",
                    install, "--staging-dir", staging, "--backup-dir", joinPath(data, "backup"),
                    "--log", joinPath(data, "updater.log"), "--applied-marker",
                    joinPath(data, "applied-marker.json"), "--idempotency-key", "k",
                    "--from-version", "1.0.0", "--to-version", "2.0.0", "--vexo-pid", "42"}));
    } else {
      EXPECT_EQ(error.rfind(c.refusal, 0), 0u) << error;
    }
  }
  std::filesystem::current_path(workingDir);
  // The C interface reports through the caller's buffer, cut short and
  // always terminated, and starts nothing.
  vexo_update_request request{};
  char error[8];
  EXPECT_EQ(vexo_start_update(&request, error, sizeof error), -1);
  EXPECT_STREQ(error, "The app");
  EXPECT_EQ(vexo_start_update(nullptr, nullptr, 0), -1);
}

TEST(HostKit, ReadsEveryOutcomeAndNoOutcomeForAnythingElse) {
  const auto marker = [](const std::string& result, const std::string& errorMessage,
                         const std::string& key = "k") {
    return formatAppliedMarker(MarkerRecord{"1.0.0", "2.0.0", result, errorMessage, key},
                               1700000000);
  };
  const std::string pathText = "swap exception: cannot copy \"C:\\A\\caf\xE9\"\r\n\x01\x1f\x81";
  // The marker with one piece of the marker for "X" replaced.
  const auto altered = [&](const std::string& from, const std::string& to) {
    std::string bytes = marker("error", "X");
    return bytes.replace(bytes.find(from), from.size(), to);
  };
  const std::string valid = "{\"fromVersion\":\"1\",\"toVersion\":\"2\",\"appliedAt\":";
  const std::string validEnd =
      ",\"result\":\"success\",\"errorMessage\":\"\",\"idempotencyKey\":\"k\"}";
  struct Case {
    const char* label;
    std::string bytes;
    int result;
    int mixed;
    std::string text;  // the text's start for VEXO_NO_OUTCOME, else all of it
    // The backup directory, below the marker's folder, beside which an
    // interrupted update's journal lies; and whether the request names it
    // (else it is the default, "backup" in the data folder).
    const char* journalBeside = nullptr;
    bool backupGiven = false;
    // The journal's update moved every file in: it is over, whatever the
    // marker says.
    bool finished = false;
  };
  const std::vector<Case> cases = {
      {"success", marker("success", ""), VEXO_SUCCESS, 0, ""},
      {"rollback", marker("rollback", "MoveFileEx(core.dll) err=32 (file locked)"), VEXO_ROLLBACK,
       0, "MoveFileEx(core.dll) err=32 (file locked)"},
      {"rollback with escapes and bytes from 0x80 up", marker("rollback", pathText), VEXO_ROLLBACK,
       0, pathText},
      {"wait failed", marker("error", "VEXO.exe did not exit in 30s"), VEXO_ERROR, 0,
       "VEXO.exe did not exit in 30s"},
      {"backup failed", marker("error", "backup failed"), VEXO_ERROR, 0, "backup failed"},
      {"rollback failed", marker("error", "rollback failed: MoveFileEx(a.dll) err=5"), VEXO_ERROR,
       1, "rollback failed: MoveFileEx(a.dll) err=5"},
      {"smallest time stamp", valid + "-9223372036854775808" + validEnd, VEXO_SUCCESS, 0, ""},
      {"another request's", marker("success", "", "k2"), VEXO_NO_OUTCOME, 0,
       "no marker for this request: "},
      {"empty", "", VEXO_NO_OUTCOME, 0, "no marker for this request: "},
      {"cut short", marker("success", "").substr(0, 60), VEXO_NO_OUTCOME, 0,
       "no marker for this request: "},
      {"unknown result", marker("done", ""), VEXO_NO_OUTCOME, 0, "no marker"},
      {"line break after it", marker("success", "") + "\n", VEXO_NO_OUTCOME, 0, "no marker"},
      {"a blank after a colon", valid + " 1" + validEnd, VEXO_NO_OUTCOME, 0, "no marker"},
      {"leading zero", valid + "01" + validEnd, VEXO_NO_OUTCOME, 0, "no marker"},
      {"time stamp beyond 64 bits", valid + "9223372036854775808" + validEnd, VEXO_NO_OUTCOME, 0,
       "no marker"},
      {"an escape the writer never makes", altered("X", "\\u0041"), VEXO_NO_OUTCOME, 0,
       "no marker"},
      {"a NUL the writer escapes as \\u0000 (the C text ends there)",
       marker("rollback", std::string("a\0b", 3)), VEXO_ROLLBACK, 0, "a"},
      {"a raw control byte", altered("X", "\x01"), VEXO_NO_OUTCOME, 0, "no marker"},
      {"keys in another order", altered("\"result\"", "\"status\""), VEXO_NO_OUTCOME, 0,
       "no marker"},
      {"backup refused: an interrupted update's journal beside the default backup",
       marker("error", "backup failed"), VEXO_ERROR, 1, "backup failed", "backup"},
      {"backup refused: an interrupted update's journal beside the backup the request names",
       marker("error", "backup failed"), VEXO_ERROR, 1, "backup failed", "old/backup", true},
      {"success, with the journal a power cut after the marker left", marker("success", ""),
       VEXO_SUCCESS, 0, "", "backup"},
      {"backup refused beside the journal of an update that moved every file in",
       marker("error", "backup failed"), VEXO_ERROR, 0, "backup failed", "backup", false, true},
  };
  TempDir dir;
  const std::string path = dir / "applied-marker.json";
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    writeFile(path, c.bytes);
    std::string backup;
    if (c.journalBeside != nullptr) {
      // A journal as the updater writes it, in force: its staged files are
      // moving in.
      backup = dir / c.journalBeside;
      makeDirectories(backup);
      makeDirectories(dir / "app");
      writeTree(dir / "staging", {{"a.dll", "a 2"}, {"b.dll", "b 2"}});
      ASSERT_EQ(beginUpdateJournal(backup, dir / "app", dir / "staging", "k0"), "");
      ASSERT_EQ(moveStagedFilesIn(backup, dir / "app", dir / "staging", /*resuming=*/false), "");
      // Stopped half way: one file is still staged.
      if (!c.finished) std::filesystem::rename(dir / "app/b.dll", dir / "staging/b.dll");
    }
    // By the marker's path, and by the request, which names the backup too.
    vexo_update_request request{};
    request.data_dir = dir.path().c_str();
    request.idempotency_key = "k";
    request.backup_dir = c.backupGiven ? backup.c_str() : nullptr;
    std::vector<int> mixed;
    for (vexo_outcome* outcome :
         {vexo_read_outcome(path.c_str(), "k"), vexo_read_update_outcome(&request)}) {
      ASSERT_NE(outcome, nullptr);
      EXPECT_EQ(outcome->result, c.result);
      const std::string text = outcome->text;
      if (c.result == VEXO_NO_OUTCOME) {
        EXPECT_EQ(text.rfind(c.text, 0), 0u) << text;
        EXPECT_STREQ(outcome->from_version, "");
      } else {
        EXPECT_EQ(text, c.text);
        EXPECT_EQ(outcome->applied_at,
                  c.label == std::string("smallest time stamp") ? INT64_MIN : 1700000000);
      }
      mixed.push_back(outcome->installation_mixed);
      vexo_free_outcome(outcome);
    }
    // vexo_read_outcome knows the marker only: it cannot see the journal.
    EXPECT_EQ(mixed, (std::vector<int>{c.journalBeside != nullptr ? 0 : c.mixed, c.mixed}));
    if (!backup.empty()) {
      for (const std::string& tree : {backup, dir / "app", dir / "staging"}) {
        std::filesystem::remove_all(tree);
      }
      std::filesystem::remove(backup + ".pending");
    }
  }

  // Every prefix of a marker is what a reader sees while the updater writes.
  const std::string whole = marker("rollback", pathText);
  for (std::size_t length = 0; length < whole.size(); ++length) {
    EXPECT_EQ(outcomeOf(path, whole.substr(0, length), "k").result, OutcomeResult::kNone) << length;
  }
  const Outcome read = outcomeOf(path, whole, "k");
  EXPECT_EQ(read.fromVersion, "1.0.0");
  EXPECT_EQ(read.toVersion, "2.0.0");

  // No file, or no path at all.
  for (const std::string& missing : {std::string(), dir / "no-such-marker.json"}) {
    vexo_outcome* outcome = vexo_read_outcome(missing.c_str(), "k");
    ASSERT_NE(outcome, nullptr);
    EXPECT_EQ(outcome->result, VEXO_NO_OUTCOME);
    EXPECT_EQ(std::string(outcome->text).rfind("no marker for this request: cannot read ", 0), 0u);
    vexo_free_outcome(outcome);
  }
  vexo_free_outcome(vexo_read_outcome(nullptr, nullptr));

  // The marker the request names, without a data folder; without a key no
  // marker is the request's.
  const std::string named = dir / "elsewhere/m.json";
  const std::string backup = dir / "elsewhere/backup";
  writeFile(named, marker("success", ""));
  vexo_update_request request{};
  request.marker_path = named.c_str();
  request.backup_dir = backup.c_str();
  request.idempotency_key = "k";
  const auto resultOf = [](const vexo_update_request* asked) {
    vexo_outcome* outcome = vexo_read_update_outcome(asked);
    const int result = outcome != nullptr ? outcome->result : -1;
    vexo_free_outcome(outcome);
    return result;
  };
  EXPECT_EQ(resultOf(&request), VEXO_SUCCESS);
  request.idempotency_key = nullptr;
  EXPECT_EQ(resultOf(&request), VEXO_NO_OUTCOME);
  EXPECT_EQ(resultOf(nullptr), VEXO_NO_OUTCOME);
}
