#include "app/options.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

namespace {

// Parses the arguments after the program path. argv[0] is a null pointer, so a
// parser that reads it fails the test instead of passing by luck.
OptionMap parseArguments(const std::vector<std::string>& arguments) {
  std::vector<const char*> argv = {nullptr};
  for (const std::string& argument : arguments) argv.push_back(argument.c_str());
  return parseOptions(static_cast<int>(arguments.size() + 1), argv.data());
}

struct PairingCase {
  const char* label;
  std::vector<std::string> arguments;
  OptionMap expected;
};

}  // namespace

TEST(ParseOptions, PairsArgumentsPositionally) {
  const std::vector<PairingCase> cases = {
      {"plain pairs", {"--log", "L", "--vexo-pid", "42"}, {{"log", "L"}, {"vexo-pid", "42"}}},
      {"last value wins", {"--log", "x", "--log", "y"}, {{"log", "y"}}},
      {"stray argument shifts every later pair", {"--a", "1", "x", "--b", "2"}, {{"a", "1"}}},
      {"stray argument first loses every pair", {"x", "--log", "L", "--from-version", "1"}, {}},
      {"single dash is not a name", {"-log", "L", "--a", "1"}, {{"a", "1"}}},
      {"lone dash", {"-", "L"}, {}},
      {"value beginning with two dashes", {"--log", "--install-dir"}, {{"log", "--install-dir"}}},
      {"two dashes alone name the empty option", {"--", "v"}, {{"", "v"}}},
      {"equals sign belongs to the name", {"--log=run.txt", "x"}, {{"log=run.txt", "x"}}},
      {"names are case-sensitive", {"--Install-Dir", "C:\\A"}, {{"Install-Dir", "C:\\A"}}},
      {"unpaired last argument", {"--log", "L", "--backup-dir"}, {{"log", "L"}}},
      {"three dashes keep the third", {"---x", "1"}, {{"-x", "1"}}},
      {"empty value", {"--log", ""}, {{"log", ""}}},
      {"empty name candidate", {"", "v", "--a", "1"}, {{"a", "1"}}},
  };
  for (const PairingCase& c : cases) {
    EXPECT_EQ(parseArguments(c.arguments), c.expected) << c.label;
  }
}

TEST(ParseOptions, KeepsBytesUnchanged) {
  // Values reach the operations exactly as received: no trimming, no
  // normalisation, no re-encoding.
  const std::string path = " C:\\Program Files\\VEXO\\ ";
  const std::string ansi = "D:\\\xE9t\xE9\\\x81\xFF";
  OptionMap options =
      parseArguments({"--install-dir", path, "--staging-dir", ansi, "--\xC3\xA9", "v w"});
  EXPECT_EQ(options["install-dir"], path);
  EXPECT_EQ(options["staging-dir"], ansi);
  EXPECT_EQ(options["\xC3\xA9"], "v w");
  EXPECT_EQ(options.size(), 3u);
}

TEST(ParseOptions, ShortCommandLinesGiveAnEmptyMap) {
  const char* const onlyProgram[] = {nullptr, nullptr};
  EXPECT_TRUE(parseOptions(0, onlyProgram).empty());
  EXPECT_TRUE(parseOptions(1, onlyProgram).empty());
  // A single argument, even one that looks like a name, has no value.
  const char* const oneArgument[] = {nullptr, "--log", nullptr};
  EXPECT_TRUE(parseOptions(2, oneArgument).empty());

  // Every name the run reads then yields the empty string.
  OptionMap options = parseOptions(2, oneArgument);
  for (const char* name : {"install-dir", "staging-dir", "backup-dir", "log", "applied-marker",
                           "idempotency-key", "from-version", "to-version", "vexo-pid"}) {
    EXPECT_EQ(options[name], "") << name;
  }
}

TEST(ParseOptions, ReadsOnlyUpToTheCount) {
  // Arguments past the count are not part of the command line; here they
  // are null, so reading them would crash.
  const char* const argv[] = {nullptr, "--log", "L", "--a", nullptr, nullptr};
  OptionMap options = parseOptions(4, argv);
  EXPECT_EQ(options, (OptionMap{{"log", "L"}}));
}

TEST(ConvertProcessId, FollowsTheUnsignedConversionRules) {
  struct Case {
    std::string text;
    bool ok;
    std::uint32_t value;
  };
  const std::vector<Case> cases = {
      {"42", true, 42},
      {"  42", true, 42},
      {"\t42", true, 42},
      {"\n\v\f\r 42", true, 42},
      {"+42", true, 42},
      {"42x", true, 42},
      {"42 43", true, 42},
      {"0x10", true, 0},
      {"0", true, 0},
      {"-0", true, 0},
      {"0000042", true, 42},
      {"000000000000000000000000000004294967295", true, 4294967295u},
      {"4294967295", true, 4294967295u},
      {"-1", true, 4294967295u},
      {"-42", true, 4294967254u},
      {"-4294967295", true, 1},
      {"4294967296", false, 0},
      {"-4294967296", false, 0},
      {"18446744073709551615", false, 0},
      {"18446744073709551616", false, 0},
      {"99999999999999999999999999999999999999", false, 0},
      {"", false, 0},
      {"abc", false, 0},
      {"-", false, 0},
      {"+", false, 0},
      {" ", false, 0},
      {"+-1", false, 0},
      {"- 1", false, 0},
      {"x42", false, 0},
      {"\xA0"
       "42",
       false, 0},
      {std::string(1, '\0') + "42", false, 0},
  };
  for (const Case& c : cases) {
    std::uint32_t value = 12345;
    const bool ok = convertProcessId(c.text, &value);
    EXPECT_EQ(ok, c.ok) << '"' << c.text << '"';
    if (ok && c.ok) {
      EXPECT_EQ(value, c.value) << '"' << c.text << '"';
    }
  }
}
