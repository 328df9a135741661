// Natively the structured log goes to the journal (journalctl -u TindralCache), warnings and
// errors with their levels: there is no second event log to feed or register with.

#include "platform/event_log.h"

namespace tindral::platform {

Result<void> report_event(std::string_view, EventType, std::string_view) { return {}; }

Result<void> register_event_source(std::string_view, const Path&) { return {}; }

Result<void> unregister_event_source(std::string_view) { return {}; }

}  // namespace tindral::platform
