#include <windows.h>
// After windows.h, whose types it uses.
#include <shellapi.h>

#include <exception>
#include <filesystem>

#include "app/options.h"
#include "treeops/treeops_os.h"

bool argumentsAreExact(int argc, const char* const* argv, std::string* why) {
  int wideCount = 0;
  LPWSTR* wide = CommandLineToArgvW(GetCommandLineW(), &wideCount);
  if (wide == nullptr) {
    *why = "the command line cannot be read (error " + std::to_string(GetLastError()) + ")";
    return false;
  }
  // A substituted quotation mark re-splits the line, so the counts differ.
  if (wideCount != argc) {
    *why = "the command line splits into " + std::to_string(wideCount - 1) + " arguments, not " +
           std::to_string(argc - 1);
  }
  for (int i = 1; i < argc && why->empty(); ++i) {
    bool exact = false;
    try {
      exact = toNarrow(std::filesystem::path(std::wstring(wide[i]))) == argv[i];
    } catch (const std::exception&) {
      // No exact form in the code page at all.
    }
    if (!exact) {
      *why = "argument " + std::to_string(i) + " (\"" + argv[i] +
             "\") is not what was passed: the system's code page cannot represent it exactly";
    }
  }
  LocalFree(wide);
  return why->empty();
}
