#include <windows.h>

#include <atomic>
#include <cstdio>
#include <string>

#include "os/error.h"
#include "os/paths.h"
#include "os/volume.h"
#include "os/win32_paths.h"

namespace fs = std::filesystem;

namespace {

// Not in this toolchain's headers.
constexpr DWORD kAttributeRecallOnOpen = 0x00040000;
constexpr DWORD kAttributeRecallOnDataAccess = 0x00400000;

std::string hexOf(DWORD value) {
  char text[11];
  std::snprintf(text, sizeof text, "0x%08lx", static_cast<unsigned long>(value));
  return text;
}

}  // namespace

std::string probeWritable(const fs::path& folder) {
  std::wstring longForm;
  if (const DWORD error = makeLongForm(folder, &longForm)) {
    return failureText("create", toNarrowText(folder), error);
  }
  // A name no one else uses: this process's id and a count of its probes.
  static std::atomic<unsigned> probes{0};
  const std::wstring name = L".vexo-check-" + std::to_wstring(GetCurrentProcessId()) + L"-" +
                            std::to_wstring(++probes) + L".tmp";
  // Deleted by the system when its handle closes, or when the process ends;
  // the delete also asks for the right to remove files, which replacing
  // them needs.
  const HANDLE file =
      CreateFileW(childOf(longForm, name).c_str(), GENERIC_WRITE, /*shareMode=*/0,
                  /*securityAttributes=*/nullptr, CREATE_NEW,
                  FILE_ATTRIBUTE_TEMPORARY | FILE_ATTRIBUTE_HIDDEN | FILE_FLAG_DELETE_ON_CLOSE,
                  /*templateFile=*/nullptr);
  if (file == INVALID_HANDLE_VALUE) {
    const DWORD error = GetLastError();
    return failureText("create", toNarrowText(folder / name), error);
  }
  CloseHandle(file);
  return "";
}

std::string volumeSpace(const fs::path& folder, std::uint64_t* freeBytes, std::uint64_t* unit) {
  std::wstring longForm;
  if (const DWORD error = makeLongForm(folder, &longForm)) {
    return failureText("status", toNarrowText(folder), error);
  }
  // A folder is named with a separator at its end, as a share's must be.
  const std::wstring directory = childOf(longForm, L"");
  // Any folder names its volume here, and the quota of this user counts.
  ULARGE_INTEGER available{};
  if (!GetDiskFreeSpaceExW(directory.c_str(), &available, /*totalBytes=*/nullptr,
                           /*totalFreeBytes=*/nullptr)) {
    const DWORD error = GetLastError();
    return failureText("status", toNarrowText(folder), error);
  }
  *freeBytes = available.QuadPart;
  // The cluster size wants the volume's root, which is never longer than the
  // folder; NTFS's usual 4 KiB where it cannot be read.
  *unit = 4096;
  std::wstring root(directory.size() + 1, L'\0');
  DWORD sectorsPerCluster = 0;
  DWORD bytesPerSector = 0;
  DWORD freeClusters = 0;
  DWORD clusters = 0;
  if (GetVolumePathNameW(directory.c_str(), &root[0], static_cast<DWORD>(root.size())) &&
      GetDiskFreeSpaceW(root.c_str(), &sectorsPerCluster, &bytesPerSector, &freeClusters,
                        &clusters) &&
      sectorsPerCluster != 0 && bytesPerSector != 0) {
    *unit = static_cast<std::uint64_t>(sectorsPerCluster) * bytesPerSector;
  }
  return "";
}

std::string placeholderState(const fs::path& folder) {
  std::wstring longForm;
  if (makeLongForm(folder, &longForm) != 0) return "";
  const DWORD attributes = GetFileAttributesW(longForm.c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES) return "";
  std::string which;
  const auto note = [&](DWORD flag, const char* name) {
    if ((attributes & flag) == 0) return;
    which += which.empty() ? ": " : ", ";
    which += name;
  };
  note(FILE_ATTRIBUTE_OFFLINE, "offline");
  note(kAttributeRecallOnOpen, "recall on open");
  note(kAttributeRecallOnDataAccess, "recall on data access");
  return which.empty() ? "" : "attributes " + hexOf(attributes) + which;
}

PathLimits pathLimits() {
  // Every path reaches the system in its long form, whatever LongPathsEnabled
  // says. The system takes 32,767 characters with the terminating NUL; the
  // long form adds 4 to a drive's path ("\\?\") and 6 to a share's
  // ("\\?\UNC\" for "\\"), so the longer is taken off.
  PathLimits limits;
  limits.path = 32767 - 1 - 6;
  limits.name = 255;
  return limits;
}
