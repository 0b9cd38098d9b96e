#ifndef VEXO_OS_ERROR_H_
#define VEXO_OS_ERROR_H_

// The one language of failures below the run: every failed system call is
// told as "<call>(<subject>) err=<code>", with " (file locked)" after the
// codes that mean a file is in use or access is denied. Codes are Windows
// system error codes on every platform, so that a failure reads the same
// everywhere; natively errno is translated once, by systemErrorOf.

#include <cstdint>
#include <stdexcept>
#include <string>

// The Windows codes the shared logic speaks.
constexpr std::uint32_t kErrorFileNotFound = 2;
constexpr std::uint32_t kErrorPathNotFound = 3;
constexpr std::uint32_t kErrorAccessDenied = 5;
constexpr std::uint32_t kErrorSharingViolation = 32;
constexpr std::uint32_t kErrorInvalidParameter = 87;
constexpr std::uint32_t kErrorNoUnicodeTranslation = 1113;

// "<call>(<subject>) err=<code>", plus " (file locked)" for 5 and 32.
std::string failureText(const std::string& call, const std::string& subject, std::uint32_t code);

// A failed system call, its text as failureText gives it.
class SystemError : public std::runtime_error {
 public:
  SystemError(const std::string& call, const std::string& subject, std::uint32_t code);
  std::uint32_t code() const { return code_; }

 private:
  std::uint32_t code_;
};

// The Windows code for an errno value:
//   ESRCH, EINVAL         87  ERROR_INVALID_PARAMETER (what OpenProcess says
//                             for a process that does not exist)
//   EACCES, EPERM, EISDIR  5  ERROR_ACCESS_DENIED (EPERM is also what an
//                             immutable file gives; a directory in the way
//                             of a move is access denied on Windows)
//   EBUSY, ETXTBSY        32  ERROR_SHARING_VIOLATION
//   ENOENT                 2  ERROR_FILE_NOT_FOUND
//   ENOTDIR                3  ERROR_PATH_NOT_FOUND
//   EROFS                 19  ERROR_WRITE_PROTECT
//   ENOSPC               112  ERROR_DISK_FULL
//   EEXIST                80  ERROR_FILE_EXISTS
//   ENAMETOOLONG         206  ERROR_FILENAME_EXCED_RANGE
// Any other errno comes out as 0x20000000 | errno: bit 29 marks
// application-defined codes, so the result never collides with a real
// Windows code, and subtracting 536870912 gives the errno back.
std::uint32_t systemErrorOf(int posixError);

#endif  // VEXO_OS_ERROR_H_
