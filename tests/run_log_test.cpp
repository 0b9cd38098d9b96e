#include "report/run_log.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "app/update_sequence.h"
#include "support/run_support.h"
#include "support/test_support.h"

// Reopening the standard streams cannot be undone inside a test, so the
// redirection runs in a child: this same binary, started with VEXO_LOG_CHILD
// set to ">" and the log path, logs a few lines before any test starts and
// exits with kChildStatus.

namespace {

const char kChildVariable[] = "VEXO_LOG_CHILD";
constexpr int kChildStatus = 17;

int logFromChildIfAsked() {
  const char* request = std::getenv(kChildVariable);
  if (request == nullptr || request[0] != '>') return 0;
  redirectLog(request + 1);
  // Standard output shares the file; writes from both streams must land at
  // the end, in the order they are made.
  std::fputs("out-1\n", stdout);
  std::fflush(stdout);
  logLine("starting vexoPid=", std::uint32_t{0}, " from=", std::string(), " to=", std::string());
  std::fputs("out-2\n", stdout);
  std::fflush(stdout);
  logLine("OpenProcess(SYNCHRONIZE, ", std::uint32_t{4294967295u}, ") returned NULL",
          " err=", std::uint32_t{87}, " — assuming process already exited");
  logLine("FAIL: swap (", std::string("MoveFileEx(C:\\A \"b\".dll) err=5 (file locked)"),
          "), rolling back");
  std::exit(kChildStatus);
}

const int kLogChildRan = logFromChildIfAsked();

// Runs the logging child with logPath ("" for no redirection) and its
// standard error captured in errorPath; returns its exit status.
int runLogChild(const std::string& logPath, const std::string& errorPath) {
  setTestVariable(kChildVariable, ">" + logPath);
  Child child = startChildWithStderr({programPath("unit_test"), "--gtest_filter=-*"}, errorPath);
  setTestVariable(kChildVariable, "");
  return waitChild(child);
}

std::string line(const std::string& text) { return text + kLineEnd; }

std::string childStderrLines() {
  return line("[vexo-updater] starting vexoPid=0 from= to=") +
         line(
             "[vexo-updater] OpenProcess(SYNCHRONIZE, 4294967295) returned NULL err=87 "
             "\xE2\x80\x94 assuming process already exited") +
         line(
             "[vexo-updater] FAIL: swap (MoveFileEx(C:\\A \"b\".dll) err=5 (file locked)), "
             "rolling back");
}

std::string childLogLines() {
  const std::string all = childStderrLines();
  const std::size_t second = all.find(kLineEnd) + std::string(kLineEnd).size();
  return line("out-1") + all.substr(0, second) + line("out-2") + all.substr(second);
}

std::size_t indexOf(const std::vector<std::string>& lines, const std::string& text,
                    std::size_t from = 0) {
  for (std::size_t i = from; i < lines.size(); ++i) {
    if (lines[i] == text) return i;
  }
  return lines.size();
}

}  // namespace

TEST(RunLog, BothStreamsAppendToTheLog) {
  TempDir dir;
  const std::string log = dir / "run.log";
  const std::string err = dir / "stderr.txt";
  writeFile(log, "earlier run, cut short");

  ASSERT_EQ(runLogChild(log, err), kChildStatus);
  EXPECT_EQ(readFile(log), "earlier run, cut short" + childLogLines());
  EXPECT_EQ(readFile(err), "");

  // A second run adds its lines after the first run's.
  ASSERT_EQ(runLogChild(log, err), kChildStatus);
  EXPECT_EQ(readFile(log), "earlier run, cut short" + childLogLines() + childLogLines());
}

TEST(RunLog, CreatesAMissingLogFile) {
  TempDir dir;
  const std::string log = dir / "new.log";
  ASSERT_EQ(runLogChild(log, dir / "stderr.txt"), kChildStatus);
  EXPECT_EQ(readFile(log), childLogLines());
}

