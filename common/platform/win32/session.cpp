// The console session through the terminal services and the user profiles through the
// registry's ProfileList, read only. The session's user is known for sure by the security
// identifier of its token, which names the user's ProfileList entry; a profile folder's name
// (ann, ann.000, ann.CONTOSO, or an old name after the account was renamed) does not tell.
#include "platform/win32/windows_api.h"

#include <wtsapi32.h>

#include <optional>
#include <string>
#include <string_view>
#include <utility>

#include "platform/session.h"
#include "platform/win32/wide_path.h"

namespace tindral::platform {

namespace {

constexpr wchar_t kProfileListKey[] =
    L"SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion\\ProfileList";
constexpr wchar_t kProfileImagePathValue[] = L"ProfileImagePath";

/// What RegEnumKeyExW may write of a subkey name; longer names end the walk.
constexpr DWORD kSubkeyNameUnits = 256;
/// What RegQueryValueExW may write of ProfileImagePath; longer values are passed over.
constexpr DWORD kProfilePathBytes = 1024;

/// Buffers that the terminal services allocate and WTSFreeMemory releases.
struct WtsMemoryTraits {
  using Handle = LPWSTR;
  static Handle invalid() { return nullptr; }
  static bool is_valid(Handle handle) { return handle != nullptr; }
  static void close(Handle handle) { ::WTSFreeMemory(handle); }
};

/// Memory that LocalFree releases (ConvertSidToStringSidW's text).
struct LocalMemoryTraits {
  using Handle = LPWSTR;
  static Handle invalid() { return nullptr; }
  static bool is_valid(Handle handle) { return handle != nullptr; }
  static void close(Handle handle) { ::LocalFree(handle); }
};

/// UTF-16 data that ends in a NUL unit, as text without that unit.
std::string text_without_terminator(const wchar_t* data, DWORD size_in_bytes) {
  const std::size_t units = size_in_bytes < 2 ? 0 : size_in_bytes / 2 - 1;
  return win32::wide_to_utf8_lossy(std::wstring_view(data, units));
}

/// The stored ProfileImagePath of one profile subkey, or nothing when the subkey cannot be
/// opened or the value cannot be read.
std::optional<std::string> read_profile_image_path(const wchar_t* subkey_name) {
  const std::wstring subkey_path = std::wstring(kProfileListKey) + L"\\" + subkey_name;
  HKEY opened = nullptr;
  if (::RegOpenKeyExW(HKEY_LOCAL_MACHINE, subkey_path.c_str(), 0, KEY_READ, &opened) !=
      ERROR_SUCCESS) {
    return std::nullopt;
  }
  win32::ScopedRegKey subkey(opened);
  // wchar_t storage keeps the data aligned for reading it back as UTF-16.
  wchar_t data[kProfilePathBytes / sizeof(wchar_t)];
  DWORD size = kProfilePathBytes;
  const LSTATUS status = ::RegQueryValueExW(subkey.get(), kProfileImagePathValue, nullptr, nullptr,
                                            reinterpret_cast<LPBYTE>(data), &size);
  subkey.reset();
  if (status != ERROR_SUCCESS) return std::nullopt;
  return text_without_terminator(data, size);
}

/// The user name the terminal services report for `session`; empty at the logon screen.
std::optional<std::string> session_user_name(DWORD session) {
  LPWSTR buffer = nullptr;
  DWORD size = 0;
  if (!::WTSQuerySessionInformationW(WTS_CURRENT_SERVER_HANDLE, session, WTSUserName, &buffer,
                                     &size)) {
    return std::nullopt;
  }
  const win32::ScopedHandle<WtsMemoryTraits> owned(buffer);
  if (!owned) return std::nullopt;
  return text_without_terminator(buffer, size);
}

/// The security identifier of the user logged on in `session`, as text ("S-1-5-21-..."), or
/// nothing. WTSQueryUserToken is documented to succeed only for a caller running as LocalSystem
/// with SeTcbPrivilege (which LocalSystem holds enabled); elsewhere, as in a console run, it
/// fails with ERROR_PRIVILEGE_NOT_HELD and the caller falls back to the profile folder's name.
std::optional<std::string> session_user_sid(DWORD session) {
  HANDLE token_handle = nullptr;
  if (!::WTSQueryUserToken(session, &token_handle)) return std::nullopt;
  const win32::ScopedFileHandle token(token_handle);
  // TOKEN_USER followed by the largest SID there is.
  alignas(TOKEN_USER) BYTE user[sizeof(TOKEN_USER) + SECURITY_MAX_SID_SIZE];
  DWORD size = 0;
  if (!::GetTokenInformation(token.get(), TokenUser, user, sizeof user, &size)) {
    return std::nullopt;
  }
  LPWSTR text = nullptr;
  if (!::ConvertSidToStringSidW(reinterpret_cast<const TOKEN_USER*>(user)->User.Sid, &text)) {
    return std::nullopt;
  }
  const win32::ScopedHandle<LocalMemoryTraits> owned(text);
  return win32::wide_to_utf8(text);
}

/// True when `account` names one subkey of ProfileList, as a security identifier's text does,
/// rather than a key further down.
bool names_one_subkey(std::string_view account) {
  return !account.empty() && account.find('\\') == std::string_view::npos;
}

}  // namespace

std::optional<ConsoleSessionUser> console_session_user() {
  const DWORD session = ::WTSGetActiveConsoleSessionId();
  // 0xFFFFFFFF: no session is attached to the physical console, as during a session switch.
  if (session == 0xFFFFFFFF) return std::nullopt;
  std::optional<std::string> name = session_user_name(session);
  // An empty name: the console is at the logon screen.
  if (!name || name->empty()) return std::nullopt;
  return ConsoleSessionUser{std::move(*name), session_user_sid(session)};
}

std::optional<std::string> profile_image_path_of(std::string_view account) {
  if (!names_one_subkey(account)) return std::nullopt;
  const std::optional<std::wstring> subkey_name = win32::wtf8_to_wide(account);
  if (!subkey_name) return std::nullopt;
  return read_profile_image_path(subkey_name->c_str());
}

void for_each_profile_image_path(const std::function<bool(const std::string&)>& visit) {
  HKEY opened = nullptr;
  if (::RegOpenKeyExW(HKEY_LOCAL_MACHINE, kProfileListKey, 0, KEY_READ, &opened) != ERROR_SUCCESS) {
    return;
  }
  const win32::ScopedRegKey profile_list(opened);
  for (DWORD index = 0;; ++index) {
    wchar_t subkey_name[kSubkeyNameUnits];
    DWORD name_units = kSubkeyNameUnits;
    // Any failure ends the walk: the end of the list, an error, or a name too long for the
    // buffer.
    if (::RegEnumKeyExW(profile_list.get(), index, subkey_name, &name_units, nullptr, nullptr,
                        nullptr, nullptr) != ERROR_SUCCESS) {
      return;
    }
    const std::optional<std::string> stored = read_profile_image_path(subkey_name);
    if (stored && visit(*stored)) return;
  }
}

}  // namespace tindral::platform
