// vexo-release: makes release keys, signs release folders and checks them,
// as the updater will. Exit status 0 on success, 1 when the work is refused
// (the reason on standard error), 2 on a usage error.
#include <gcrypt.h>

#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <iostream>
#include <string>
#include <vector>

#include "os/paths.h"
#include "release/release_check.h"

namespace fs = std::filesystem;

namespace {

const char kUsage[] =
    "usage:\n"
    "  vexo-release keygen SECRET PUBLIC\n"
    "      makes an unencrypted minisign key pair (refuses to replace either file)\n"
    "  vexo-release sign FOLDER SECRET\n"
    "      writes FOLDER/vexo-release.manifest, listing every file below FOLDER, and\n"
    "      its signature FOLDER/vexo-release.manifest.minisig, made with SECRET, the\n"
    "      key the installations hold\n"
    "  vexo-release sign FOLDER SECRET --new-key NEW-PUBLIC NEW-SECRET\n"
    "      moves the installations to a new key: copies NEW-PUBLIC to\n"
    "      FOLDER/vexo-release.pub, signs it with SECRET (the key the installations\n"
    "      hold now) as FOLDER/vexo-release.pub.minisig, then writes and signs the\n"
    "      manifest with NEW-SECRET\n"
    "  vexo-release verify FOLDER PUBLIC\n"
    "      checks FOLDER as the updater checks a staged release, PUBLIC being the\n"
    "      key of the installation\n"
    "SECRET keys may also come from minisign -G -W; minisign -V checks the signatures.\n"
    "The trusted comments carry the time from SOURCE_DATE_EPOCH when it is set, so that\n"
    "signing the same folder with the same key again gives the same bytes.\n";

// libgcrypt's notes (on Windows, that the disk statistics its entropy
// gatherer reads are off) are not the user's concern; its warnings and
// errors are.
void logAboveInfo(void*, int level, const char* format, va_list arguments) {
  if (level > GCRY_LOG_INFO) std::vfprintf(stderr, format, arguments);
}

int usage(const std::string& problem) {
  std::cerr << "vexo-release: " << problem << "\n" << kUsage;
  return 2;
}

int outcome(const std::string& fault) {
  if (fault.empty()) return 0;
  std::cerr << "vexo-release: " << fault << "\n";
  return 1;
}

int run(const std::vector<std::string>& args) {
  if (args.empty()) return usage("no command");
  const std::string& command = args[0];
  // Arguments come in the narrow form the updater reads (the ANSI code page
  // on Windows), converted exactly or not at all.
  std::vector<fs::path> paths;
  for (std::size_t i = 1; i < args.size(); ++i) {
    paths.push_back(args[i] == "--new-key" ? fs::path() : toFsPath(args[i]));
  }
  if (command == "keygen" && args.size() == 3) return outcome(makeKeyPair(paths[0], paths[1]));
  if (command == "sign" && args.size() == 3) return outcome(signRelease(paths[0], paths[1], ""));
  if (command == "sign" && args.size() == 6 && args[3] == "--new-key") {
    const std::string fault = rotateReleaseKey(paths[0], paths[1], paths[3], paths[4]);
    if (!fault.empty()) return outcome(fault);
    return outcome(signRelease(paths[0], paths[4], ""));
  }
  if (command == "verify" && args.size() == 3) {
    std::uint64_t count = 0;
    const std::string fault = verifyRelease(paths[1], paths[0], &count);
    if (fault.empty()) std::cout << "verified: " << count << " files\n";
    return outcome(fault);
  }
  if (command == "keygen" || command == "sign" || command == "verify") {
    return usage("wrong arguments for " + command);
  }
  return usage("unknown command " + command);
}

}  // namespace

int main(int argc, char** argv) {
  gcry_set_log_handler(logAboveInfo, nullptr);
  try {
    return run(std::vector<std::string>(argv + 1, argv + argc));
  } catch (const std::exception& e) {
    return outcome(e.what());
  }
}
