#ifndef VEXO_REPORT_RUN_LOG_H_
#define VEXO_REPORT_RUN_LOG_H_

#include <filesystem>
#include <iostream>

// Reopens standard output and standard error for appending on logPath.
// Does nothing for an empty path; a file that cannot be opened is silent and
// the run's lines are then lost.
void redirectLog(const std::filesystem::path& logPath);

// Writes "[vexo-updater] " and the pieces to standard error, then a line end
// and a flush. Numbers are inserted as they are (unsigned types stay
// unsigned).
template <typename... Pieces>
void logLine(const Pieces&... pieces) {
  std::cerr << "[vexo-updater] ";
  (std::cerr << ... << pieces);
  std::cerr << '\n' << std::flush;
}

#endif  // VEXO_REPORT_RUN_LOG_H_
