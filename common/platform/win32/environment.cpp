#include "platform/environment.h"

#include <string>

#include "platform/win32/wide_path.h"
#include "platform/win32/windows_api.h"

namespace tindral::platform {

namespace {

// The variable's UTF-16 value, or nullopt when it is not set. The value can change between the
// size query and the copy (another thread), so the copy is repeated until it fits.
std::optional<std::wstring> read_variable(const std::wstring& name) {
  std::wstring value;
  DWORD capacity = 0;
  for (;;) {
    SetLastError(ERROR_SUCCESS);
    const DWORD result = GetEnvironmentVariableW(name.c_str(), value.data(), capacity);
    // 0 is both "not set" and "set to an empty value"; only the last error tells them apart.
    if (result == 0) {
      if (GetLastError() == ERROR_ENVVAR_NOT_FOUND) return std::nullopt;
      return std::wstring();
    }
    if (result < capacity) {
      value.resize(result);
      return value;
    }
    // Too small: `result` is the size needed, its NUL included.
    capacity = result;
    value.assign(capacity, L'\0');
  }
}

}  // namespace

EnvValue get_env(std::string_view name) {
  const auto wide_name = win32::wtf8_to_wide(name);
  if (!wide_name || wide_name->empty()) return {};
  const auto wide_value = read_variable(*wide_name);
  if (!wide_value) return {};
  auto value = win32::wide_to_utf8(*wide_value);
  if (!value) return {EnvValue::State::NotUnicode, {}};
  return {EnvValue::State::Present, std::move(*value)};
}

bool set_env(std::string_view name, std::string_view value) {
  const auto wide_name = win32::wtf8_to_wide(name);
  const auto wide_value = win32::wtf8_to_wide(value);
  if (!wide_name || !wide_value) return false;
  return SetEnvironmentVariableW(wide_name->c_str(), wide_value->c_str()) != 0;
}

bool unset_env(std::string_view name) {
  const auto wide_name = win32::wtf8_to_wide(name);
  if (!wide_name) return false;
  return SetEnvironmentVariableW(wide_name->c_str(), nullptr) != 0;
}

}  // namespace tindral::platform
