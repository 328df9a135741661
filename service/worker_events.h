#pragma once

#include <optional>
#include <string_view>

#include "log.h"

namespace tindral {

/// How grave one of the worker's messages is to whoever watches the machine through its event
/// log: Error or Warn for the messages that also go there, nothing for the informational rest.
/// The worker logs every message at the informational level in the structured log and
/// service.log all the same; this is the one place that decides the event log's level.
std::optional<log::Level> worker_event_level(std::string_view message);

}  // namespace tindral
