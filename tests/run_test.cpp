// The whole run, through the built vexo-updater as a child process: every
// outcome with its exact log and marker bytes, what each leaves in the three
// directories, the restart of VEXO.exe (the stand-in records how it was
// started), and the refusal of an unusable --vexo-pid.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "host/host_kit.h"
#include "support/run_support.h"
#include "support/test_support.h"

#ifdef _WIN32
#include <windows.h>
#endif

namespace {

// One run's directories. The stand-in keeps its records in the data folder
// beside its installation ("<installation>-data"), so a restarted VEXO.exe
// writes them there.
struct Layout : UpdateSite {
  explicit Layout(const std::string& installAt = "app", const std::string& stagingAt = "staging")
      : UpdateSite(installAt, stagingAt), data(withoutTrailingSeparator(install) + "-data") {
    makeDirectories(data);
  }
  std::string data;

  // Runs program over this layout, waiting for processId.
  int runFor(const std::string& processId, const std::string& program = "vexo-updater-test") const {
    UpdaterOptions o = options();
    o.processId = processId;
    o.program = program;
    return runChild(updaterCommand(o));
  }
};

void installStandIn(const std::string& folder) {
  makeDirectories(folder);
  std::filesystem::copy_file(joinPath(binaryDir(), "VEXO.exe"), joinPath(folder, "VEXO.exe"));
}

// Version 1.0.0 installed, version 2.0.0 staged: a changed and an added file in
// nested folders, and an installed file the update does not carry.
void prepareUpdate(const Layout& layout, bool withStandIn = true) {
  if (withStandIn) {
    installStandIn(layout.install);
    installStandIn(layout.staging);
  }
  writeFile(joinPath(layout.install, "version.txt"), "1.0.0\n");
  writeFile(joinPath(layout.install, "lib/core.dll"), "core 1");
  writeFile(joinPath(layout.install, "docs/old.txt"), "kept");
  writeFile(joinPath(layout.staging, "version.txt"), "2.0.0\n");
  writeFile(joinPath(layout.staging, "lib/core.dll"), "core 2");
  writeFile(joinPath(layout.staging, "lib/plugins/new.dll"), "new 2");
}

// Checks the marker byte for byte, except appliedAt, which must lie between
// the two clock readings around the run.
void expectMarker(const Layout& layout, long long before, const std::string& result,
                  const std::string& errorMessage) {
  const std::string marker = readFile(layout.marker);
  ASSERT_NE(markerFields(marker).appliedAt, "") << marker;
  const long long appliedAt = std::stoll(markerFields(marker).appliedAt);
  EXPECT_GE(appliedAt, before);
  EXPECT_LE(appliedAt, nowSeconds());
  EXPECT_EQ(markerWithoutTime(marker), expectedMarker(result, errorMessage));
}

// The updater has exited; a relaunch would have been started before that, so
// a short grace period shows whether one happened.
void expectNoRelaunch(const Layout& layout) {
  sleepMs(500);
  EXPECT_FALSE(pathExists(joinPath(layout.data, "launch.txt")));
}

void expectSuccessfulUpdate(const Layout& layout) {
  // What the stand-in records when it asks for the update, so that its
  // restarted copy takes the outcome as its own.
  writeFile(
      joinPath(layout.data, "pending-update.txt"),
      std::string("idempotencyKey=") + kIdempotencyKey + "\nappliedMarker=" + layout.marker + "\n");
  const auto installedBefore = snapshotTree(layout.install);
  const long long before = nowSeconds();

  // The test build records what the marker held when the application was
  // started again: it must already tell the outcome.
  setTestVariable("VEXO_TEST_RECORD_RELAUNCH", layout.marker);
  EXPECT_EQ(layout.runFor(kNoProcess), 0);
  clearTestInstructions();

  EXPECT_EQ(readFile(layout.log), runLog({"success"}));
  expectMarker(layout, before, "success", "");
  EXPECT_EQ(readFile(layout.marker + ".at-relaunch"), readFile(layout.marker));
  std::filesystem::remove(layout.marker + ".at-relaunch");
  EXPECT_FALSE(pathExists(layout.staging));
  // An overlay: changed and added files arrive, the file the update does not
  // carry stays.
  auto expected = installedBefore;
  expected["version.txt"] = "2.0.0\n";
  expected["lib/core.dll"] = "core 2";
  expected["lib/plugins"] = "<dir>";
  expected["lib/plugins/new.dll"] = "new 2";
  EXPECT_EQ(snapshotTree(layout.install), expected);
  EXPECT_EQ(snapshotTree(layout.backup), installedBefore);

  // The restarted stand-in records its command line and working directory,
  // then reports what it read in the marker.
  ASSERT_TRUE(waitForFile(joinPath(layout.data, "post-update-check.txt")));
  // Let the writer close it and exit before the folder is removed.
  sleepMs(200);
  // The application has printed its report: none of it reached the log.
  EXPECT_EQ(readFile(layout.log), runLog({"success"}));
  EXPECT_EQ(readFile(joinPath(layout.data, "launch.txt")),
            "arguments=1\nargument=--post-update-check\nworkingDirectory=" +
                withoutTrailingSeparator(layout.install) + "\n");
  const std::string report = readFile(joinPath(layout.data, "post-update-check.txt"));
  EXPECT_NE(report.find("VEXO 2.0.0 post-update check\n"), std::string::npos) << report;
  EXPECT_NE(report.find("outcome: success\n"), std::string::npos) << report;
}

TEST(Run, SuccessReplacesFilesRemovesStagingAndRestartsTheApplication) {
  Layout layout;
  prepareUpdate(layout);
  expectSuccessfulUpdate(layout);
}

TEST(Run, SuccessWithBlanksAndTrailingSeparatorsInThePaths) {
  Layout layout("my app" + std::string(1, kSep), "new version" + std::string(1, kSep));
  prepareUpdate(layout);
  expectSuccessfulUpdate(layout);
}

TEST(Run, SuccessWithoutVexoExeStillEndsWithStatusZeroAndTheSuccessLine) {
  Layout layout;
  prepareUpdate(layout, /*withStandIn=*/false);
  const long long before = nowSeconds();
  EXPECT_EQ(layout.runFor(kNoProcess), 0);
  EXPECT_EQ(readFile(layout.log), runLog({"success"}));
  expectMarker(layout, before, "success", "");
  EXPECT_EQ(readFile(joinPath(layout.install, "version.txt")), "2.0.0\n");
}

// The wait ends with the application still running, or the wait itself
// fails (the test build makes it, as the system can refuse one): either way
// nothing is touched. The test build cuts the wait short; the log still names
// the time asked for (Run.RealBuildWaitsAndPauses times the real one).
TEST(Run, ApplicationStillRunningOrAFailedWaitLeavesEverythingUntouched) {
  for (const bool waitFails : {false, true}) {
    SCOPED_TRACE(waitFails ? "the wait fails" : "the wait times out");
    Layout layout;
    prepareUpdate(layout);
    const Tree rootBefore = layout.everythingBut();
    Child application = startChild({programPath("vexo-test-helper"), "sleep", "40000"});
    const std::string processId = std::to_string(application.pid);
    const long long before = nowSeconds();

    setTestVariable("VEXO_TEST_WAIT_FAILS", waitFails ? "1" : "");
    const int status = layout.runFor(processId);
    clearTestInstructions();
    killChild(application);
    waitChild(application);

    EXPECT_EQ(status, 1);
    EXPECT_EQ(readFile(layout.log),
              logLines({startLine(processId),
                        waitFails ? "WaitForSingleObject returned 4294967295"
                                  : "WaitForSingleObject timed out after 30000ms",
                        "FAIL: VEXO.exe wait timeout"}));
    expectMarker(layout, before, "error", "VEXO.exe did not exit in 30s");
    EXPECT_EQ(layout.everythingBut(), rootBefore);
    expectNoRelaunch(layout);
  }
}

// The real build, timed: it waits for an application that is still running
// and, once that has ended, pauses 500 ms before it touches a file (its
// backup). The 30 s it would wait at most is the time the log line of the
// test build's time-out names (above).
TEST(Run, RealBuildWaitsAndPauses) {
  using Clock = std::chrono::steady_clock;
  Layout layout;
  prepareUpdate(layout);
  Child application = startChild({programPath("vexo-test-helper"), "sleep", "1500"});
  const Clock::time_point started = Clock::now();
  UpdaterOptions options = layout.options();
  options.processId = std::to_string(application.pid);
  options.program = "vexo-updater";
  Child run = startChild(updaterCommand(options));
  waitChild(application);
  const Clock::time_point ended = Clock::now();
  // Seen at most a few milliseconds after it is made; a run that did not
  // wait, or did not pause, makes it before the application ended or right
  // after.
  while (!pathExists(layout.backup) && Clock::now() - started < std::chrono::seconds(30)) {
    sleepMs(2);
  }
  const Clock::time_point touched = Clock::now();
  EXPECT_EQ(waitChild(run), 0);
  EXPECT_GE(touched - ended, std::chrono::milliseconds(400));
  EXPECT_EQ(readFile(joinPath(layout.install, "version.txt")), "2.0.0\n");
}

TEST(Run, BackupFailureStopsBeforeTheInstallationIsTouched) {
  Layout layout;
  prepareUpdate(layout);
  const auto stagingBefore = snapshotTree(layout.staging);
  std::filesystem::remove_all(layout.install);
  const long long before = nowSeconds();

  EXPECT_EQ(layout.runFor(kNoProcess), 2);

  const std::string log = readFile(layout.log);
  EXPECT_EQ(middleLine(log, "FAIL: backup").rfind("backup failed: ", 0), 0u) << log;
  expectMarker(layout, before, "error", "backup failed");
  EXPECT_FALSE(pathExists(layout.install));
  EXPECT_EQ(snapshotTree(layout.staging), stagingBefore);
}

// Staging brings data/x where the installation has a plain file named data:
// the folder cannot be made, the swap stops with an exception, and the
// rollback puts back what the swap had already moved.
TEST(Run, SwapFailureRollsBackKeepsStagingAndDoesNotRestart) {
  Layout layout;
  prepareUpdate(layout);
  writeFile(joinPath(layout.install, "data"), "a file, not a folder");
  writeFile(joinPath(layout.staging, "data/x"), "x 2");
  const auto installedBefore = snapshotTree(layout.install);
  const long long before = nowSeconds();

  EXPECT_EQ(layout.runFor(kNoProcess), 0);

  const std::string log = readFile(layout.log);
  const std::string failure = swapFailureOf(log);
  EXPECT_EQ(failure.rfind("swap exception: ", 0), 0u) << failure;
  EXPECT_EQ(log, runLog({swapFailureLine(failure)}));
  expectMarker(layout, before, "rollback", failure);
  // Every installed file is back as it was. Files that only the update brings
  // and that were moved before the failure stay: the rollback deletes nothing.
  auto installedAfter = snapshotTree(layout.install);
  for (const auto& [path, contents] : installedBefore) {
    EXPECT_EQ(installedAfter[path], contents) << path;
  }
  EXPECT_EQ(readFile(joinPath(layout.staging, "data/x")), "x 2");
  EXPECT_TRUE(isDirectory(layout.backup));
#ifndef _WIN32
  // The old version came back from the backup's copies, which kept its mode:
  // the application can still be started.
  EXPECT_EQ(std::filesystem::status(joinPath(layout.install, "VEXO.exe")).permissions(),
            std::filesystem::status(joinPath(binaryDir(), "VEXO.exe")).permissions());
#endif
  expectNoRelaunch(layout);
}

// A file that can be neither replaced nor moved back: the swap stops at it
// and so does the rollback. Natively the immutable flag makes it so; under
// Wine a process holding the file open does.
TEST(Run, SwapAndRollbackFailureEndsWithStatusThree) {
  Layout layout;
  prepareUpdate(layout);
  const std::string locked = joinPath(layout.install, "lib/core.dll");
  HeldFile held(locked);
  if (!held.held()) GTEST_SKIP() << "files cannot be held here";
  const long long before = nowSeconds();

  const int status = layout.runFor(kNoProcess);
  held.release();

  EXPECT_EQ(status, 3);
  const std::string moveFailure = "MoveFileEx(core.dll) err=5 (file locked)";
  EXPECT_EQ(readFile(layout.log), runLog({swapFailureLine(moveFailure)}));
  expectMarker(layout, before, "error", "rollback failed: " + moveFailure);
  EXPECT_EQ(readFile(locked), "core 1");
  EXPECT_EQ(readFile(joinPath(layout.staging, "lib/core.dll")), "core 2");
  EXPECT_EQ(readFile(joinPath(layout.backup, "lib/core.dll")), "core 1");
  expectNoRelaunch(layout);
}

#ifdef _WIN32
// Starts the updater with a wide command line, as a host passing characters
// outside the ANSI code page does, its standard error sent to errorPath.
int runWithWideArguments(const std::vector<std::wstring>& arguments, const std::string& errorPath) {
  const std::string program = programPath("vexo-updater-test");
  std::wstring commandLine = L"\"" + std::wstring(program.begin(), program.end()) + L"\"";
  for (const std::wstring& argument : arguments) commandLine += L" \"" + argument + L"\"";
  SECURITY_ATTRIBUTES inheritable{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
  const HANDLE errors = CreateFileA(errorPath.c_str(), GENERIC_WRITE, FILE_SHARE_READ, &inheritable,
                                    CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  STARTUPINFOW startup{};
  startup.cb = sizeof startup;
  startup.dwFlags = STARTF_USESTDHANDLES;
  startup.hStdError = errors;
  PROCESS_INFORMATION info{};
  const BOOL started =
      CreateProcessW(nullptr, &commandLine[0], nullptr, nullptr,
                     /*inheritHandles=*/TRUE, 0, nullptr, nullptr, &startup, &info);
  CloseHandle(errors);
  if (!started) return -1;
  WaitForSingleObject(info.hProcess, INFINITE);
  DWORD code = 0;
  GetExitCodeProcess(info.hProcess, &code);
  CloseHandle(info.hProcess);
  CloseHandle(info.hThread);
  return static_cast<int>(code);
}

std::wstring wide(const std::string& ascii) { return std::wstring(ascii.begin(), ascii.end()); }
#endif

// A process id that cannot be used, and (on Windows) arguments that the
// system's best-fit conversion changed on their way to the narrow argument
// vector: "\u0141" arrives as 'L', naming another folder, and a fullwidth
// quotation mark as '"', which would re-split the line on Windows.
TEST(Run, UnusableArgumentsAreRefusedBeforeAnythingIsTouched) {
  Layout layout;
  prepareUpdate(layout);
  const auto before = snapshotTree(layout.root.path());
  for (const char* value : {"", "abc", "4294967296", "-"}) {
    SCOPED_TRACE(std::string("vexo-pid \"") + value + "\"");
    EXPECT_EQ(layout.runFor(value), 64);
  }
  std::vector<std::string> withoutProcessId = layout.command();
  withoutProcessId.resize(withoutProcessId.size() - 2);
  EXPECT_EQ(runChild(withoutProcessId), 64);
  EXPECT_EQ(snapshotTree(layout.root.path()), before);
#ifdef _WIN32
  const TempDir elsewhere;
  const std::string errors = elsewhere / "stderr.txt";
  const std::wstring staging = wide(layout.staging);
  const std::wstring backup = wide(layout.backup);
  for (const std::vector<std::wstring>& arguments :
       {std::vector<std::wstring>{L"--install-dir", wide(layout.root.path()) + L"\\\u0141app",
                                  L"--staging-dir", staging, L"--backup-dir", backup, L"--vexo-pid",
                                  L"4000000000"},
        std::vector<std::wstring>{L"--install-dir", wide(layout.install), L"--staging-dir", staging,
                                  L"--backup-dir", backup, L"--to-version",
                                  L"2.0\uFF02 --backup-dir C:\\Users", L"--vexo-pid",
                                  L"4000000000"}}) {
    EXPECT_EQ(runWithWideArguments(arguments, errors), 64);
    EXPECT_NE(readFile(errors).find("is not what was passed"), std::string::npos)
        << readFile(errors);
    EXPECT_EQ(snapshotTree(layout.root.path()), before);
  }
#endif
}

// The stand-in as a host: it copies the installed updater into its data
// folder, starts the copy with its own process id and exits; the updater
// waits for it and updates it. Each update carries a new vexo-updater: one
// started from inside the installation could not be replaced under Windows,
// so the update, and every rollback, would stop at its file (err=5).
TEST(Run, StandInApplicationDrivesWholeUpdatesThatCarryANewUpdater) {
  const std::string updaterName = std::string("vexo-updater") + kExeSuffix;
  const std::string oldUpdater = readFile(programPath("vexo-updater"));
  // The same program with bytes appended, which it never reads.
  const std::string newUpdater = oldUpdater + "2.0.0";
  for (const bool failing : {false, true}) {
    SCOPED_TRACE(failing ? "rollback" : "success");
    Layout layout;
    prepareUpdate(layout);
    writeFile(joinPath(layout.install, updaterName), oldUpdater);
    writeFile(joinPath(layout.staging, updaterName), newUpdater);
    if (failing) {
      // Staging brings data/x where the installation has a file named data.
      writeFile(joinPath(layout.install, "data"), "a file, not a folder");
      writeFile(joinPath(layout.staging, "data/x"), "x 2");
    }
    const std::string standIn = joinPath(layout.install, "VEXO.exe");

    EXPECT_EQ(
        runChild({standIn, "--update-from", layout.staging, "--idempotency-key", kIdempotencyKey}),
        0);

    // The updater writes its marker last.
    Outcome outcome;
    for (int i = 0; i < 300 && outcome.result == OutcomeResult::kNone; ++i) {
      sleepMs(100);
      outcome = readOutcome(layout.marker, kIdempotencyKey);
    }
    ASSERT_EQ(outcome.result, failing ? OutcomeResult::kRollback : OutcomeResult::kSuccess)
        << outcome.text;
    // The copy that ran lies in the data folder.
    EXPECT_EQ(readFile(joinPath(layout.data, updaterName)), oldUpdater);
    const std::string report = joinPath(layout.data, "post-update-check.txt");
    if (failing) {
      // At the next start the host reads the outcome itself.
      sleepMs(200);
      EXPECT_EQ(runChild({standIn, "--post-update-check"}), 0);
      EXPECT_EQ(readFile(report).rfind("VEXO 1.0.0 post-update check\noutcome: rollback\n"
                                       "text: swap exception: ",
                                       0),
                0u)
          << readFile(report);
      EXPECT_EQ(readFile(joinPath(layout.install, updaterName)), oldUpdater);
      EXPECT_EQ(readFile(joinPath(layout.staging, updaterName)), newUpdater);
      continue;
    }
    ASSERT_TRUE(waitForFile(report));
    sleepMs(200);
    EXPECT_EQ(readFile(report),
              "VEXO 2.0.0 post-update check\noutcome: success\ntext: \nversions: 1.0.0 -> "
              "2.0.0\nnext step: none: the new version runs\nverified: no (an unsigned "
              "installation, nothing to prove)\n");
    const std::string log = readFile(layout.log);
    EXPECT_EQ(log.rfind("[vexo-updater] starting vexoPid=", 0), 0u) << log;
    EXPECT_NE(log.find(std::string(" from=1.0.0 to=2.0.0") + kLineEnd), std::string::npos) << log;
    EXPECT_EQ(log.substr(log.size() - logLines({"success"}).size()), logLines({"success"})) << log;
    EXPECT_EQ(readFile(joinPath(layout.install, "version.txt")), "2.0.0\n");
    EXPECT_EQ(readFile(joinPath(layout.install, updaterName)), newUpdater);
    EXPECT_FALSE(pathExists(layout.staging));
  }
  // An update that cannot go (no updater in the installation): the stand-in
  // says why and goes on running; nothing is started or remembered.
  Layout layout;
  prepareUpdate(layout);
  const std::string errors = layout.root / "errors.txt";
  Child standIn = startChildWithStderr(
      {joinPath(layout.install, "VEXO.exe"), "--update-from", layout.staging}, errors);
  EXPECT_EQ(waitChild(standIn), 0);
  EXPECT_NE(readFile(errors).find("VEXO 1.0.0: the update to 2.0.0 cannot be installed now. "
                                  "The updater program is missing"),
            std::string::npos)
      << readFile(errors);
  EXPECT_FALSE(pathExists(joinPath(layout.data, "pending-update.txt")));
  EXPECT_FALSE(pathExists(joinPath(layout.data, updaterName)));
}

}  // namespace
