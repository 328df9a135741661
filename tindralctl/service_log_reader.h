#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "error.h"
#include "platform/file_system.h"
#include "platform/path.h"

namespace tindral::ctl {

/// The lines of service.log as they stand ("[local time] message" each); none when the file does
/// not exist yet.
Result<std::vector<std::string>> read_service_log(platform::FileSystem& fs, const Path& log);

/// A line's message, without its "[local time] " prefix.
std::string_view log_message(std::string_view line);

/// The lines of `now` that `before` did not have. The service rewrites the file with its last
/// 500 lines, so `now` is a tail of `before` followed by the new lines; the longest such tail is
/// taken.
std::vector<std::string> lines_added(const std::vector<std::string>& before,
                                     const std::vector<std::string>& now);

/// The last line whose message starts with one of `prefixes`, or nothing.
const std::string* last_line_starting(const std::vector<std::string>& lines,
                                      const std::vector<std::string_view>& prefixes);

}  // namespace tindral::ctl
