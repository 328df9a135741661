#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

#include "error.h"
#include "platform/file_system.h"
#include "platform/path.h"

namespace tindral {

/// service.log keeps only this many of its most recent lines.
inline constexpr std::size_t MAX_LOG_LINES = 500;

/// service.log's next content: the `existing` lines (as read_service_log gives them) followed
/// by the lines of `line`, the last MAX_LOG_LINES of them, each ended by a line feed.
std::string service_log_with_line(const std::vector<std::string>& existing, std::string_view line);

/// Appends "[local time] message" to service.log, keeping the last MAX_LOG_LINES lines, and
/// creates the folder that holds it when missing. The file is replaced as a whole, so a failure
/// leaves the previous content.
Result<void> append_service_log(platform::FileSystem& fs, const Path& log_path,
                                std::string_view message);

}  // namespace tindral
