// The Service Control Manager side of the service host, and the UTF-16 command line.

#include "platform/service_host.h"

#include <atomic>
#include <memory>
#include <optional>
#include <string>

#include "platform/os_error.h"
#include "platform/win32/wide_path.h"
#include "platform/win32/windows_api.h"

// After windows_api.h, which includes <windows.h> with the configuration shellapi.h needs.
#include <shellapi.h>

namespace tindral::platform {
namespace {

// The dispatcher table and the handler registration take bare function pointers without a
// context the service reads, so the two callbacks of the running service live here.
std::atomic<ServiceMain> g_service_main{nullptr};
std::atomic<ControlHandler> g_control_handler{nullptr};

// Taken right after the failed call, before anything else can overwrite the last-error code.
Error winapi_error(DWORD code) { return os_error(code).wrap("IO error in winapi call"); }

DWORD WINAPI control_handler_entry(DWORD control, DWORD /*event_type*/, LPVOID /*event_data*/,
                                   LPVOID /*context*/) {
  const ControlHandler handler = g_control_handler.load();
  return handler != nullptr ? handler(control) : ERROR_CALL_NOT_IMPLEMENTED;
}

class ScmConnection final : public ServiceConnection {
 public:
  Result<void> register_control_handler(std::string_view service_name,
                                        ControlHandler handler) override {
    g_control_handler.store(handler);
    const std::wstring name = win32::wtf8_to_wide(service_name).value_or(std::wstring());
    // The context is never read: the handler keeps no state.
    handle_ = RegisterServiceCtrlHandlerExW(name.c_str(), control_handler_entry, nullptr);
    if (handle_ == nullptr) return winapi_error(GetLastError());
    return {};
  }

  Result<void> report_status(const ServiceStatus& status) override {
    SERVICE_STATUS record{status.service_type,
                          status.current_state,
                          status.controls_accepted,
                          status.win32_exit_code,
                          status.service_specific_exit_code,
                          status.checkpoint,
                          status.wait_hint};
    if (!SetServiceStatus(handle_, &record)) return winapi_error(GetLastError());
    return {};
  }

 private:
  // Never closed: a service status handle has no close call.
  SERVICE_STATUS_HANDLE handle_ = nullptr;
};

// Start arguments are accepted and ignored: the service takes no options.
void WINAPI service_main_entry(DWORD /*argc*/, LPWSTR* /*argv*/) {
  ScmConnection connection;
  g_service_main.load()(connection);
}

struct LocalFreeDeleter {
  void operator()(LPWSTR* block) const { LocalFree(block); }
};

}  // namespace

Result<void> run_service_dispatcher(std::string_view service_name, ServiceMain service_main) {
  g_service_main.store(service_main);
  std::wstring name = win32::wtf8_to_wide(service_name).value_or(std::wstring());
  SERVICE_TABLE_ENTRYW table[] = {{name.data(), service_main_entry}, {nullptr, nullptr}};
  if (!StartServiceCtrlDispatcherW(table)) return winapi_error(GetLastError());
  return {};
}

Result<std::vector<std::string>> command_line_arguments(int /*argc*/, char** /*argv*/) {
  // The C runtime's narrow argv went through the ANSI code page and lost what it cannot show;
  // the UTF-16 command line is the real one.
  int count = 0;
  std::unique_ptr<LPWSTR, LocalFreeDeleter> arguments(
      CommandLineToArgvW(GetCommandLineW(), &count));
  if (!arguments) return last_os_error().wrap("Failed to read the command line");
  std::vector<std::string> texts(static_cast<std::size_t>(count));
  for (int index = 0; index < count; ++index) {
    // An unpaired surrogate makes the argument unusable as text.
    std::optional<std::string> text = win32::wide_to_utf8(arguments.get()[index]);
    if (!text) {
      return Error("Command-line argument " + std::to_string(index) + " is not valid Unicode text");
    }
    texts[static_cast<std::size_t>(index)] = std::move(*text);
  }
  return texts;
}

}  // namespace tindral::platform
