#include "platform/os_error.h"

#include <iterator>
#include <string>
#include <string_view>

#include "platform/win32/wide_path.h"
#include "platform/win32/windows_api.h"

namespace tindral::platform {

namespace {

// The system's text for a code in the user's language. FormatMessageW ends its texts with
// "\r\n" (Wine's too), which must not reach a one-line report.
std::string system_text(DWORD code) {
  wchar_t buffer[4096];
  DWORD length = FormatMessageW(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
                                code, 0, buffer, static_cast<DWORD>(std::size(buffer)), nullptr);
  while (length > 0 && (buffer[length - 1] == L'\r' || buffer[length - 1] == L'\n' ||
                        buffer[length - 1] == L' ' || buffer[length - 1] == L'\t')) {
    --length;
  }
  if (length == 0) return "Unknown error";
  return win32::wide_to_utf8_lossy(std::wstring_view(buffer, length));
}

// The only place that decides what a Win32 code means to the callers. A missing folder on the
// way (PATH_NOT_FOUND), a missing drive or share count as "not there" just like a missing file,
// and so does a service that is not installed.
ErrorKind kind_of(DWORD code) {
  switch (code) {
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND:
    case ERROR_INVALID_DRIVE:
    case ERROR_BAD_NETPATH:
    case ERROR_BAD_NET_NAME:
    case ERROR_SERVICE_DOES_NOT_EXIST:
      return ErrorKind::NotFound;
    case ERROR_ACCESS_DENIED:
    case ERROR_WRITE_PROTECT:
    case ERROR_PRIVILEGE_NOT_HELD:
      return ErrorKind::AccessDenied;
    case ERROR_FILE_EXISTS:
    case ERROR_ALREADY_EXISTS:
      return ErrorKind::AlreadyExists;
    case ERROR_INVALID_DATA:
    case ERROR_NO_UNICODE_TRANSLATION:
      return ErrorKind::InvalidData;
    default:
      return ErrorKind::Other;
  }
}

}  // namespace

Error os_error(std::uint32_t code) {
  return Error::from_os(code, system_text(code), kind_of(code));
}

Error last_os_error() { return os_error(GetLastError()); }

Error os_error(std::uint32_t code, ErrorKind kind) {
  return Error::from_os(code, system_text(code), kind);
}

}  // namespace tindral::platform
