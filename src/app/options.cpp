#include "app/options.h"

OptionMap parseOptions(int argc, const char* const* argv) {
  OptionMap options;
  if (argc <= 2) return options;
  // Pairs are positional: a stray argument shifts every later pair rather than
  // being skipped on its own, and an unpaired last argument is ignored.
  for (int i = 2; i < argc; i += 2) {
    const std::string name = argv[i - 1];
    if (name.size() >= 2 && name[0] == '-' && name[1] == '-') {
      options[name.substr(2)] = argv[i];
    }
  }
  return options;
}

bool convertProcessId(const std::string& text, std::uint32_t* processId) {
  // Written out rather than calling strtoul, whose range is 32 bits on
  // Windows and 64 bits on Linux; this gives both platforms the 32-bit rules.
  std::size_t pos = 0;
  while (pos < text.size() && (text[pos] == ' ' || (text[pos] >= '\t' && text[pos] <= '\r'))) {
    ++pos;
  }
  bool negative = false;
  if (pos < text.size() && (text[pos] == '+' || text[pos] == '-')) {
    negative = text[pos] == '-';
    ++pos;
  }
  const std::size_t firstDigit = pos;
  std::uint64_t value = 0;
  for (; pos < text.size() && text[pos] >= '0' && text[pos] <= '9'; ++pos) {
    value = value * 10 + static_cast<std::uint64_t>(text[pos] - '0');
    if (value > UINT32_MAX) return false;
  }
  if (pos == firstDigit) return false;
  const auto magnitude = static_cast<std::uint32_t>(value);
  *processId = negative ? static_cast<std::uint32_t>(0u - magnitude) : magnitude;
  return true;
}
