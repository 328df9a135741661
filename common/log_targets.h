#pragma once

#include <string_view>

namespace tindral::log {

/// The targets of the service's log lines: the part of the service an event comes from.

/// The service main function (started, stopped, its errors) and console mode's first line.
inline constexpr std::string_view kTargetService = "TindralService";
/// The worker: every line it also keeps in service.log, and console mode's own lines.
inline constexpr std::string_view kTargetServiceImpl = "TindralService::service_impl";
/// Scans and cleanups, and the warnings for the roots of config.txt they skip.
inline constexpr std::string_view kTargetScanner = "TindralService::scanner";

}  // namespace tindral::log
