// Signed releases on real folders: manifests, keys and signatures made here
// from fixed seeds (no random numbers under Wine), and natively by the stock
// minisign, whose files must pass both ways.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "host/vexo_host.h"
#include "release/minisign_codec.h"
#include "release/release_check.h"
#include "support/run_support.h"
#include "support/test_support.h"

namespace {

namespace fs = std::filesystem;

const std::string kHeader = "vexo-release-manifest 1\n";
// The SHA-256 and size of the one-byte file "A".
const std::string kA = "559aead08264d5795d3909718cdd05abd49572e84fe55590eef31a88a08fdffd 1 ";

struct TestKey {
  std::string secretFile;
  std::string publicFile;
};

// A key pair whose seed and id are the byte fill, written into dir.
TestKey writeKey(const TempDir& dir, unsigned char fill) {
  SecretKey secret;
  secret.seed.fill(fill);
  secret.id.fill(fill);
  EXPECT_EQ(startCrypto(), "");
  EXPECT_EQ(publicKeyOfSeed(secret.seed, &secret.publicKey), "");
  const std::string name = "key" + std::to_string(fill);
  writeFile(dir / (name + ".key"), secretKeyText(secret));
  writeFile(dir / (name + ".pub"), publicKeyText(PublicKey{secret.id, secret.publicKey}));
  return {dir / (name + ".key"), dir / (name + ".pub")};
}

// The key id of writeKey's key, as messages show it.
std::string idOf(unsigned char fill) {
  KeyId id;
  id.fill(fill);
  return keyIdText(id);
}

// An installation holding the old key, and staging holding its release of
// two files, signed with it.
struct Release {
  TempDir dir;
  TestKey oldKey = writeKey(dir, 1);
  TestKey newKey = writeKey(dir, 2);
  std::string install = dir / "install";
  std::string staging = dir / "staging";

