#pragma once

#include <cstddef>
#include <string>
#include <string_view>

#include "error.h"
#include "platform/file_system.h"
#include "platform/path.h"

namespace tindral {

/// service.log keeps only this many of its most recent lines.
inline constexpr std::size_t MAX_LOG_LINES = 500;

/// service.log's next content: the lines of `existing` (what the file holds, bytes that are not
/// UTF-8 replaced by U+FFFD) followed by the lines of `line`, the last MAX_LOG_LINES of them,
/// each ended by a line feed.
std::string service_log_with_line(std::string_view existing, std::string_view line);

/// Appends "[local time] message" to service.log, keeping the last MAX_LOG_LINES lines, and
/// creates the folder that holds it when missing. The file is replaced as a whole, so a failure
/// leaves the previous content.
Result<void> append_service_log(platform::FileSystem& fs, const Path& log_path,
                                std::string_view message);

}  // namespace tindral
