// The Service Control Manager as an administrator's tool uses it.

#include "platform/service_control.h"

#include <userenv.h>

#include <iterator>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/os_error.h"
#include "platform/win32/wide_path.h"
#include "platform/win32/windows_api.h"

namespace tindral::platform {
namespace {

constexpr DWORD kStartType = SERVICE_AUTO_START;
constexpr DWORD kErrorControl = SERVICE_ERROR_NORMAL;

// The failure actions: restart after a minute, three times; the count starts again after a day
// without a failure.
constexpr DWORD kRestartDelayMilliseconds = 60'000;
constexpr DWORD kFailureCountResetSeconds = 24 * 60 * 60;
constexpr int kRestartActions = 3;

// The privileges the service uses; the service manager takes every other one of LocalSystem's
// (SeDebug, SeImpersonate, SeLoadDriver, SeBackup and the rest) out of its token.
//  - SeChangeNotifyPrivilege: passing through folders on the way to a root that the service may
//    not list (traverse checking); Windows adds it to every list anyway.
//  - SeTakeOwnershipPrivilege and SeRestorePrivilege: the repair of a data folder that another
//    account owned gives it back to Administrators, with both enabled for the call.
//  - SeTcbPrivilege: WTSQueryUserToken, through which the console user's profile is found by
//    the user's SID, needs it.
// Not SeBackupPrivilege: the walks open folders with FILE_FLAG_BACKUP_SEMANTICS because a folder
// opens no other way, never to read past its permissions, and nothing enables the privilege. Not
// SeSecurityPrivilege: nothing reads or writes a system access-control list (SACL).
constexpr wchar_t kRequiredPrivileges[] =
    L"SeChangeNotifyPrivilege\0"
    L"SeTakeOwnershipPrivilege\0"
    L"SeRestorePrivilege\0"
    L"SeTcbPrivilege\0";

struct ServiceHandleTraits {
  using Handle = SC_HANDLE;
  static Handle invalid() { return nullptr; }
  static bool is_valid(Handle handle) { return handle != nullptr; }
  static void close(Handle handle) { ::CloseServiceHandle(handle); }
};
using ScopedServiceHandle = win32::ScopedHandle<ServiceHandleTraits>;

std::wstring wide(std::string_view text) { return win32::wtf8_to_wide(text).value_or(L""); }

// ERROR_SERVICE_DOES_NOT_EXIST, the ordinary "not installed", is a NotFound error.
Error scm_error(DWORD code, std::string message) { return os_error(code).wrap(std::move(message)); }

Result<ScopedServiceHandle> open_manager(DWORD access) {
  ScopedServiceHandle manager(OpenSCManagerW(nullptr, nullptr, access));
  if (!manager) return scm_error(GetLastError(), "Failed to open the Service Control Manager");
  return manager;
}

Result<ScopedServiceHandle> open_service(std::string_view name, DWORD access) {
  Result<ScopedServiceHandle> manager = open_manager(SC_MANAGER_CONNECT);
  if (!manager) return std::move(manager).error();
  ScopedServiceHandle service(OpenServiceW(manager->get(), wide(name).c_str(), access));
  if (!service) {
    return scm_error(GetLastError(), "Failed to open the service " + std::string(name));
  }
  return service;
}

Result<SERVICE_STATUS_PROCESS> query(SC_HANDLE service) {
  SERVICE_STATUS_PROCESS status{};
  DWORD needed = 0;
  if (!QueryServiceStatusEx(service, SC_STATUS_PROCESS_INFO, reinterpret_cast<BYTE*>(&status),
                            sizeof(status), &needed)) {
    return scm_error(GetLastError(), "Failed to query the service's state");
  }
  return status;
}

ServiceState state_of(DWORD current_state) {
  switch (current_state) {
    case SERVICE_STOPPED:
      return ServiceState::Stopped;
    case SERVICE_START_PENDING:
      return ServiceState::StartPending;
    case SERVICE_STOP_PENDING:
      return ServiceState::StopPending;
    case SERVICE_RUNNING:
      return ServiceState::Running;
    default:
      return ServiceState::Other;
  }
}

Result<void> describe_service(SC_HANDLE service, const std::string& description) {
  std::wstring text = wide(description);
  SERVICE_DESCRIPTIONW info{text.data()};
  if (!ChangeServiceConfig2W(service, SERVICE_CONFIG_DESCRIPTION, &info)) {
    return scm_error(GetLastError(), "Failed to set the service's description");
  }
  return {};
}

Result<void> restart_on_failure(SC_HANDLE service) {
  SC_ACTION actions[kRestartActions];
  for (SC_ACTION& action : actions) action = {SC_ACTION_RESTART, kRestartDelayMilliseconds};
  SERVICE_FAILURE_ACTIONSW info{};
  info.dwResetPeriod = kFailureCountResetSeconds;
  info.cActions = kRestartActions;
  info.lpsaActions = actions;
  if (!ChangeServiceConfig2W(service, SERVICE_CONFIG_FAILURE_ACTIONS, &info)) {
    return scm_error(GetLastError(), "Failed to set the service's failure actions");
  }
  return {};
}

Result<void> start_automatically(SC_HANDLE service, const std::string& display_name) {
  if (!ChangeServiceConfigW(service, SERVICE_NO_CHANGE, kStartType, kErrorControl, nullptr, nullptr,
                            nullptr, nullptr, nullptr, nullptr, wide(display_name).c_str())) {
    return scm_error(GetLastError(), "Failed to set the service's start type");
  }
  return {};
}

// ERROR_INVALID_LEVEL is a service manager that does not know the setting (Wine's); Windows has
// known both since Vista.
Result<PrivilegeLimit> limit_privileges(SC_HANDLE service) {
  // Its own SID in its token, so that permissions can name the service alone.
  SERVICE_SID_INFO sid{SERVICE_SID_TYPE_UNRESTRICTED};
  if (!ChangeServiceConfig2W(service, SERVICE_CONFIG_SERVICE_SID_INFO, &sid)) {
    const DWORD code = GetLastError();
    if (code == ERROR_INVALID_LEVEL) return PrivilegeLimit::Unsupported;
    return scm_error(code, "Failed to set the service's SID type");
  }
  std::wstring privileges(std::begin(kRequiredPrivileges), std::end(kRequiredPrivileges));
  SERVICE_REQUIRED_PRIVILEGES_INFOW required{privileges.data()};
  if (!ChangeServiceConfig2W(service, SERVICE_CONFIG_REQUIRED_PRIVILEGES_INFO, &required)) {
    const DWORD code = GetLastError();
    if (code == ERROR_INVALID_LEVEL) return PrivilegeLimit::Unsupported;
    return scm_error(code, "Failed to set the service's required privileges");
  }
  return PrivilegeLimit::Applied;
}

// Everything but the entry itself, so that a service the MSI package registered ends up as one
// that tindralctl install registered.
Result<PrivilegeLimit> configure_service(SC_HANDLE service, const ServiceDefinition& definition) {
  if (auto started = start_automatically(service, definition.display_name); !started) {
    return std::move(started).error();
  }
  if (auto described = describe_service(service, definition.description); !described) {
    return std::move(described).error();
  }
  if (auto restarting = restart_on_failure(service); !restarting) {
    return std::move(restarting).error();
  }
  return limit_privileges(service);
}

// The program a service's command line starts: the quoted first word (as install and the package
// write it), or the whole line of an entry written without quotes.
std::wstring program_of_command_line(std::wstring_view line) {
  if (line.starts_with(L'"')) {
    line.remove_prefix(1);
    return std::wstring(line.substr(0, line.find(L'"')));
  }
  return std::wstring(line);
}

class ScmServiceControl final : public ServiceControl {
 public:
  Result<PrivilegeLimit> install(const ServiceDefinition& definition) override {
    Result<ScopedServiceHandle> manager = open_manager(SC_MANAGER_CREATE_SERVICE);
    if (!manager) return std::move(manager).error();
    // Quoted, so that a space in the folder cannot make the manager start another program.
    const std::wstring command_line = L"\"" + wide(definition.executable.bytes()) + L"\"";
    // No account name: LocalSystem.
    ScopedServiceHandle service(CreateServiceW(
        manager->get(), wide(definition.name).c_str(), wide(definition.display_name).c_str(),
        SERVICE_ALL_ACCESS, SERVICE_WIN32_OWN_PROCESS, kStartType, kErrorControl,
        command_line.c_str(), nullptr, nullptr, nullptr, nullptr, nullptr));
    if (!service) return scm_error(GetLastError(), "Failed to create the service");
    return configure_service(service.get(), definition);
  }

