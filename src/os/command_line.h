#ifndef VEXO_OS_COMMAND_LINE_H_
#define VEXO_OS_COMMAND_LINE_H_

// How a program is named on a Windows command line: one string for the
// whole argument vector, which the started program's C runtime splits again.

#include <string>
#include <vector>

// One argument vector as a Windows command line that both CommandLineToArgvW
// and the C runtime split back into the same strings. The first element is
// quoted as a program name, which takes no escapes.
std::string windowsCommandLine(const std::vector<std::string>& argv);
std::wstring windowsCommandLine(const std::vector<std::wstring>& argv);

#endif  // VEXO_OS_COMMAND_LINE_H_
