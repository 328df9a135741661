#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "error.h"
#include "platform/file_system.h"
#include "platform/path.h"

namespace tindral {

/// The lines of service.log's content ("[local time] message" each): bytes that are not UTF-8
/// shown as U+FFFD, split at each line feed with a carriage return before it dropped; a final
/// line feed ends the last line rather than starting an empty one.
std::vector<std::string> service_log_lines(std::string_view content);

/// The lines of service.log as they stand, read up to its bound; none when the file does not
/// exist yet, or when a link stands in its place (what a link names is not the log, and the
/// service, which may read anything, must not copy it into a log everybody may read). The
/// service reads the log this way before each write, tindralctl to show and follow it.
Result<std::vector<std::string>> read_service_log(platform::FileSystem& fs, const Path& log);

/// A line's message, without its "[local time] " prefix.
std::string_view log_message(std::string_view line);

/// A line's local time, the text between its brackets; empty for a line without one.
std::string_view log_time(std::string_view line);

/// The lines of `now` that `before` did not have. The service rewrites the file with its last
/// 500 lines, so `now` is a tail of `before` followed by the new lines; the longest such tail is
/// taken.
std::vector<std::string> lines_added(const std::vector<std::string>& before,
                                     const std::vector<std::string>& now);

/// The last line whose message starts with one of `prefixes`, or nothing.
const std::string* last_line_starting(const std::vector<std::string>& lines,
                                      const std::vector<std::string_view>& prefixes);

}  // namespace tindral