  Release() {
    writeTree(install, {{"vexo-release.pub", readFile(oldKey.publicFile)}});
    writeTree(staging, {{"a.txt", "A"}, {"lib/core.dll", "CORE"}});
    EXPECT_EQ(signRelease(staging, oldKey.secretFile, "t"), "");
  }
  std::string at(const std::string& relative) const { return joinPath(staging, relative); }
  std::string verify() const { return verifyStagedRelease(install, staging); }
};

// A signature file with line number (1-based) replaced by edit(line).
void editLine(const std::string& file, int number,
              const std::function<std::string(std::string)>& edit) {
  std::string text = readFile(file);
  std::size_t start = 0;
  for (int i = 1; i < number; ++i) start = text.find('\n', start) + 1;
  const std::size_t end = text.find('\n', start);
  text.replace(start, end - start, edit(text.substr(start, end - start)));
  writeFile(file, text);
}

std::string legacy(std::string line) {
  std::string bytes;
  base64Decode(line, &bytes);
  bytes[1] = 'd';
  return base64Encode(bytes);
}

// Each manifest rule, through the updater's own check of a staging folder
// whose manifest says only that; each row a rule the reader could miss.
TEST(Release, ManifestRefusals) {
  const std::string a = kA + "a.txt\n";
  const std::vector<std::pair<std::string, std::string>> rows = {
      {"vexo-release-manifest 2\n" + a, "line 1: not \"vexo-release-manifest 1\""},
      {kHeader + kA + "a.txt\r\n", "line 2: ends with CR (line ends must be LF)"},
      {kHeader + kA + "a.txt", "line 2: cut short (no line end)"},
      {kHeader + a + "\n", "line 3: empty"},
      {kHeader + kA + std::string(70000, 'b') + "\n", "line 2: longer than 64 KiB"},
      {kHeader + "559AEAD0" + kA.substr(8) + "a.txt\n",
       "line 2: does not begin with a SHA-256 of 64 lowercase hex digits"},
      {kHeader + kA.substr(0, 65) + "01 a.txt\n", "line 2: the size \"01\" has a leading zero"},
      {kHeader + kA.substr(0, 65) + "1x a.txt\n",
       "line 2: the size \"1x\" is not a decimal number"},
      {kHeader + kA + "\n", "line 2: the path is empty"},
      {kHeader + kA + "/a.txt\n", "line 2: the path \"/a.txt\" is absolute"},
      {kHeader + kA + "c:a.txt\n", "line 2: the path \"c:a.txt\" holds ':' (a drive or a stream)"},
      {kHeader + kA + "a.txt:s\n", "line 2: the path \"a.txt:s\" holds ':' (a drive or a stream)"},
      {kHeader + kA + "lib\\a.txt\n", "line 2: the path \"lib\\a.txt\" holds a backslash"},
      {kHeader + kA + "lib//a.txt\n",
       "line 2: the path \"lib//a.txt\" has an empty name between two '/'"},
      {kHeader + kA + "./a.txt\n", "line 2: the path \"./a.txt\" has a \".\" name"},
      {kHeader + kA + "../x\n", "line 2: the path \"../x\" climbs out of the release"},
      {kHeader + kA + "lib/\n", "line 2: the path \"lib/\" ends with '/'"},
      {kHeader + kA + "a\x01.txt\n", "line 2: the path \"a\\x01.txt\" holds a control character"},
      {kHeader + kA + "vexo-release.manifest\n",
       "line 2: the path \"vexo-release.manifest\" is the manifest itself"},
      {kHeader + kA + "vexo-release.manifest.minisig\n",
       "line 2: the path \"vexo-release.manifest.minisig\" is the manifest's signature"},
      {kHeader + a + a, "line 3: the path \"a.txt\" is listed twice (first on line 2)"},
#ifdef _WIN32
      {kHeader + a + kA + "A.TXT\n",
       "line 3: the path \"A.TXT\" differs only in case from line 2's"},
#endif
  };
  Release release;
  for (const auto& [manifest, reason] : rows) {
    writeFile(release.at("vexo-release.manifest"), manifest);
    fs::remove(release.at("lib/core.dll"));
    ASSERT_EQ(signFile(release.at("vexo-release.manifest"), release.oldKey.secretFile,
                       release.at("vexo-release.manifest.minisig"), "t"),
              "");
    EXPECT_EQ(release.verify(), "vexo-release.manifest: " + reason) << manifest.substr(0, 100);
  }
}

// Every way a staged folder can differ from what was signed, and key
// rotation; each row is a check the updater could skip or get wrong.
TEST(Release, StagedReleaseIsExactlyTheSignedOne) {
  using Change = std::function<void(Release&)>;
  const auto resign = [](Release& r, const TestKey& key) {
    EXPECT_EQ(signRelease(r.staging, key.secretFile, "t"), "");
  };
  const auto rotate = [&](Release& r) {
    EXPECT_EQ(
        rotateReleaseKey(r.staging, r.oldKey.secretFile, r.newKey.publicFile, r.newKey.secretFile),
        "");
    resign(r, r.newKey);
  };
  const std::string oldId = idOf(1);
  const std::string newId = idOf(2);
  struct Row {
    const char* name;
    Change change;
    std::string reason;
  };
  const std::vector<Row> rows = {
      {"untouched", [](Release&) {}, ""},
      {"same size", [](Release& r) { writeFile(r.at("lib/core.dll"), "CORX"); },
       "lib/core.dll: its SHA-256 is not the manifest's"},
      {"other size", [](Release& r) { writeFile(r.at("lib/core.dll"), "CORE!"); },
       "lib/core.dll: 5 bytes, not the manifest's 4"},
      {"missing", [](Release& r) { fs::remove(r.at("lib/core.dll")); }, "lib/core.dll: missing"},
      {"extra", [](Release& r) { writeFile(r.at("extra.dll"), "X"); },
       "extra.dll: not in the manifest"},
      {"no manifest", [](Release& r) { fs::remove(r.at("vexo-release.manifest")); },
       "vexo-release.manifest: missing"},
      {"no signature", [](Release& r) { fs::remove(r.at("vexo-release.manifest.minisig")); },
       "vexo-release.manifest.minisig: missing"},
      {"signature of another manifest",
       [](Release& r) {
         Release other;
         writeFile(other.at("b.txt"), "B");
         EXPECT_EQ(signRelease(other.staging, r.oldKey.secretFile, "t"), "");
         writeFile(r.at("vexo-release.manifest.minisig"),
                   readFile(other.at("vexo-release.manifest.minisig")));
       },
       "vexo-release.manifest.minisig: not a signature of vexo-release.manifest by the release "
       "key " +
           oldId},
      {"another key", [&](Release& r) { resign(r, r.newKey); },
       "vexo-release.manifest.minisig: signed with key " + newId + ", not the release key " +
           oldId},
      {"trusted comment changed",
       [](Release& r) {
         editLine(r.at("vexo-release.manifest.minisig"), 3,
                  [](std::string) { return "trusted comment: u"; });
       },
       "vexo-release.manifest.minisig: its trusted comment is not signed by the release key " +
           oldId},
      {"legacy signature",
       [](Release& r) { editLine(r.at("vexo-release.manifest.minisig"), 2, legacy); },
       "vexo-release.manifest.minisig: a legacy minisign signature of the whole file, not "
       "accepted: sign with minisign's default prehashed signature (without -l)"},
      {"garbage installed key",
       [](Release& r) { writeFile(joinPath(r.install, "vexo-release.pub"), "garbage"); },
       "vexo-release.pub: not a minisign public key (1 line, not 2)"},
      {"directory link passed over",
       [](Release& r) {
         writeFile(r.dir / "elsewhere/x.dll", "X");
         ASSERT_TRUE(makeDirectoryLink(r.dir / "elsewhere", r.at("plugins")));
       },
       ""},
      {"listed file beyond a directory link",
       [](Release& r) {
         writeFile(r.dir / "elsewhere/core.dll", "CORE");
         fs::remove_all(r.at("lib"));
         ASSERT_TRUE(makeDirectoryLink(r.dir / "elsewhere", r.at("lib")));
       },
       "lib/core.dll: reached through a link, so the update would not move it"},
#ifndef _WIN32
      // A link to a file would be moved as itself, so the file it stands for
      // is not what was signed (Wine shows Unix file links as plain files).
      {"listed file a link",
       [](Release& r) {
         writeFile(r.dir / "copy.dll", "CORE");
         fs::remove(r.at("lib/core.dll"));
         fs::create_symlink(r.dir / "copy.dll", r.at("lib/core.dll"));
       },
       "lib/core.dll: is a link, not a file of the release"},
#endif
      {"rotation", rotate, ""},
      {"same key staged",
       [&](Release& r) {
         writeFile(r.at("vexo-release.pub"), readFile(r.oldKey.publicFile));
         resign(r, r.oldKey);
       },
       ""},
      {"new key without its signature",
       [&](Release& r) {
         rotate(r);
         fs::remove(r.at("vexo-release.pub.minisig"));
         resign(r, r.newKey);
       },
       "vexo-release.pub: not the installation's key, and vexo-release.pub.minisig is missing"},
      {"new key signed by itself",
       [&](Release& r) {
         rotate(r);
         EXPECT_EQ(signFile(r.at("vexo-release.pub"), r.newKey.secretFile,
                            r.at("vexo-release.pub.minisig"), "t"),
                   "");
         resign(r, r.newKey);
       },
       "vexo-release.pub.minisig: signed with key " + newId + ", not the release key " + oldId},
      {"new key changed after its signature",
       [&](Release& r) {
         rotate(r);
         editLine(r.at("vexo-release.pub"), 1, [](std::string) { return "untrusted comment: x"; });
       },
       "vexo-release.pub.minisig: not a signature of vexo-release.pub by the release key " + oldId},
      {"manifest signed with the old key after rotation",
       [&](Release& r) {
         rotate(r);
         EXPECT_EQ(signFile(r.at("vexo-release.manifest"), r.oldKey.secretFile,
                            r.at("vexo-release.manifest.minisig"), "t"),
                   "");
       },
       "vexo-release.manifest.minisig: signed with key " + oldId + ", not the release key " +
           newId},
  };
  for (const Row& row : rows) {
    Release release;
    row.change(release);
    const std::string result = release.verify();
    // The installed key is named by its whole path.
    EXPECT_EQ(result.substr(result.size() - std::min(result.size(), row.reason.size())), row.reason)
        << row.name << ": " << result;
    EXPECT_EQ(result.empty(), row.reason.empty()) << row.name << ": " << result;
  }
}

// After an update the installation holds the release and files of earlier
// versions, which are not differences.
TEST(Release, InstalledReleaseHoldsEveryListedFile) {
  Release release;
  writeTree(release.install, {{"a.txt", "A"}, {"lib/core.dll", "CORE"}});
  EXPECT_EQ(signRelease(release.install, release.oldKey.secretFile, "t"), "");
  writeFile(joinPath(release.install, "old/earlier.dll"), "E");
  EXPECT_EQ(verifyInstalledRelease(release.install), "");
  writeFile(joinPath(release.install, "lib/core.dll"), "CORX");
  EXPECT_EQ(verifyInstalledRelease(release.install),
            "lib/core.dll: its SHA-256 is not the manifest's");
  fs::remove(joinPath(release.install, "lib/core.dll"));
  EXPECT_EQ(verifyInstalledRelease(release.install), "lib/core.dll: missing");
  EXPECT_TRUE(installationHasReleaseKey(release.install));
  EXPECT_FALSE(installationHasReleaseKey(release.staging));
}

// The same folder and key give the same bytes: files listed by the byte
// order of their paths, and the time from SOURCE_DATE_EPOCH.
TEST(Release, SigningIsReproducible) {
  Release release;
  writeTree(release.staging, {{"b", "A"}, {"C/c", "A"}, {"a", "A"}});
#ifdef _WIN32
  _putenv_s("SOURCE_DATE_EPOCH", "1700000000");
#else
  setenv("SOURCE_DATE_EPOCH", "1700000000", 1);
#endif
  EXPECT_EQ(defaultTrustedComment("x"), "timestamp:1700000000\tfile:x\thashed");
  ASSERT_EQ(signRelease(release.staging, release.oldKey.secretFile, ""), "");
  const std::string manifest = readFile(release.at("vexo-release.manifest"));
  const std::string signature = readFile(release.at("vexo-release.manifest.minisig"));
  ASSERT_EQ(signRelease(release.staging, release.oldKey.secretFile, ""), "");
  EXPECT_EQ(readFile(release.at("vexo-release.manifest.minisig")), signature);
  EXPECT_EQ(manifest, kHeader + kA + "C/c\n" + kA + "a\n" + kA + "a.txt\n" + kA + "b\n" +
                          "d53772f1a4b72390b2c10003563d60ac8c0e3d216953f414cdefd6008ce283d0 4 "
                          "lib/core.dll\n");
}

// Key files as minisign writes them and nothing looser; each row a
// tolerance the parser could get wrong.
TEST(Release, KeyFilesAreReadStrictly) {
  TempDir dir;
  const std::string good = readFile(writeKey(dir, 3).publicFile);
  const std::string line2 = good.substr(good.find('\n') + 1, 56);
  const std::vector<std::pair<std::string, std::string>> publicRows = {
      {good.substr(0, good.size() - 1), ""},
      {good + "\n", "3 lines, not 2"},
      {"untrusted comment: k\r\n" + line2 + "\r\n", "a CR in its lines (line ends must be LF)"},
      {"untrusted comment: k\n" + line2.substr(0, 55) + "*\n", "line 2 is not base64"},
      {"untrusted comment: k\n" + base64Encode(std::string(41, 'E')) + "\n",
       "line 2 holds 41 bytes, not 42"},
      {"comment: k\n" + line2 + "\n", "line 1 does not begin with \"untrusted comment: \""},
  };
  for (const auto& [text, detail] : publicRows) {
    PublicKey key;
    EXPECT_EQ(parsePublicKey(text, &key),
              detail.empty() ? "" : "not a minisign public key (" + detail + ")")
        << text;
  }
  std::string bytes;
  const std::string secret = readFile(dir / "key3.key");
  ASSERT_TRUE(base64Decode(secret.substr(secret.find('\n') + 1, 212), &bytes));
  const auto with = [&](std::size_t at, const std::string& part) {
    std::string changed = bytes;
    changed.replace(at, part.size(), part);
    return "untrusted comment: k\n" + base64Encode(changed) + "\n";
  };
  SecretKey key;
  EXPECT_EQ(parseSecretKey(with(126, std::string(32, '\0')), &key), "");  // minisign -G -W
  EXPECT_EQ(parseSecretKey(with(126, "x"), &key),
            "not a minisign secret key (its checksum does not match: the file is damaged)");
  EXPECT_EQ(parseSecretKey(with(2, "Sc"), &key),
            "an encrypted minisign secret key: make one without a password (minisign -G -W) or "
            "with vexo-release keygen");
}

// The command's exit statuses: 2 for usage, 1 for a refusal, 0 when verified.
TEST(Release, CommandStatuses) {
  Release release;
  const std::string command = programPath("vexo-release");
  EXPECT_EQ(runChild({command, "verify", release.staging}), 2);
  EXPECT_EQ(runChild({command, "verify", release.staging, release.newKey.publicFile}), 1);
  EXPECT_EQ(runChild({command, "verify", release.staging, release.oldKey.publicFile}), 0);
}

// Known answers from the stock minisign natively: its key and signature
// pass our check, and it accepts our key and signatures.
TEST(Release, InteroperatesWithMinisign) {
#ifdef _WIN32
  GTEST_SKIP() << "minisign runs natively only";
#else
  if (std::system("minisign -v >/dev/null 2>&1") != 0) GTEST_SKIP() << "minisign is not installed";
  Release release;
  const std::string key = release.dir / "ms.key";
  const std::string pub = release.dir / "ms.pub";
  const std::string manifest = release.at("vexo-release.manifest");
  ASSERT_EQ(std::system(("minisign -G -W -s " + key + " -p " + pub + " >/dev/null").c_str()), 0);
  ASSERT_EQ(signRelease(release.staging, key, "t"), "");
  ASSERT_EQ(std::system(("minisign -S -W -s " + key + " -m " + manifest + " >/dev/null").c_str()),
            0);
  std::uint64_t count = 0;
  EXPECT_EQ(verifyRelease(pub, release.staging, &count), "");
  EXPECT_EQ(count, 2u);
  const std::string ours = release.oldKey.publicFile;
  ASSERT_EQ(signRelease(release.staging, release.oldKey.secretFile, "t"), "");
  EXPECT_EQ(std::system(("minisign -V -q -p " + ours + " -m " + manifest).c_str()), 0);
  ASSERT_EQ(std::system(("minisign -S -W -s " + release.oldKey.secretFile + " -m " + manifest +
                         " >/dev/null")
                            .c_str()),
            0);
  EXPECT_EQ(release.verify(), "");
#endif
}

bool endsWith(const std::string& text, const std::string& end) {
  return text.size() >= end.size() && text.compare(text.size() - end.size(), end.size(), end) == 0;
}

// The old version installed with the release key, and the new one staged and
// signed with it, in an update site; the host's data folder is app-data.
struct SignedSite : UpdateSite {
  TestKey key = writeKey(root, 1);
  TestKey newKey = writeKey(root, 2);
  std::string updater = programPath("vexo-updater-test");
  std::string data = root / "app-data";
  vexo_update_request request{};

