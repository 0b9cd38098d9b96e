#ifndef VEXO_TESTS_SUPPORT_RUN_SUPPORT_H_
#define VEXO_TESTS_SUPPORT_RUN_SUPPORT_H_

// Helpers for the tests that run the built updater as a child process: its
// command line, the log and marker a run should leave and readers of both,
// and the check that a run lost no file.

#include <map>
#include <memory>
#include <string>
#include <vector>

#include "support/test_support.h"

// Names no process anywhere, so the wait gives line A (err=87) and the run
// goes on at once.
extern const char kNoProcess[];
// The em dash of line A, in UTF-8.
extern const char kEmDash[];
// The idempotency key most runs are given.
extern const char kIdempotencyKey[];
// The code of a refused move of a source file that cannot move: a sharing
// violation (32) for a file held open under Windows; natively the EPERM of an
// immutable file, which the updater reports as 5.
extern const char kHeldSourceCode[];

// One run's options. The defaults are those most tests use: the update from
// 1.0.0 to 2.0.0 with kIdempotencyKey, waiting for no process.
struct UpdaterOptions {
  std::string install;
  std::string staging;
  std::string backup;
  std::string log;
  std::string marker;
  std::string idempotencyKey = kIdempotencyKey;
  std::string fromVersion = "1.0.0";
  std::string toVersion = "2.0.0";
  std::string processId = kNoProcess;
  // The built program to run, by name.
  std::string program = "vexo-updater-test";
};

// The program's path, then all nine options with their values, --vexo-pid last.
std::vector<std::string> updaterCommand(const UpdaterOptions& options);

// Version 1.0.0 installed and 2.0.0 staged: a replaced file, a nested
// replaced file, a file only the old version has, and one only the new has,
// in a folder the installation lacks.
extern const Tree kOldVersion;
extern const Tree kNewVersion;
// The installation after a successful update: the staged files over the installed.
Tree overlay(const Tree& installed, const Tree& staged);

// Two larger versions: shared files change between them, oldOnly ones are
// dropped by the update, newOnly ones arrive with it, some in folders the
// installation lacks. File names are unique across the tree, so the name in
// a failure text tells which file it was (pathOfName).
struct Versions {
  Tree installed;
  Tree staged;
  std::map<std::string, std::string> pathOfName;
};
Versions makeVersions(int shared, int oldOnly, int newOnly);

// One update's places below a fresh directory, its root, where the run
// starts: the installation, the staging directory, and the data folder
// "app-data" with the backup, the log and the marker.
struct UpdateSite {
  explicit UpdateSite(const std::string& installAt = "app",
                      const std::string& stagingAt = "staging",
                      const std::string& backupAt = "app-data/backup",
                      Medium medium = Medium::kMemory);
  TempDir root;
  std::string install, staging, backup, log, marker;
  // How the run names a directory where a case spells it otherwise (empty:
  // as above).
  std::string installArg, stagingArg, backupArg;
  // What a case keeps alive while the run goes: held files, mounts. They go
  // before the root does.
  std::vector<std::shared_ptr<void>> kept;

  std::string journal() const { return backup + ".pending"; }
  // Writes both versions in their places.
  void prepare(const Tree& installed = kOldVersion, const Tree& staged = kNewVersion) const;
  UpdaterOptions options() const;
  std::vector<std::string> command() const { return updaterCommand(options()); }
  // Runs the test build in the root; returns its status.
  int run() const;
  // Everything below the root without the log, the marker, and the paths
  // (relative, with '/') of leftOut.
  Tree everythingBut(const std::vector<std::string>& leftOut = {}) const;
};

// Each text as one log line: "[vexo-updater] ", the text, kLineEnd.
std::string logLines(const std::vector<std::string>& texts);
// The text of the first line of an update from 1.0.0 to 2.0.0 that waits for processId.
std::string startLine(const std::string& processId);
// The text of line A: processId names no process, taken to have exited.
std::string lineA(const std::string& processId);
// The log of a run from 1.0.0 to 2.0.0 that waits for kNoProcess: its start
// line, line A, then the texts.
std::string runLog(const std::vector<std::string>& texts);
// The text of the line of a swap that failed with failure.
std::string swapFailureLine(const std::string& failure);

// The log's lines without their line ends (kLineEnd); unended text at its end is one more.
std::vector<std::string> linesOf(const std::string& log);
// The text T of a log that is runLog({T, lastText}); empty when the log has another form.
std::string middleLine(const std::string& log, const std::string& lastText);
// The failure F of a log that is runLog({swapFailureLine(F)}); empty for another form.
std::string swapFailureOf(const std::string& log);

// The six fields of a marker, in the order it writes them.
struct MarkerFields {
  std::string fromVersion;
  std::string toVersion;
  std::string appliedAt;  // as written: digits, after a '-' when negative
  std::string result;
  std::string errorMessage;
  std::string idempotencyKey;
};
// The fields of marker, its strings unescaped; all empty when it is not a marker.
MarkerFields markerFields(const std::string& marker);

// text with '"' and '\' escaped, as the marker writes its strings.
std::string jsonEscaped(const std::string& text);
// The marker with the digits of appliedAt replaced by T; unchanged when it
// is not a marker.
std::string markerWithoutTime(const std::string& marker);
// The marker of an update from 1.0.0 to 2.0.0 as markerWithoutTime gives it.
std::string expectedMarker(const std::string& result, const std::string& errorMessage,
                           const std::string& idempotencyKey = kIdempotencyKey);

// A problem per old file in neither install nor backup, staged one in neither install nor staging.
std::vector<std::string> filesLost(const std::map<std::string, std::string>& oldFiles,
                                   const std::map<std::string, std::string>& stagedFiles,
                                   const std::string& install, const std::string& staging,
                                   const std::string& backup);

// What the trace of one run (the file VEXO_TEST_TRACE named for the test
// build) shows done out of the order that lets every file outlive a power
// cut: the backup on the disk before the journal, the journal before the
// first move, the undo's state before the undo, each move (on Windows made
// write-through) and the marker before the journal goes, and the copy of a
// move across file systems before its source goes. One text per fault;
// empty when the order holds.
std::vector<std::string> durabilityFaults(const std::string& trace, const UpdaterOptions& options);

// Sets an environment variable for the child processes started after it
// (the test build of the updater reads its instructions there); an empty
// value removes it.
void setTestVariable(const std::string& name, const std::string& value);

// Instructions to the test build (support/fault_wrap.cpp), for the runs
// started after them until clearTestInstructions: killed outright just
// before the n-th copy or move; the n-th move out of folder refused with
// code.
void killBeforeCall(std::size_t n);
void refuseMoveFrom(const std::string& folder, std::size_t n, const std::string& code = "5");
void clearTestInstructions();

// Starts argv and returns once the test build has paused just before its
// pauseAt-th copy or move; it goes on (at the latest after 20 s) when
// pauseFile is removed.
Child startPaused(const std::vector<std::string>& argv, std::size_t pauseAt,
                  const std::string& pauseFile, const std::string& workDir = "");
// Lets a paused run go on: removes pauseFile, which on Windows fails while
// the run has it open for its look, so it is tried until it is gone.
void endPause(const std::string& pauseFile);

#endif  // VEXO_TESTS_SUPPORT_RUN_SUPPORT_H_