  Result<PrivilegeLimit> configure(const ServiceDefinition& definition) override {
    // SERVICE_START as well: failure actions that restart the service need it.
    Result<ScopedServiceHandle> service =
        open_service(definition.name, SERVICE_CHANGE_CONFIG | SERVICE_START);
    if (!service) return std::move(service).error();
    return configure_service(service->get(), definition);
  }

  Result<bool> installed(std::string_view name) override {
    Result<ScopedServiceHandle> service = open_service(name, SERVICE_QUERY_STATUS);
    if (service) return true;
    if (service.error().is_not_found()) return false;
    return std::move(service).error();
  }

  Result<ServiceState> state(std::string_view name) override {
    Result<ScopedServiceHandle> service = open_service(name, SERVICE_QUERY_STATUS);
    if (!service) return std::move(service).error();
    Result<SERVICE_STATUS_PROCESS> status = query(service->get());
    if (!status) return std::move(status).error();
    return state_of(status->dwCurrentState);
  }

  Result<void> start(std::string_view name) override {
    Result<ScopedServiceHandle> service = open_service(name, SERVICE_START);
    if (!service) return std::move(service).error();
    if (!StartServiceW(service->get(), 0, nullptr)) {
      const DWORD code = GetLastError();
      if (code != ERROR_SERVICE_ALREADY_RUNNING) {
        return scm_error(code, "Failed to start the service");
      }
    }
    return {};
  }

