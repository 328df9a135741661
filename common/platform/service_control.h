#pragma once

#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "error.h"
#include "platform/environment.h"
#include "platform/path.h"

namespace tindral::platform {

/// What the service manager says about an installed service.
enum class ServiceState { Stopped, StartPending, StopPending, Running, Other, Unknown };

/// Everything needed to register the service with the service manager.
struct ServiceDefinition {
  std::string name;          ///< the service's (Windows) or unit's (systemd) name
  std::string display_name;  ///< what service lists show
  std::string description;
  Path executable;  ///< started without arguments
  /// Variables set for the service where the manager takes them from its definition (systemd);
  /// a Windows service gets the system's environment.
  std::vector<std::pair<std::string, std::string>> environment;
};

/// Whether the service runs with only the privileges it uses.
enum class PrivilegeLimit {
  Applied,
  /// The service manager knows no such limit (Wine's lacks the required-privileges list and the
  /// service SID type): the service keeps every privilege of its account.
  Unsupported,
};

/// How a stop request went.
enum class StopRequest { Sent, AlreadyStopped, NoServiceManager };

/// The service manager as an administrator uses it: Windows' Service Control Manager, or
/// systemd with the unit file in its administrator folder. Every call fails with
/// ErrorKind::NotFound when the service is not installed and with ErrorKind::AccessDenied when
/// the caller may not do it.
class ServiceControl {
 public:
  virtual ~ServiceControl() = default;

  /// Registers the service as the system's own account and configures it as configure() does.
  virtual Result<PrivilegeLimit> install(const ServiceDefinition& definition) = 0;
  /// Brings a registered service to the definition (for a package that registers the entry
  /// itself): automatic start, the display name and description, a restart a minute after a
  /// failure, and only the privileges the service uses (Windows: its required-privileges list
  /// and an unrestricted service SID; natively the unit's confinement).
  virtual Result<PrivilegeLimit> configure(const ServiceDefinition& definition) = 0;
  /// True when the service is registered.
  virtual Result<bool> installed(std::string_view name) = 0;
  /// The service's current state; Unknown where no service manager runs (a container).
  virtual Result<ServiceState> state(std::string_view name) = 0;
  /// Starts the service (nothing to do when it already runs).
  virtual Result<void> start(std::string_view name) = 0;
  /// Sends the stop control; NoServiceManager where there is none to send it through.
  virtual Result<StopRequest> stop(std::string_view name) = 0;
  /// Removes the registration; a running service goes when it stops.
  virtual Result<void> remove(std::string_view name) = 0;
  /// The program the service manager starts for the service (from the Windows service's command
  /// line; natively the unit's ExecStart=).
  virtual Result<Path> program(std::string_view name) = 0;
};

/// The platform's service manager.
ServiceControl& real_service_control();

/// A variable of the environment the service manager gives a service, which is not the caller's
/// own: on Windows LocalSystem's, built from the system's settings (and Wine's differs from a
/// user process's in ProgramData); natively under systemd the manager's environment with the
/// unit's Environment= lines, and the caller's own where systemd does not run or the unit does
/// not exist yet.
EnvValue service_environment_variable(std::string_view name);

/// A text for the state, as status prints it ("running", "stopped", ...).
std::string_view describe(ServiceState state);

}  // namespace tindral::platform
