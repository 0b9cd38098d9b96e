#include <windows.h>

#include <climits>

#include "release/release_names.h"

namespace fs = std::filesystem;

namespace {

// UTF-16 to UTF-8, exactly: an unpaired surrogate fails.
bool utf8Of(const std::wstring& wide, std::string* narrow) {
  narrow->clear();
  if (wide.empty()) return true;
  if (wide.size() > INT_MAX / 4) return false;
  const int length = static_cast<int>(wide.size());
  const int size = WideCharToMultiByte(CP_UTF8, WC_ERR_INVALID_CHARS, wide.data(), length, nullptr,
                                       0, nullptr, nullptr);
  if (size <= 0) return false;
  narrow->resize(static_cast<std::size_t>(size));
  return WideCharToMultiByte(CP_UTF8, WC_ERR_INVALID_CHARS, wide.data(), length, &(*narrow)[0],
                             size, nullptr, nullptr) == size;
}

// UTF-8 to UTF-16, exactly: bytes that are not UTF-8 fail.
bool utf16Of(const std::string& narrow, std::wstring* wide) {
  wide->clear();
  if (narrow.empty()) return true;
  if (narrow.size() > INT_MAX) return false;
  const int length = static_cast<int>(narrow.size());
  const int size =
      MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, narrow.data(), length, nullptr, 0);
  if (size <= 0) return false;
  wide->resize(static_cast<std::size_t>(size));
  return MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, narrow.data(), length, &(*wide)[0],
                             size) == size;
}

}  // namespace

bool manifestNameOf(const fs::path& relative, std::string* name) {
  std::wstring wide = relative.native();
  for (wchar_t& unit : wide) {
    if (unit == L'\\') unit = L'/';
  }
  return utf8Of(wide, name);
}

bool relativePathOf(const std::string& name, fs::path* relative) {
  std::wstring wide;
  if (!utf16Of(name, &wide)) return false;
  *relative = fs::path(wide);
  return true;
}

std::string caseFoldedName(const std::string& name) {
  std::wstring wide;
  if (!utf16Of(name, &wide) || wide.empty()) return std::string();
  // NTFS compares names through one upper-case table, whatever the user's
  // language: the invariant locale's simple upper case is the nearest the
  // system offers.
  std::wstring upper(wide.size(), L'\0');
  const int length = static_cast<int>(wide.size());
  if (LCMapStringEx(LOCALE_NAME_INVARIANT, LCMAP_UPPERCASE, wide.data(), length, &upper[0], length,
                    nullptr, nullptr, 0) != length) {
    return std::string();
  }
  std::string folded;
  return utf8Of(upper, &folded) ? folded : std::string();
}
