#include "app/handoff.h"

#include <exception>

#include "os/files.h"
#include "os/process.h"

namespace fs = std::filesystem;

void removeStaging(const fs::path& stagingDir) {
  // A staging directory left behind changes nothing about the update's
  // outcome: what cannot go stays.
  try {
    removeTree(stagingDir);
  } catch (const std::exception&) {
  }
}

void relaunchApplication(const fs::path& installDir) {
  // The separator is always added: a trailing one gives a doubled one, which
  // both systems read as one. A failed start is not reported; the update
  // itself has succeeded.
  const fs::path application =
      fs::path(installDir.native() + fs::path::preferred_separator) / "VEXO.exe";
  startDetached(application, {"--post-update-check"}, installDir);
}
