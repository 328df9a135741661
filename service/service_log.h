#pragma once

#include <cstddef>
#include <string_view>

#include "error.h"
#include "platform/file_system.h"
#include "platform/path.h"

namespace tindral {

/// service.log keeps only this many of its most recent lines.
inline constexpr std::size_t MAX_LOG_LINES = 500;

/// Appends "[local time] message" to service.log, keeping the last MAX_LOG_LINES lines, and
/// creates the folder that holds it when missing. The file is replaced as a whole, so a failure
/// leaves the previous content; a file that is not UTF-8 is never rewritten.
Result<void> append_service_log(platform::FileSystem& fs, const Path& log_path,
                                std::string_view message);

}  // namespace tindral
