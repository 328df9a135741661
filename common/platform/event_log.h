#pragma once

#include <string_view>

#include "error.h"
#include "platform/path.h"

namespace tindral::platform {

/// How grave an event of the system's event log is.
enum class EventType { Warning, Error };

/// Writes `message` to the system's event log under `source`: on Windows the Application log,
/// where Event Viewer shows the text through the message table of the source's program; natively
/// nothing, since the journal already keeps the structured log the message came through.
Result<void> report_event(std::string_view source, EventType type, std::string_view message);

/// Makes `source` known to the system's event log with `message_file` as the program whose
/// message table holds the texts (Windows: EventMessageFile and TypesSupported below
/// HKLM\SYSTEM\CurrentControlSet\Services\EventLog\Application); an existing registration is
/// brought up to date. Natively nothing to do.
Result<void> register_event_source(std::string_view source, const Path& message_file);

/// Removes what register_event_source made; nothing to remove is no error.
Result<void> unregister_event_source(std::string_view source);

}  // namespace tindral::platform
