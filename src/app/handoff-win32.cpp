#include <windows.h>
// After windows.h, whose types it uses.
#include <shellapi.h>

#include <string>

#include "app/handoff.h"
#include "treeops/treeops.h"

void removeStaging(const std::string& stagingDir) {
  // The shell's delete enters links and junctions and deletes what they lead
  // to (measured under Wine: a link in staging emptied the folder it pointed
  // to). They go first, on their own; where one cannot (no call removes a
  // Unix link to a directory under Wine), staging is left as it is.
  if (!removeLinksBelow(stagingDir)) return;

  // The shell takes a list of paths, each ended by a NUL, the list ended by a
  // second NUL; std::string supplies one NUL after its data, so one is added.
  std::string from = stagingDir;
  from.push_back('\0');

  SHFILEOPSTRUCTA request{};
  request.wFunc = FO_DELETE;
  request.pFrom = from.c_str();
  // Deleted outright (no FOF_ALLOWUNDO, so nothing goes to the recycle bin),
  // with no progress window, no question and no error dialog: nobody is there
  // to answer them. The shell also deletes read-only files, which the
  // standard library's remove_all refuses.
  request.fFlags = FOF_SILENT | FOF_NOCONFIRMATION | FOF_NOCONFIRMMKDIR | FOF_NOERRORUI;
  // A staging directory left behind changes nothing about the update's
  // outcome, so the result is not examined.
  SHFileOperationA(&request);
}

void relaunchApplication(const std::string& installDir) {
  // The separator is always added: a trailing backslash gives a doubled one,
  // which Windows accepts.
  const std::string appPath = installDir + "\\VEXO.exe";
  // Quoted so that an installation path with blanks stays one argument.
  // CreateProcessA may write into the command line, so it gets its own buffer.
  std::string commandLine = "\"" + appPath + "\" --post-update-check";

  STARTUPINFOA startup{};
  startup.cb = sizeof startup;
  // Explicitly no standard handles. Without this flag the system hands the
  // application our standard handles, although none is inherited otherwise:
  // both are the log file, and under Wine the application's output then
  // overwrites the log's first lines.
  startup.dwFlags = STARTF_USESTDHANDLES;
  PROCESS_INFORMATION info{};
  // The application inherits the environment but no handle: it must not keep
  // the log file open after the updater has gone. A failed start is not
  // reported; the update itself has succeeded.
  CreateProcessA(appPath.c_str(), &commandLine[0], /*processAttributes=*/nullptr,
                 /*threadAttributes=*/nullptr, /*inheritHandles=*/FALSE, /*creationFlags=*/0,
                 /*environment=*/nullptr, installDir.c_str(), &startup, &info);
  if (info.hProcess != nullptr) {
    CloseHandle(info.hProcess);
    CloseHandle(info.hThread);
  }
}

void pauseMilliseconds(std::uint32_t milliseconds) { Sleep(milliseconds); }
