// Feeds arbitrary command lines to the option parser and arbitrary texts to
// the process-id conversion, and compares both with reference models written
// independently of the product code. Any disagreement aborts.
//
// Input: the arguments after the program path, separated by NUL bytes.

#include <cctype>
#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "app/options.h"

namespace {

void check(bool condition, const char* what, const std::string& input) {
  if (condition) return;
  std::fprintf(stderr, "mismatch in %s for \"%s\"\n", what, input.c_str());
  std::abort();
}

// Pairs (0, 1), (2, 3), ... of the arguments after the program path, walked
// from the end: the first value met for a name is the last one given.
OptionMap referenceOptions(const std::vector<std::string>& arguments) {
  OptionMap expected;
  for (std::size_t pair = arguments.size() / 2; pair-- > 0;) {
    const std::string& name = arguments[2 * pair];
    if (name.compare(0, 2, "--") != 0) continue;
    expected.emplace(name.substr(2), arguments[2 * pair + 1]);
  }
  return expected;
}

// Blanks and a sign by hand, then the C library's 64-bit conversion on the
// digits alone, so that "-" and "+" cannot be taken twice.
bool referenceProcessId(const std::string& text, std::uint32_t* processId) {
  const char* p = text.c_str();
  while (std::isspace(static_cast<unsigned char>(*p))) ++p;
  bool negative = false;
  if (*p == '+' || *p == '-') {
    negative = *p == '-';
    ++p;
  }
  if (!std::isdigit(static_cast<unsigned char>(*p))) return false;
  errno = 0;
  const unsigned long long magnitude = std::strtoull(p, nullptr, 10);
  if (errno == ERANGE || magnitude > 0xFFFFFFFFull) return false;
  const auto value = static_cast<std::uint32_t>(magnitude);
  *processId = negative ? static_cast<std::uint32_t>(0u - value) : value;
  return true;
}

void checkProcessId(const std::string& text) {
  std::uint32_t actual = 0xDEADBEEF;
  std::uint32_t expected = 0xDEADBEEF;
  const bool converted = convertProcessId(text, &actual);
  check(converted == referenceProcessId(text, &expected), "convertProcessId result", text);
  if (converted) check(actual == expected, "convertProcessId value", text);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string input(reinterpret_cast<const char*>(data), size);
  std::vector<std::string> arguments;
  if (!input.empty()) {
    std::size_t start = 0;
    for (std::size_t nul = input.find('\0'); nul != std::string::npos;
         nul = input.find('\0', start)) {
      arguments.push_back(input.substr(start, nul - start));
      start = nul + 1;
    }
    arguments.push_back(input.substr(start));
  }

  // The program path is a null pointer: reading it would crash.
  std::vector<const char*> argv = {nullptr};
  for (const std::string& argument : arguments) argv.push_back(argument.c_str());
  argv.push_back(nullptr);
  OptionMap options = parseOptions(static_cast<int>(arguments.size() + 1), argv.data());
  check(options == referenceOptions(arguments), "parseOptions", input);

  for (const std::string& argument : arguments) checkProcessId(argument);
  // A NUL inside the text ends the digits just as the C library's end of
  // string does.
  checkProcessId(input);
  return 0;
}
