#include "platform/service_control.h"

namespace tindral::platform {

std::string_view describe(ServiceState state) {
  switch (state) {
    case ServiceState::Stopped:
      return "stopped";
    case ServiceState::StartPending:
      return "starting";
    case ServiceState::StopPending:
      return "stopping";
    case ServiceState::Running:
      return "running";
    case ServiceState::Other:
      return "paused or changing";
    case ServiceState::Unknown:
      break;
  }
  return "unknown (no service manager runs here)";
}

}  // namespace tindral::platform
