// The Application log: events carry the message ids of the table that event_messages.mc
// describes (one per type, its text the insertion string %1), which the build links into
// tindral.exe, the program the source's registration names.

#include "platform/event_log.h"

#include <string>

#include "platform/os_error.h"
#include "platform/win32/wide_path.h"
#include "platform/win32/windows_api.h"
// After <windows.h>: the generated header spells its ids as DWORDs.
#include "event_messages.h"

namespace tindral::platform {
namespace {

constexpr wchar_t kApplicationLogKey[] =
    L"SYSTEM\\CurrentControlSet\\Services\\EventLog\\Application\\";
// The types the service reports; informational lines stay in service.log.
constexpr DWORD kTypesSupported = EVENTLOG_ERROR_TYPE | EVENTLOG_WARNING_TYPE;
// ReportEventW refuses an insertion string longer than 31,839 characters; a message that long
// (a path near the 32,767-character limit) is cut a little short of it.
constexpr std::size_t kMaxInsertionCharacters = 31'000;

struct EventSourceTraits {
  using Handle = HANDLE;
  static Handle invalid() { return nullptr; }
  static bool is_valid(Handle handle) { return handle != nullptr; }
  static void close(Handle handle) { ::DeregisterEventSource(handle); }
};
using ScopedEventSource = win32::ScopedHandle<EventSourceTraits>;

std::wstring source_key(std::string_view source) {
  return kApplicationLogKey + win32::wtf8_to_wide(source).value_or(L"");
}

// Never splits a surrogate pair, which Event Viewer would show as a broken character.
std::wstring insertion_text(std::string_view message) {
  std::wstring text = win32::wtf8_to_wide(message).value_or(L"\uFFFD");
  if (text.size() > kMaxInsertionCharacters) {
    std::size_t length = kMaxInsertionCharacters;
    if (IS_HIGH_SURROGATE(text[length - 1])) --length;
    text.resize(length);
  }
  return text;
}

Result<void> set_value(HKEY key, const wchar_t* name, DWORD type, const void* data, DWORD size) {
  const LSTATUS status = RegSetValueExW(key, name, 0, type, static_cast<const BYTE*>(data), size);
  if (status != ERROR_SUCCESS) {
    return os_error(static_cast<std::uint32_t>(status)).wrap("Failed to register the event source");
  }
  return {};
}

}  // namespace

Result<void> report_event(std::string_view source, EventType type, std::string_view message) {
  const ScopedEventSource handle(
      RegisterEventSourceW(nullptr, win32::wtf8_to_wide(source).value_or(L"").c_str()));
  if (!handle) return last_os_error().wrap("Failed to open the event log");
  const std::wstring text = insertion_text(message);
  const wchar_t* strings[] = {text.c_str()};
  const bool error = type == EventType::Error;
  if (!ReportEventW(handle.get(), error ? EVENTLOG_ERROR_TYPE : EVENTLOG_WARNING_TYPE, 0,
                    error ? TINDRAL_EVENT_ERROR : TINDRAL_EVENT_WARNING, nullptr, 1, 0, strings,
                    nullptr)) {
    return last_os_error().wrap("Failed to write to the event log");
  }
  return {};
}

Result<void> register_event_source(std::string_view source, const Path& message_file) {
  HKEY opened = nullptr;
  const LSTATUS status =
      RegCreateKeyExW(HKEY_LOCAL_MACHINE, source_key(source).c_str(), 0, nullptr, 0,
                      KEY_SET_VALUE | KEY_WOW64_64KEY, nullptr, &opened, nullptr);
  if (status != ERROR_SUCCESS) {
    return os_error(static_cast<std::uint32_t>(status)).wrap("Failed to register the event source");
  }
  const win32::ScopedRegKey key(opened);
  const std::wstring program = win32::wtf8_to_wide(message_file.bytes()).value_or(L"");
  if (auto set = set_value(key.get(), L"EventMessageFile", REG_EXPAND_SZ, program.c_str(),
                           static_cast<DWORD>((program.size() + 1) * sizeof(wchar_t)));
      !set) {
    return set;
  }
  return set_value(key.get(), L"TypesSupported", REG_DWORD, &kTypesSupported,
                   sizeof(kTypesSupported));
}

Result<void> unregister_event_source(std::string_view source) {
  const LSTATUS status =
      RegDeleteKeyExW(HKEY_LOCAL_MACHINE, source_key(source).c_str(), KEY_WOW64_64KEY, 0);
  if (status != ERROR_SUCCESS && status != ERROR_FILE_NOT_FOUND) {
    return os_error(static_cast<std::uint32_t>(status)).wrap("Failed to remove the event source");
  }
  return {};
}

}  // namespace tindral::platform
