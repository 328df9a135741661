#pragma once

#include <string_view>

namespace tindral {

/// The name under which the service is registered with the service manager: the Windows
/// service's name and, natively, the systemd unit's.
inline constexpr std::string_view SERVICE_NAME = "TindralCache";

}  // namespace tindral
