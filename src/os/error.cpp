#include "os/error.h"

#include <cerrno>

std::string failureText(const std::string& call, const std::string& subject, std::uint32_t code) {
  std::string text = call + "(" + subject + ") err=" + std::to_string(code);
  if (code == kErrorAccessDenied || code == kErrorSharingViolation) text += " (file locked)";
  return text;
}

SystemError::SystemError(const std::string& call, const std::string& subject, std::uint32_t code)
    : std::runtime_error(failureText(call, subject, code)), code_(code) {}

std::uint32_t systemErrorOf(int posixError) {
  switch (posixError) {
    case ESRCH:
    case EINVAL:
      return kErrorInvalidParameter;
    case EACCES:
    case EPERM:
    case EISDIR:
      return kErrorAccessDenied;
    case EBUSY:
    case ETXTBSY:
      return kErrorSharingViolation;
    case ENOENT:
      return kErrorFileNotFound;
    case ENOTDIR:
      return kErrorPathNotFound;
    case EROFS:
      return 19;  // ERROR_WRITE_PROTECT
    case ENOSPC:
      return 112;  // ERROR_DISK_FULL
    case EEXIST:
      return 80;  // ERROR_FILE_EXISTS
    case ENAMETOOLONG:
      return 206;  // ERROR_FILENAME_EXCED_RANGE
    default:
      return 0x20000000u | static_cast<std::uint32_t>(posixError);
  }
}
