#include <windows.h>

#include <string>

#include "os/hold.h"

bool takeHold(const std::string& name, bool keep, std::uint32_t* errorCode) {
  // A named mutex in the global namespace, so that runs in other sessions
  // see it too. Its owner's end, however it comes, abandons it, and the next
  // waiter then owns it. The name is letters and digits, the same in every
  // code page.
  const std::wstring wide = L"Global\\vexo-updater-hold-" + std::wstring(name.begin(), name.end());
  const HANDLE mutex =
      CreateMutexW(/*mutexAttributes=*/nullptr, /*initialOwner=*/FALSE, wide.c_str());
  if (mutex == nullptr) {
    *errorCode = GetLastError();
    return false;
  }
  const DWORD waited = WaitForSingleObject(mutex, /*milliseconds=*/0);
  if (waited == WAIT_OBJECT_0 || waited == WAIT_ABANDONED) {
    if (!keep) {
      ReleaseMutex(mutex);
      CloseHandle(mutex);
    }
    return true;
  }
  const DWORD error = waited == WAIT_TIMEOUT ? 0 : GetLastError();
  CloseHandle(mutex);
  *errorCode = error;
  return false;
}