  Result<StopRequest> stop(std::string_view name) override {
    Result<ScopedServiceHandle> service = open_service(name, SERVICE_STOP);
    if (!service) return std::move(service).error();
    SERVICE_STATUS status{};
    if (ControlService(service->get(), SERVICE_CONTROL_STOP, &status)) return StopRequest::Sent;
    const DWORD code = GetLastError();
    if (code == ERROR_SERVICE_NOT_ACTIVE) return StopRequest::AlreadyStopped;
    return scm_error(code, "Failed to send the stop control");
  }

  Result<Path> program(std::string_view name) override {
    Result<ScopedServiceHandle> service = open_service(name, SERVICE_QUERY_CONFIG);
    if (!service) return std::move(service).error();
    DWORD needed = 0;
    QueryServiceConfigW(service->get(), nullptr, 0, &needed);
    if (GetLastError() != ERROR_INSUFFICIENT_BUFFER) {
      return scm_error(GetLastError(), "Failed to read the service's configuration");
    }
    std::vector<unsigned char> buffer(needed);
    auto* config = reinterpret_cast<QUERY_SERVICE_CONFIGW*>(buffer.data());
    if (!QueryServiceConfigW(service->get(), config, needed, &needed)) {
      return scm_error(GetLastError(), "Failed to read the service's configuration");
    }
    return Path(win32::wide_to_wtf8(program_of_command_line(config->lpBinaryPathName)));
  }

  Result<void> remove(std::string_view name) override {
    Result<ScopedServiceHandle> service = open_service(name, DELETE);
    if (!service) return std::move(service).error();
    if (!DeleteService(service->get())) {
      return scm_error(GetLastError(), "Failed to delete the service");
    }
    return {};
  }
};

}  // namespace

ServiceControl& real_service_control() {
  static ScmServiceControl control;
  return control;
}

namespace {

// A LocalSystem service gets the machine's variables and those of LocalSystem's own profile,
// none of whoever asks (an administrator's %OneDrive%, a TEMP inside their profile).
// CreateEnvironmentBlock without a token builds the first ("system variables only"); of the
// second, USERPROFILE is the one a root line may need, and the profile list names it.
constexpr wchar_t kLocalSystemProfileKey[] =
    L"SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion\\ProfileList\\S-1-5-18";

EnvValue local_system_profile() {
  std::wstring folder(MAX_PATH, L'\0');
  auto size = static_cast<DWORD>(folder.size() * sizeof(wchar_t));
  // RRF_RT_REG_SZ also takes the usual REG_EXPAND_SZ, expanded.
  if (RegGetValueW(HKEY_LOCAL_MACHINE, kLocalSystemProfileKey, L"ProfileImagePath", RRF_RT_REG_SZ,
                   nullptr, folder.data(), &size) != ERROR_SUCCESS ||
      size < sizeof(wchar_t)) {
    return {};
  }
  folder.resize(size / sizeof(wchar_t) - 1);
  const std::optional<std::string> value = win32::wide_to_utf8(folder);
  if (!value) return {EnvValue::State::NotUnicode, {}};
  return {EnvValue::State::Present, *value};
}

}  // namespace

EnvValue service_environment_variable(std::string_view name) {
  if (CompareStringOrdinal(wide(name).c_str(), -1, L"USERPROFILE", -1, TRUE) == CSTR_EQUAL) {
    if (EnvValue profile = local_system_profile(); profile.present()) return profile;
  }
  EnvValue result;
  void* block = nullptr;
  if (!CreateEnvironmentBlock(&block, nullptr, FALSE)) return get_env(name);
  const std::wstring wanted = wide(name) + L"=";
  for (const wchar_t* entry = static_cast<const wchar_t*>(block); *entry != L'\0';
       entry += wcslen(entry) + 1) {
    const std::wstring_view text(entry);
    if (text.size() < wanted.size()) continue;
    // Windows compares variable names without regard to case.
    if (CompareStringOrdinal(text.data(), static_cast<int>(wanted.size()), wanted.data(),
                             static_cast<int>(wanted.size()), TRUE) != CSTR_EQUAL) {
      continue;
    }
    const std::optional<std::string> value = win32::wide_to_utf8(text.substr(wanted.size()));
    result.state = value ? EnvValue::State::Present : EnvValue::State::NotUnicode;
    if (value) result.value = *value;
    break;
  }
  DestroyEnvironmentBlock(block);
  return result;
}

}  // namespace tindral::platform