TEST(RunLog, LogThatCannotBeOpenedLosesOnlyTheLines) {
  TempDir dir;
  makeDirectories(dir / "folder.log");
  // The child must go on and end normally, with nothing created.
  for (const std::string& log : {dir / "missing/run.log", dir / "folder.log"}) {
    SCOPED_TRACE(log);
    EXPECT_EQ(runLogChild(log, dir / "stderr.txt"), kChildStatus);
  }
  EXPECT_FALSE(pathExists(dir / "missing"));
  EXPECT_TRUE(isDirectory(dir / "folder.log"));
  EXPECT_EQ(snapshotTree(dir / "folder.log").size(), 0u);
}

TEST(RunLog, NoLogOptionKeepsTheInheritedStderr) {
  TempDir dir;
  const std::string err = dir / "stderr.txt";
  ASSERT_EQ(runLogChild("", err), kChildStatus);
  EXPECT_EQ(readFile(err), childStderrLines());
}

namespace {

// Runs the updater up to its backup, which fails because the installation
// directory does not exist; the process id names no process.
int runUpdaterToBackupFailure(const TempDir& dir, const std::string& log,
                              const std::string& fromVersion, const std::string& toVersion) {
  return runChild(updaterCommand({dir / "no-install", dir / "staging", dir / "backup", log,
                                  dir / "applied.json", "k-1", fromVersion, toVersion}));
}

}  // namespace

TEST(RunLog, UpdaterRunsAppendToOneLog) {
  TempDir dir;
  const std::string log = dir / "run.log";
  ASSERT_EQ(runUpdaterToBackupFailure(dir, log, "1.0", "2.0"), 2);
  ASSERT_EQ(runUpdaterToBackupFailure(dir, log, "2.0", "3.0"), 2);

  const std::string text = readFile(log);
  const std::vector<std::string> lines = linesOf(text);
  // Each line ends with the platform's line end, the last one included.
  std::string rejoined;
  for (const std::string& line : lines) {
    EXPECT_EQ(line.rfind("[vexo-updater] ", 0), 0u) << line;
    EXPECT_EQ(line.find('\n'), std::string::npos) << "another line end in " << line;
    rejoined += line + kLineEnd;
  }
  EXPECT_EQ(rejoined, text);
  const std::size_t firstStart =
      indexOf(lines, "[vexo-updater] starting vexoPid=4000000000 from=1.0 to=2.0");
  const std::size_t firstFail = indexOf(lines, "[vexo-updater] FAIL: backup", firstStart);
  const std::size_t secondStart =
      indexOf(lines, "[vexo-updater] starting vexoPid=4000000000 from=2.0 to=3.0", firstFail);
  const std::size_t secondFail = indexOf(lines, "[vexo-updater] FAIL: backup", secondStart);
  EXPECT_EQ(firstStart, 0u);
  ASSERT_LT(secondFail, lines.size()) << readFile(log);
  EXPECT_EQ(secondFail, lines.size() - 1);
  EXPECT_EQ(secondStart - firstStart, secondFail + 1 - secondStart);
}

TEST(RunLog, UpdaterWithUnopenableLogKeepsItsOutcome) {
  TempDir dir;
  EXPECT_EQ(runUpdaterToBackupFailure(dir, dir / "no-folder/run.log", "1.0", "2.0"), 2);
  EXPECT_FALSE(pathExists(dir / "no-folder"));
  EXPECT_NE(readFile(dir / "applied.json")
                .find("\"result\":\"error\",\"errorMessage\":\"backup failed\","),
            std::string::npos);
}

TEST(RunLog, UnusableProcessIdLogsNothing) {
  TempDir dir;
  const std::string log = dir / "run.log";
  EXPECT_EQ(runChild({programPath("vexo-updater-test"), "--log", log, "--applied-marker",
                      dir / "applied.json", "--vexo-pid", "4294967296"}),
            kStatusBadArguments);
  EXPECT_TRUE(snapshotTree(dir.path()).empty());
}
