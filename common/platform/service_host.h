#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "error.h"

namespace tindral::platform {

/// Values of the service status record and of service controls, with the numbers the Windows
/// Service Control Manager gives them; the POSIX host maps them onto its own service manager.
inline constexpr std::uint32_t kServiceWin32OwnProcess = 0x10;
inline constexpr std::uint32_t kServiceStopped = 1;
inline constexpr std::uint32_t kServiceRunning = 4;
inline constexpr std::uint32_t kServiceAcceptStop = 1;
inline constexpr std::uint32_t kServiceControlStop = 1;
inline constexpr std::uint32_t kServiceControlInterrogate = 4;
inline constexpr std::uint32_t kNoError = 0;
inline constexpr std::uint32_t kErrorCallNotImplemented = 120;

/// One status report, field for field the Windows SERVICE_STATUS record.
struct ServiceStatus {
  std::uint32_t service_type = 0;
  std::uint32_t current_state = 0;
  std::uint32_t controls_accepted = 0;
  std::uint32_t win32_exit_code = 0;
  std::uint32_t service_specific_exit_code = 0;
  std::uint32_t checkpoint = 0;
  std::uint32_t wait_hint = 0;

  friend bool operator==(const ServiceStatus&, const ServiceStatus&) = default;
};

/// Answers one control of the service manager; runs on the dispatcher thread and keeps no state
/// of its own, so a plain function is all it can be.
using ControlHandler = std::uint32_t (*)(std::uint32_t control);

/// The service's side of its link to the service manager, handed to the service main function.
class ServiceConnection {
 public:
  virtual ~ServiceConnection() = default;
  /// Registers the control handler under the service's name (RegisterServiceCtrlHandlerExW).
  virtual Result<void> register_control_handler(std::string_view service_name,
                                                ControlHandler handler) = 0;
  /// Reports a status (SetServiceStatus); only valid after the handler was registered.
  virtual Result<void> report_status(const ServiceStatus& status) = 0;
};

/// The service main function: runs on a thread of its own while the dispatcher waits.
using ServiceMain = void (*)(ServiceConnection& connection);

/// Hands the process to the service manager and returns once the service has reported itself
/// stopped. Windows: StartServiceCtrlDispatcherW with `service_name` and `service_main`, failing
/// with "IO error in winapi call" outside the Service Control Manager. POSIX: recognises a start
/// by systemd (INVOCATION_ID or NOTIFY_SOCKET set), runs `service_main` on a second thread and
/// turns SIGTERM into the stop control; started any other way it fails with "Not started by a
/// service manager".
Result<void> run_service_dispatcher(std::string_view service_name, ServiceMain service_main);

/// The command-line arguments as UTF-8 texts, the program path first. Windows reads the
/// process's UTF-16 command line (CommandLineToArgvW) and ignores `argv`; POSIX takes the bytes
/// of `argv`. An argument that is not valid Unicode is an error.
Result<std::vector<std::string>> command_line_arguments(int argc, char** argv);

}  // namespace tindral::platform
