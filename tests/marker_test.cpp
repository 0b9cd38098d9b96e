#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "report/marker_record.h"
#include "support/run_support.h"
#include "support/test_support.h"

namespace {

using OrderedJson = nlohmann::ordered_json;

const std::vector<std::string> kKeysInOrder = {"fromVersion", "toVersion",    "appliedAt",
                                               "result",      "errorMessage", "idempotencyKey"};

std::string& fieldOf(MarkerRecord& record, int index) {
  switch (index) {
    case 0:
      return record.fromVersion;
    case 1:
      return record.toVersion;
    case 2:
      return record.result;
    case 3:
      return record.errorMessage;
    default:
      return record.idempotencyKey;
  }
}

const char* keyOfField(int index) {
  static const char* const kKeys[] = {"fromVersion", "toVersion", "result", "errorMessage",
                                      "idempotencyKey"};
  return kKeys[index];
}

// The appliedAt number as written, so that a file can be compared with the
// formatter's output for the same time stamp.
long long appliedAtOf(const std::string& marker) {
  const std::string appliedAt = markerFields(marker).appliedAt;
  return appliedAt.empty() ? std::numeric_limits<long long>::min() : std::stoll(appliedAt);
}

// Checks what must hold for any record: one line, nothing below 0x20, no
// byte-order mark, an object from the first byte to the last.
void expectOneCleanLine(const std::string& marker) {
  ASSERT_FALSE(marker.empty());
  EXPECT_EQ(marker.front(), '{');
  EXPECT_EQ(marker.back(), '}');
  for (std::size_t i = 0; i < marker.size(); ++i) {
    ASSERT_GE(static_cast<unsigned char>(marker[i]), 0x20) << "at offset " << i;
  }
}

// Parses strictly and checks the six keys, their order and the text values.
void expectParsesTo(const std::string& marker, const MarkerRecord& record) {
  OrderedJson parsed;
  ASSERT_NO_THROW(parsed = OrderedJson::parse(marker)) << marker;
  ASSERT_TRUE(parsed.is_object());
  std::vector<std::string> keys;
  for (auto it = parsed.begin(); it != parsed.end(); ++it) keys.push_back(it.key());
  EXPECT_EQ(keys, kKeysInOrder);
  EXPECT_TRUE(parsed["appliedAt"].is_number_integer());
  MarkerRecord copy = record;
  for (int i = 0; i < 5; ++i) {
    ASSERT_TRUE(parsed[keyOfField(i)].is_string()) << keyOfField(i);
    EXPECT_EQ(parsed[keyOfField(i)].get<std::string>(), fieldOf(copy, i)) << keyOfField(i);
  }
}

}  // namespace

TEST(AppliedMarker, FormatsTheExactBytes) {
  const MarkerRecord rollback{"1.4.2", "1.5.0", "rollback",
                              "MoveFileEx(C:\\VEXO\\bin\\a \"b\".dll) err=5 (file locked)", "k-7"};
  EXPECT_EQ(formatAppliedMarker(rollback, 1700000000),
            "{\"fromVersion\":\"1.4.2\",\"toVersion\":\"1.5.0\",\"appliedAt\":1700000000,"
            "\"result\":\"rollback\",\"errorMessage\":\"MoveFileEx(C:\\\\VEXO\\\\bin\\\\a "
            "\\\"b\\\".dll) err=5 (file locked)\",\"idempotencyKey\":\"k-7\"}");

  // A success has its key followed directly by two quotation marks.
  const MarkerRecord success{"", "", "success", "", ""};
  EXPECT_EQ(formatAppliedMarker(success, 0),
            "{\"fromVersion\":\"\",\"toVersion\":\"\",\"appliedAt\":0,\"result\":\"success\","
            "\"errorMessage\":\"\",\"idempotencyKey\":\"\"}");

  // The time stamp is a plain signed decimal over the whole 64-bit range.
  const struct {
    long long value;
    const char* text;
  } stamps[] = {{-1, "-1"},
                {9, "9"},
                {std::numeric_limits<long long>::max(), "9223372036854775807"},
                {std::numeric_limits<long long>::min(), "-9223372036854775808"}};
  for (const auto& stamp : stamps) {
    const std::string marker = formatAppliedMarker(success, stamp.value);
    EXPECT_NE(marker.find(std::string(",\"appliedAt\":") + stamp.text + ",\"result\":"),
              std::string::npos)
        << marker;
  }
}

