#pragma once

// What the Service Control Manager and the registry keep of the service's installation, read
// back the way an administrator's tools (sc qprivs, sc qsidtype, sc qfailure, Event Viewer)
// read it.

#include <optional>
#include <ostream>
#include <string>
#include <vector>

#include "platform/win32/wide_path.h"
#include "platform/win32/windows_api.h"

namespace tindral::test_support {

inline constexpr char kServiceManagerGap[] =
    "Wine 8.0's service manager keeps neither required privileges nor a service SID type: "
    "ChangeServiceConfig2W and QueryServiceConfig2W answer ERROR_INVALID_LEVEL, and the failure "
    "actions it accepts cannot be read back";

inline std::wstring widen(std::string_view utf8) {
  return platform::win32::wtf8_to_wide(utf8).value_or(std::wstring());
}

/// The raw answer of QueryServiceConfig2W for `level`, or nothing when the call fails.
inline std::optional<std::vector<BYTE>> service_setting(const wchar_t* service, DWORD level) {
  std::optional<std::vector<BYTE>> setting;
  SC_HANDLE manager = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT);
  if (manager == nullptr) return setting;
  SC_HANDLE handle = OpenServiceW(manager, service, SERVICE_QUERY_CONFIG);
  if (handle != nullptr) {
    std::vector<BYTE> buffer(8192);
    DWORD needed = 0;
    if (QueryServiceConfig2W(handle, level, buffer.data(), static_cast<DWORD>(buffer.size()),
                             &needed)) {
      setting = std::move(buffer);
    }
    CloseServiceHandle(handle);
  }
  CloseServiceHandle(manager);
  return setting;
}

/// Whether the machine's service manager keeps a service SID type at all (RpcSs is on every
/// Windows and in every Wine prefix).
inline bool service_manager_keeps_privileges() {
  return service_setting(L"RpcSs", SERVICE_CONFIG_SERVICE_SID_INFO).has_value();
}

/// The service's required privileges, its SID type and its failure actions as one text, so
/// that a test compares them in one go.
inline std::wstring privileges_and_failure_actions(const wchar_t* service) {
  std::wstring text;
  if (auto privileges = service_setting(service, SERVICE_CONFIG_REQUIRED_PRIVILEGES_INFO)) {
    const auto* info =
        reinterpret_cast<const SERVICE_REQUIRED_PRIVILEGES_INFOW*>(privileges->data());
    for (const wchar_t* name = info->pmszRequiredPrivileges; name != nullptr && *name != L'\0';
         name += wcslen(name) + 1) {
      text += std::wstring(name) + L" ";
    }
  }
  if (auto sid = service_setting(service, SERVICE_CONFIG_SERVICE_SID_INFO)) {
    text +=
        L"sid type " +
        std::to_wstring(reinterpret_cast<const SERVICE_SID_INFO*>(sid->data())->dwServiceSidType);
  }
  if (auto failure = service_setting(service, SERVICE_CONFIG_FAILURE_ACTIONS)) {
    const auto* actions = reinterpret_cast<const SERVICE_FAILURE_ACTIONSW*>(failure->data());
    text += L"; reset after " + std::to_wstring(actions->dwResetPeriod) + L" s:";
    for (DWORD i = 0; i < actions->cActions; ++i) {
      text += L" " + std::to_wstring(actions->lpsaActions[i].Type) + L" after " +
              std::to_wstring(actions->lpsaActions[i].Delay) + L" ms";
    }
  }
  return text;
}

/// What tindralctl install and the MSI package both give the service.
inline constexpr wchar_t kExpectedPrivilegesAndFailureActions[] =
    L"SeChangeNotifyPrivilege SeTakeOwnershipPrivilege SeRestorePrivilege SeTcbPrivilege "
    L"sid type 1; reset after 86400 s: 1 after 60000 ms 1 after 60000 ms 1 after 60000 ms";

/// The event source's registration: EventMessageFile and TypesSupported, or nothing when the
/// key is missing.
struct EventSource {
  std::wstring message_file;
  DWORD types = 0;
  friend bool operator==(const EventSource&, const EventSource&) = default;
};

inline void PrintTo(const EventSource& source, std::ostream* out) {
  *out << platform::win32::wide_to_utf8_lossy(source.message_file) << ", types " << source.types;
}

inline std::optional<EventSource> event_source(const wchar_t* name) {
  const std::wstring key =
      std::wstring(L"SYSTEM\\CurrentControlSet\\Services\\EventLog\\Application\\") + name;
  wchar_t file[1024] = {};
  DWORD file_size = sizeof(file);
  if (RegGetValueW(HKEY_LOCAL_MACHINE, key.c_str(), L"EventMessageFile",
                   RRF_RT_REG_SZ | RRF_RT_REG_EXPAND_SZ | RRF_NOEXPAND, nullptr, file,
                   &file_size) != ERROR_SUCCESS) {
    return std::nullopt;
  }
  EventSource source{file, 0};
  DWORD types_size = sizeof(source.types);
  RegGetValueW(HKEY_LOCAL_MACHINE, key.c_str(), L"TypesSupported", RRF_RT_REG_DWORD, nullptr,
               &source.types, &types_size);
  return source;
}

}  // namespace tindral::test_support
