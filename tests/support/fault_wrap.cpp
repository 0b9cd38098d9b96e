// Link-time stand-ins for vexo-updater-test, the updater the end-to-end tests
// start. The program is linked with -Wl,--wrap=<name> for five calls, so the
// code that calls them reaches the __wrap_ functions here, and __real_
// reaches the product's own:
//   pauseMilliseconds   does not pause: hundreds of runs would each wait 500 ms.
//   waitOnProcess       waits at most kWaitCapMs, whatever the run asked for
//                       (its log line still names the time asked); with
//                       VEXO_TEST_WAIT_FAILS set it fails at once instead, as a
//                       wait the system refuses does.
//   relaunchApplication with VEXO_TEST_RECORD_RELAUNCH naming the marker, first
//                       copies what the marker holds to "<marker>.at-relaunch".
//   moveFileReplacing   the n-th move whose source path begins with
//                       VEXO_TEST_FAIL_MOVE_FROM (n = VEXO_TEST_FAIL_MOVE_AT,
//                       from 1) is not made and returns the Windows code
//                       VEXO_TEST_FAIL_MOVE_CODE instead; this stands for a
//                       refusal the system cannot be made to give on demand,
//                       a file of the backup, which the run itself creates.
//   copyFileOver and    the run is killed outright (SIGKILL, TerminateProcess
//   moveFileReplacing   on Windows) just before its VEXO_TEST_KILL_AT-th copy
//                       or move, the two counted together from 1.
// Run.RealBuildWaitsAndPauses shows that the updater itself waits and pauses.
#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

#ifdef _WIN32
#include <windows.h>
#else
#include <signal.h>
#endif

#include "treeops/treeops_os.h"

namespace {

constexpr std::uint32_t kWaitCapMs = 1000;
constexpr std::uint32_t kWaitFailed = 0xFFFFFFFF;

std::uint64_t numberFromEnvironment(const char* name) {
  const char* value = std::getenv(name);
  return value == nullptr ? 0 : std::strtoull(value, nullptr, 10);
}

std::uint64_t copiesAndMoves = 0;
std::uint64_t matchingMoves = 0;

void killIfDue() {
  ++copiesAndMoves;
  if (copiesAndMoves != numberFromEnvironment("VEXO_TEST_KILL_AT")) return;
#ifdef _WIN32
  TerminateProcess(GetCurrentProcess(), /*exitCode=*/137);
#else
  raise(SIGKILL);
#endif
}

// The code the move is to fail with, or 0 when it is to be made.
std::uint32_t injectedMoveFailure(const std::string& from) {
  const char* prefix = std::getenv("VEXO_TEST_FAIL_MOVE_FROM");
  if (prefix == nullptr || *prefix == '\0' || from.rfind(prefix, 0) != 0) return 0;
  ++matchingMoves;
  if (matchingMoves != numberFromEnvironment("VEXO_TEST_FAIL_MOVE_AT")) return 0;
  return static_cast<std::uint32_t>(numberFromEnvironment("VEXO_TEST_FAIL_MOVE_CODE"));
}

}  // namespace

extern "C" {

// copyFileOver(const path&, const path&)
void __real__Z12copyFileOverRKNSt10filesystem7__cxx114pathES3_(const std::filesystem::path& from,
                                                               const std::filesystem::path& to);
void __wrap__Z12copyFileOverRKNSt10filesystem7__cxx114pathES3_(const std::filesystem::path& from,
                                                               const std::filesystem::path& to) {
  killIfDue();
  __real__Z12copyFileOverRKNSt10filesystem7__cxx114pathES3_(from, to);
}

// moveFileReplacing(const std::string&, const std::string&)
std::uint32_t __real__Z17moveFileReplacingRKNSt7__cxx1112basic_stringIcSt11char_traitsIcESaIcEEES6_(
    const std::string& from, const std::string& to);
std::uint32_t __wrap__Z17moveFileReplacingRKNSt7__cxx1112basic_stringIcSt11char_traitsIcESaIcEEES6_(
    const std::string& from, const std::string& to) {
  killIfDue();
  const std::uint32_t code = injectedMoveFailure(from);
  if (code != 0) return code;
  return __real__Z17moveFileReplacingRKNSt7__cxx1112basic_stringIcSt11char_traitsIcESaIcEEES6_(from,
                                                                                               to);
}

// waitOnProcess(const ProcessWait&, std::uint32_t)
std::uint32_t __real__Z13waitOnProcessRK11ProcessWaitj(const ProcessWait& wait,
                                                       std::uint32_t timeoutMs);
std::uint32_t __wrap__Z13waitOnProcessRK11ProcessWaitj(const ProcessWait& wait,
                                                       std::uint32_t timeoutMs) {
  if (std::getenv("VEXO_TEST_WAIT_FAILS") != nullptr) return kWaitFailed;
  return __real__Z13waitOnProcessRK11ProcessWaitj(wait, std::min(timeoutMs, kWaitCapMs));
}

// relaunchApplication(const std::string&)
void __real__Z19relaunchApplicationRKNSt7__cxx1112basic_stringIcSt11char_traitsIcESaIcEEE(
    const std::string& installDir);
void __wrap__Z19relaunchApplicationRKNSt7__cxx1112basic_stringIcSt11char_traitsIcESaIcEEE(
    const std::string& installDir) {
  if (const char* marker = std::getenv("VEXO_TEST_RECORD_RELAUNCH")) {
    std::ifstream in(marker, std::ios::binary);
    std::ofstream(std::string(marker) + ".at-relaunch", std::ios::binary) << in.rdbuf();
  }
  __real__Z19relaunchApplicationRKNSt7__cxx1112basic_stringIcSt11char_traitsIcESaIcEEE(installDir);
}

// pauseMilliseconds(std::uint32_t)
void __wrap__Z17pauseMillisecondsj(std::uint32_t) {}

}  // extern "C"