  SignedSite() {
    prepare();
    writeFile(joinPath(install, "vexo-release.pub"), readFile(key.publicFile));
    EXPECT_EQ(signRelease(staging, key.secretFile, "t"), "");
    request.install_dir = install.c_str();
    request.staging_dir = staging.c_str();
    request.data_dir = data.c_str();
    request.idempotency_key = kIdempotencyKey;
    request.updater_path = updater.c_str();
  }
  std::string at(const std::string& relative) const { return joinPath(staging, relative); }
  // The manifest replaced by the header and lines, signed again.
  void writeManifest(const std::string& lines) const {
    writeFile(at("vexo-release.manifest"), kHeader + lines);
    EXPECT_EQ(signFile(at("vexo-release.manifest"), key.secretFile,
                       at("vexo-release.manifest.minisig"), "t"),
              "");
  }
  // vexo_check_update's sentence; empty when it lets the update go.
  std::string check() {
    char sentence[2048];
    return vexo_check_update(&request, sentence, sizeof sentence) == 0 ? "" : sentence;
  }
  // vexo_verify_installation's answer and sentence.
  int verifyInstalled(std::string* sentence) {
    char text[2048] = "";
    const int answer = vexo_verify_installation(&request, text, sizeof text);
    *sentence = text;
    return answer;
  }
};

const char kStagedSentence[] =
    "A file of the downloaded update is not as its publisher released it, so it cannot be "
    "installed; download the update again. (";
const char kKeySentence[] =
    "The application's release key is damaged, so no update can be checked against it; "
    "reinstalling the application brings it back. (";

// Each release a signed installation refuses, as the host and the user meet
// it: vexo_check_update's sentence names the file, and the updater, run all
// the same, ends with status 2 and its log naming the file, having touched
// nothing. Each row is a release that would otherwise be installed as the
// new version.
TEST(Release, RefusedReleasesChangeNothing) {
  const std::string manifestLine2 = kA + "VEXO.exe\n";
  struct Row {
    const char* name;
    std::function<void(SignedSite&)> change;
    std::string detail;  // the end of the sentence's detail and of the log line
    const char* sentence = kStagedSentence;
  };
  const auto manifest = [](SignedSite& s) { return readFile(s.at("vexo-release.manifest")); };
  const std::vector<Row> rows = {
      {"unsigned",
       [](SignedSite& s) {
         fs::remove(s.at("vexo-release.manifest"));
         fs::remove(s.at("vexo-release.manifest.minisig"));
       },
       "vexo-release.manifest: missing"},
      {"signed with another key",
       [](SignedSite& s) { EXPECT_EQ(signRelease(s.staging, s.newKey.secretFile, "t"), ""); },
       "vexo-release.manifest.minisig: signed with key " + idOf(2) + ", not the release key " +
           idOf(1)},
      {"a signature over another manifest",
       [](SignedSite& s) {
         const std::string other = s.root / "other.manifest";
         writeFile(other, kHeader);
         EXPECT_EQ(signFile(other, s.key.secretFile, s.at("vexo-release.manifest.minisig"), "t"),
                   "");
       },
       "vexo-release.manifest.minisig: not a signature of vexo-release.manifest by the release "
       "key " +
           idOf(1)},
      {"a file missing", [](SignedSite& s) { fs::remove(s.at("lib/core.dll")); },
       "lib/core.dll: missing"},
      {"a file too many", [](SignedSite& s) { writeFile(s.at("extra.dll"), "X"); },
       "extra.dll: not in the manifest"},
      {"a file changed", [](SignedSite& s) { writeFile(s.at("lib/core.dll"), "core X"); },
       "lib/core.dll: its SHA-256 is not the manifest's"},
      {"a file of another size", [](SignedSite& s) { writeFile(s.at("VEXO.exe"), "exe 2!"); },
       "VEXO.exe: 6 bytes, not the manifest's 5"},
      {"a manifest cut short",
       [&](SignedSite& s) {
         const std::string text = manifest(s);
         s.writeManifest(text.substr(kHeader.size(), text.size() - kHeader.size() - 1));
       },
       "vexo-release.manifest: line 5: cut short (no line end)"},
      {"a line too long",
       [&](SignedSite& s) { s.writeManifest(kA + std::string(70000, 'b') + "\n"); },
       "vexo-release.manifest: line 2: longer than 64 KiB"},
      {"a path listed twice",
       [&](SignedSite& s) {
         const std::string text = manifest(s);
         s.writeManifest(
             text.substr(kHeader.size()) +
             text.substr(kHeader.size(), text.find('\n', kHeader.size()) + 1 - kHeader.size()));
       },
       "vexo-release.manifest: line 6: the path \"VEXO.exe\" is listed twice (first on line 2)"},
      {"a path that climbs out", [&](SignedSite& s) { s.writeManifest(kA + "../x\n"); },
       "vexo-release.manifest: line 2: the path \"../x\" climbs out of the release"},
      {"an absolute path", [&](SignedSite& s) { s.writeManifest(kA + "/etc/x\n"); },
       "vexo-release.manifest: line 2: the path \"/etc/x\" is absolute"},
      {"a drive letter", [&](SignedSite& s) { s.writeManifest(kA + "c:x\n"); },
       "vexo-release.manifest: line 2: the path \"c:x\" holds ':' (a drive or a stream)"},
      {"a stream", [&](SignedSite& s) { s.writeManifest(kA + "VEXO.exe:s\n"); },
       "vexo-release.manifest: line 2: the path \"VEXO.exe:s\" holds ':' (a drive or a stream)"},
      {"a path twice in two cases",
       [&](SignedSite& s) {
         const std::string text = manifest(s);
         std::string line =
             text.substr(kHeader.size(), text.find('\n', kHeader.size()) + 1 - kHeader.size());
         line.replace(line.find("VEXO.exe"), 8, "VEXO.EXE");
         s.writeManifest(text.substr(kHeader.size()) + line);
       },
#ifdef _WIN32
       "vexo-release.manifest: line 6: the path \"VEXO.EXE\" differs only in case from line 2's"},
#else
       // Natively another file, which is not there.
       "VEXO.EXE: missing"},
#endif
      {"a garbage key staged",
       [](SignedSite& s) { writeFile(s.at("vexo-release.pub"), "garbage"); },
       "vexo-release.pub: not the installation's key, and vexo-release.pub.minisig is missing"},
      {"a garbage key installed",
       [](SignedSite& s) { writeFile(joinPath(s.install, "vexo-release.pub"), "garbage"); },
       "vexo-release.pub: not a minisign public key (1 line, not 2)", kKeySentence},
  };
  for (const Row& row : rows) {
    SignedSite site;
    row.change(site);
    const Tree before = site.everythingBut();
    const std::string sentence = site.check();
    EXPECT_EQ(sentence.rfind(row.sentence, 0), 0u) << row.name << ": " << sentence;
    EXPECT_TRUE(endsWith(sentence, row.detail + ")")) << row.name << ": " << sentence;
    EXPECT_EQ(site.run(), 2) << row.name;
    EXPECT_EQ(site.everythingBut(), before) << row.name;
    const std::vector<std::string> lines = linesOf(readFile(site.log));
    ASSERT_GE(lines.size(), 2u) << row.name;
    EXPECT_EQ(lines[lines.size() - 2].rfind("[vexo-updater] backup failed: the staged update is "
                                            "not the release signed for this installation: ",
                                            0),
              0u)
        << row.name << ": " << lines[lines.size() - 2];
    EXPECT_TRUE(endsWith(lines[lines.size() - 2], row.detail)) << row.name;
    EXPECT_EQ(markerFields(readFile(site.marker)).errorMessage, "backup failed") << row.name;
  }
}