TEST(AppliedMarker, EscapesEveryByteOfEveryField) {
  for (int field = 0; field < 5; ++field) {
    for (int byte = 0; byte < 0x100; ++byte) {
      SCOPED_TRACE(std::string(keyOfField(field)) + " byte " + std::to_string(byte));
      MarkerRecord record{"1.0", "2.0", "error", "msg", "key"};
      const std::string value = std::string("a") + static_cast<char>(byte) + "z";
      fieldOf(record, field) = value;
      const std::string marker = formatAppliedMarker(record, 1700000000);
      expectOneCleanLine(marker);
      if (byte < 0x80) {
        expectParsesTo(marker, record);
      } else {
        // Not valid JSON text on its own; the byte must pass unchanged, in
        // the place of an ordinary character.
        MarkerRecord plain = record;
        fieldOf(plain, field) = "aAz";
        const std::string expected = formatAppliedMarker(plain, 1700000000);
        ASSERT_EQ(marker.size(), expected.size());
        EXPECT_NE(marker.find(value), std::string::npos);
      }
    }
  }
}

TEST(AppliedMarker, WrittenFileParsesBackWithKeysInOrder) {
  TempDir dir;
  const std::string path = dir / "applied.json";
  std::string controls;
  for (int c = 0; c < 0x20; ++c) controls += static_cast<char>(c);
  const MarkerRecord record{
      "1.0 \"beta\"", "2.0\\rc1", "rollback",
      "swap exception: filesystem error: cannot copy: \"C:\\A\\b.dll\"\r\n\t" + controls,
      "k\xE2\x80\x94\xC3\xA9\xF0\x9F\x98\x80"};

  const long long before = nowSeconds();
  writeAppliedMarker(path, record);
  const long long after = nowSeconds();

  const std::string marker = readFile(path);
  expectOneCleanLine(marker);
  EXPECT_NE(marker.substr(0, 3), "\xEF\xBB\xBF");
  expectParsesTo(marker, record);
  // Seconds since 1970, read while writing: not milliseconds, not local time.
  const long long appliedAt = OrderedJson::parse(marker)["appliedAt"].get<long long>();
  EXPECT_GE(appliedAt, before);
  EXPECT_LE(appliedAt, after);
  EXPECT_EQ(marker, formatAppliedMarker(record, appliedAt));
}

TEST(AppliedMarker, WritesEveryByteAsFormatted) {
  // Bytes at or above 0x80 are copied as they are: the file is the
  // formatter's output, with no translation on the way to disk.
  TempDir dir;
  std::string allBytes;
  for (int c = 0; c < 0x100; ++c) allBytes += static_cast<char>(c);
  const MarkerRecord record{allBytes, allBytes, allBytes, allBytes, allBytes};
  const std::string path = dir / "applied.json";
  writeAppliedMarker(path, record);
  const std::string marker = readFile(path);
  expectOneCleanLine(marker);
  EXPECT_EQ(marker, formatAppliedMarker(record, appliedAtOf(marker)));
}

TEST(AppliedMarker, ReplacesALongerMarkerCompletely) {
  TempDir dir;
  const std::string path = dir / "applied.json";
  writeFile(path, std::string(10000, 'x') + "\n}");
  const MarkerRecord record{"1", "2", "success", "", "k"};
  writeAppliedMarker(path, record);
  const std::string marker = readFile(path);
  EXPECT_EQ(marker, formatAppliedMarker(record, appliedAtOf(marker)));
  expectParsesTo(marker, record);
}

TEST(AppliedMarker, UnwritablePathsLeaveEverythingAsItWas) {
  TempDir dir;
  const MarkerRecord record{"1", "2", "error", "backup failed", "k"};

  // Directories on the way to the file are not created.
  EXPECT_NO_THROW(writeAppliedMarker(dir / "missing/deeper/applied.json", record));
  EXPECT_FALSE(pathExists(dir / "missing"));

  // A directory at the path stays a directory with its content.
  writeFile(dir / "taken/inside.txt", "keep");
  EXPECT_NO_THROW(writeAppliedMarker(dir / "taken", record));
  EXPECT_TRUE(isDirectory(dir / "taken"));
  EXPECT_EQ(readFile(dir / "taken/inside.txt"), "keep");

  // No marker option: nothing is written anywhere.
  EXPECT_NO_THROW(writeAppliedMarker("", record));
  EXPECT_EQ(snapshotTree(dir.path()),
            (std::map<std::string, std::string>{{"taken", "<dir>"}, {"taken/inside.txt", "keep"}}));
}

TEST(AppliedMarker, FileThatCannotBeOpenedKeepsItsContent) {
  TempDir dir;
  const std::string path = dir / "applied.json";
  const std::string earlier = "{\"result\":\"success\"}";
  writeFile(path, earlier);
  const MarkerRecord record{"1", "2", "error", "backup failed", "k"};
  // Natively immutable; under Windows another process holds the file with
  // read sharing only, as a reader that has the marker open would.
  HeldFile held(path);
  if (!held.held()) GTEST_SKIP() << "files cannot be held here";
  EXPECT_NO_THROW(writeAppliedMarker(path, record));
  held.release();
  EXPECT_EQ(readFile(path), earlier);
}
