#include "os/command_line.h"

namespace {

template <class Char>
bool needsQuotes(const std::basic_string<Char>& arg) {
  if (arg.empty()) return true;
  for (const Char c : arg) {
    if (c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '"') return true;
  }
  return false;
}

// Quotes one argument after the program name by the rules that
// CommandLineToArgvW and the C runtime share: inside quotes, backslashes are
// literal unless a quotation mark follows them, so those before an embedded
// quotation mark and those before the closing one are doubled.
template <class Char>
void appendArgument(std::basic_string<Char>* out, const std::basic_string<Char>& arg) {
  if (!needsQuotes(arg)) {
    *out += arg;
    return;
  }
  *out += Char('"');
  std::size_t backslashes = 0;
  for (const Char c : arg) {
    if (c == '\\') {
      ++backslashes;
      continue;
    }
    out->append(c == '"' ? backslashes * 2 + 1 : backslashes, Char('\\'));
    *out += c;
    backslashes = 0;
  }
  out->append(backslashes * 2, Char('\\'));
  *out += Char('"');
}

template <class Char>
std::basic_string<Char> commandLineOf(const std::vector<std::basic_string<Char>>& argv) {
  std::basic_string<Char> line;
  for (std::size_t i = 0; i < argv.size(); ++i) {
    if (i == 0) {
      // The program name is read up to the next quotation mark, without
      // escapes; a file name cannot hold one.
      line += Char('"');
      line += argv[0];
      line += Char('"');
      continue;
    }
    line += Char(' ');
    appendArgument(&line, argv[i]);
  }
  return line;
}

}  // namespace

std::string windowsCommandLine(const std::vector<std::string>& argv) { return commandLineOf(argv); }

std::wstring windowsCommandLine(const std::vector<std::wstring>& argv) {
  return commandLineOf(argv);
}