// A signed update goes through and brings its manifest, which proves the
// installation afterwards; moving to a new key, and a run killed in its swap
// and resumed (whose staging is half moved, and is not checked again), go
// through too.
TEST(Release, SignedUpdatesGoThroughAndProveTheInstallation) {
  {
    SignedSite site;
    EXPECT_EQ(site.check(), "");
    ASSERT_EQ(site.run(), 0);
    Tree expected = overlay(kOldVersion, kNewVersion);
    for (const char* name :
         {"vexo-release.pub", "vexo-release.manifest", "vexo-release.manifest.minisig"}) {
      expected[name] = readFile(joinPath(site.install, name));
    }
    EXPECT_EQ(filesOf(site.install), expected);
    std::string sentence;
    EXPECT_EQ(site.verifyInstalled(&sentence), 0) << sentence;
    writeFile(joinPath(site.install, "lib/core.dll"), "core X");
    EXPECT_EQ(site.verifyInstalled(&sentence), -1);
    EXPECT_EQ(sentence,
              "The installed application is not exactly the release its publisher signed; "
              "installing it again puts that right. (lib/core.dll: its SHA-256 is not the "
              "manifest's)");
    fs::remove(joinPath(site.install, "vexo-release.pub"));
    EXPECT_EQ(site.verifyInstalled(&sentence), 1) << sentence;
  }
  {
    SignedSite site;
    ASSERT_EQ(rotateReleaseKey(site.staging, site.key.secretFile, site.newKey.publicFile,
                               site.newKey.secretFile),
              "");
    ASSERT_EQ(signRelease(site.staging, site.newKey.secretFile, "t"), "");
    ASSERT_EQ(site.run(), 0);
    EXPECT_EQ(readFile(joinPath(site.install, "vexo-release.pub")),
              readFile(site.newKey.publicFile));
  }
  {
    SignedSite site;
    // Past the backup's five copies, two files moved in.
    killBeforeCall(8);
    EXPECT_NE(site.run(), 0);
    clearTestInstructions();
    EXPECT_EQ(site.check(), "");
    ASSERT_EQ(site.run(), 0);
    EXPECT_EQ(readFile(joinPath(site.install, "lib/core.dll")), "core 2");
  }
}

}  // namespace
