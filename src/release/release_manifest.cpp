#include "release/release_manifest.h"

#include <cstring>
#include <exception>
#include <vector>

#include "os/paths.h"

const char kReleaseKeyName[] = "vexo-release.pub";
const char kReleaseKeySignatureName[] = "vexo-release.pub.minisig";
const char kManifestName[] = "vexo-release.manifest";
const char kManifestSignatureName[] = "vexo-release.manifest.minisig";
const char kManifestHeader[] = "vexo-release-manifest 1";

namespace {

constexpr std::size_t kHexDigits = 64;

int hexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;
}

// Why the text is not a size as the manifest writes it; empty when *size
// holds it.
std::string readSize(const std::string& text, std::uint64_t* size) {
  const std::string quoted = quotedPath(text);
  if (text.empty()) return "no size after the SHA-256";
  *size = 0;
  for (const char c : text) {
    if (c < '0' || c > '9') return "the size " + quoted + " is not a decimal number";
    const auto digit = static_cast<std::uint64_t>(c - '0');
    if (*size > (UINT64_MAX - digit) / 10) return "the size " + quoted + " is too large";
    *size = *size * 10 + digit;
  }
  if (text.size() > 1 && text[0] == '0') return "the size " + quoted + " has a leading zero";
  return "";
}

// Why a file line (without its line end) is not "<sha-256> <size> <path>";
// empty when *entry holds it.
std::string readEntry(const std::string& line, ManifestEntry* entry) {
  if (line.size() < kHexDigits) return "does not begin with a SHA-256 of 64 lowercase hex digits";
  for (std::size_t i = 0; i < kHexDigits; ++i) {
    const int value = hexValue(line[i]);
    if (value < 0) return "does not begin with a SHA-256 of 64 lowercase hex digits";
    if (i % 2 == 0) entry->sha256[i / 2] = static_cast<unsigned char>(value << 4);
    if (i % 2 == 1) entry->sha256[i / 2] |= static_cast<unsigned char>(value);
  }
  if (line.size() == kHexDigits || line[kHexDigits] != ' ') return "no space after the SHA-256";
  const std::size_t space = line.find(' ', kHexDigits + 1);
  if (space == std::string::npos) return "no path after the size";
  const std::string fault =
      readSize(line.substr(kHexDigits + 1, space - kHexDigits - 1), &entry->size);
  if (!fault.empty()) return fault;
  entry->path = line.substr(space + 1);
  return manifestPathFault(entry->path);
}

}  // namespace

bool manifestNameOf(const std::filesystem::path& relative, std::string* name) {
  try {
    *name = toJournalText(relative.generic_string<std::filesystem::path::value_type>());
  } catch (const std::exception&) {
    return false;
  }
  return true;
}

bool relativePathOf(const std::string& name, std::filesystem::path* relative) {
  try {
    *relative = fromJournalText(name);
  } catch (const std::exception&) {
    return false;
  }
  return true;
}

std::string caseFoldedName(const std::string& name) {
  std::filesystem::path relative;
  if (!kNamesIgnoreCase || !relativePathOf(name, &relative)) return std::string();
  try {
    return toJournalText(caseFolded(relative));
  } catch (const std::exception&) {
    return std::string();
  }
}

std::string quotedPath(const std::string& name) {
  static const char kHex[] = "0123456789abcdef";
  std::string quoted = "\"";
  for (const char c : name) {
    const auto byte = static_cast<unsigned char>(c);
    if (byte < 0x20 || byte == 0x7f) {
      quoted += "\\x";
      quoted += kHex[byte >> 4];
      quoted += kHex[byte & 15];
    } else {
      quoted += c;
    }
  }
  return quoted + "\"";
}

std::string manifestPathFault(const std::string& name) {
  if (name.empty()) return "the path is empty";
  const std::string quoted = "the path " + quotedPath(name);
  for (const char c : name) {
    if (static_cast<unsigned char>(c) < 0x20) return quoted + " holds a control character";
  }
  if (name[0] == '/') return quoted + " is absolute";
  // On Windows "c:x" names a drive and "a:b" a stream of a; neither is a
  // file of the release on any system.
  if (name.find(':') != std::string::npos) return quoted + " holds ':' (a drive or a stream)";
  if (name.find('\\') != std::string::npos) return quoted + " holds a backslash";
  if (name.back() == '/') return quoted + " ends with '/'";
  std::size_t start = 0;
  while (start <= name.size()) {
    std::size_t end = name.find('/', start);
    if (end == std::string::npos) end = name.size();
    const std::string component = name.substr(start, end - start);
    if (component.empty()) return quoted + " has an empty name between two '/'";
    if (component == ".") return quoted + " has a \".\" name";
    if (component == "..") return quoted + " climbs out of the release";
    start = end + 1;
  }
  const std::string folded = caseFoldedName(name);
  const auto is = [&](const char* reserved) {
    return name == reserved || (!folded.empty() && folded == caseFoldedName(reserved));
  };
  if (is(kManifestName)) return quoted + " is the manifest itself";
  if (is(kManifestSignatureName)) return quoted + " is the manifest's signature";
  std::filesystem::path relative;
  if (!relativePathOf(name, &relative)) return quoted + " is not UTF-8";
  return "";
}

std::string manifestLine(const ManifestEntry& entry) {
  static const char kHex[] = "0123456789abcdef";
  std::string line;
  for (const unsigned char byte : entry.sha256) {
    line += kHex[byte >> 4];
    line += kHex[byte & 15];
  }
  return line + " " + std::to_string(entry.size) + " " + entry.path + "\n";
}

std::string readManifest(const ReadBytes& read, gcry_md_hd_t digest, const ManifestVisit& each) {
  const std::string manifest = std::string(kManifestName) + ": ";
  const auto at = [&](std::uint64_t number) {
    return manifest + "line " + std::to_string(number) + ": ";
  };
  std::vector<char> chunk(kReadChunk);
  std::string line;
  ManifestEntry entry;
  std::uint64_t total = 0;
  std::uint64_t number = 0;
  for (;;) {
    std::size_t got = 0;
    try {
      got = read(chunk.data(), chunk.size());
    } catch (const std::exception& e) {
      return manifest + "cannot be read (" + e.what() + ")";
    }
    if (got == 0) break;
    total += got;
    if (total > kManifestLimit) return manifest + "too long (over 256 MiB)";
    if (digest != nullptr) gcry_md_write(digest, chunk.data(), got);
    std::size_t start = 0;
    while (start < got) {
      const void* const found = std::memchr(chunk.data() + start, '\n', got - start);
      const std::size_t stop =
          found != nullptr
              ? static_cast<std::size_t>(static_cast<const char*>(found) - chunk.data())
              : got;
      if (line.size() + (stop - start) > kManifestLineLimit) {
        return at(number + 1) + "longer than 64 KiB";
      }
      line.append(chunk.data() + start, stop - start);
      if (found == nullptr) break;
      start = stop + 1;
      ++number;
      std::string fault;
      if (!line.empty() && line.back() == '\r') {
        fault = "ends with CR (line ends must be LF)";
      } else if (number == 1) {
        if (line != kManifestHeader) fault = std::string("not \"") + kManifestHeader + "\"";
      } else if (line.empty()) {
        fault = "empty";
      } else {
        fault = readEntry(line, &entry);
        if (fault.empty()) {
          const std::string refusal = each(number, entry);
          if (!refusal.empty()) return refusal;
        }
      }
      if (!fault.empty()) return at(number) + fault;
      line.clear();
    }
  }
  if (!line.empty()) return at(number + 1) + "cut short (no line end)";
  if (number == 0) return manifest + "empty";
  return "";
}
