#include <windows.h>

#include "standin_os.h"

const char kSeparator = '\\';

std::string ownExecutablePath() {
  char buffer[32768];
  const DWORD length = GetModuleFileNameA(nullptr, buffer, sizeof buffer);
  return std::string(buffer, length);
}

std::uint32_t ownProcessId() { return GetCurrentProcessId(); }

std::string currentDirectory() {
  char buffer[32768];
  const DWORD length = GetCurrentDirectoryA(sizeof buffer, buffer);
  return std::string(buffer, length < sizeof buffer ? length : 0);
}
