#include "service_log_reader.h"

#include <algorithm>
#include <utility>

#include "config/data_folder.h"
#include "text.h"

namespace tindral {

// A byte that is not UTF-8 (a program that wrote in another encoding, a line cut by a crash)
// becomes U+FFFD rather than hiding the rest, and the service's next write keeps it so, so that
// the log goes on rather than failing every write from then on.
std::vector<std::string> service_log_lines(std::string_view content) {
  const std::string text = text::to_lossy_utf8(content);
  std::vector<std::string> lines;
  for (std::string_view line : text::split_lines(text)) lines.emplace_back(line);
  return lines;
}

Result<std::vector<std::string>> read_service_log(platform::FileSystem& fs, const Path& log) {
  Result<platform::Trust> trust = fs.trust(log);
  if (trust && *trust == platform::Trust::Link) return std::vector<std::string>{};
  Result<std::string> bytes = fs.read_file(log, kMaxServiceLogBytes);
  if (!bytes) {
    if (bytes.error().is_not_found()) return std::vector<std::string>{};
    return std::move(bytes).error().wrap("Failed to read service.log");
  }
  return service_log_lines(*bytes);
}

std::string_view log_message(std::string_view line) {
  if (!line.starts_with('[')) return line;
  const std::size_t end = line.find("] ");
  return end == std::string_view::npos ? line : line.substr(end + 2);
}

std::string_view log_time(std::string_view line) {
  const std::string_view message = log_message(line);
  if (message.size() == line.size()) return {};
  return line.substr(1, line.size() - message.size() - 3);
}

std::vector<std::string> lines_added(const std::vector<std::string>& before,
                                     const std::vector<std::string>& now) {
  for (std::size_t kept = std::min(before.size(), now.size()); kept > 0; --kept) {
    if (std::equal(before.end() - static_cast<std::ptrdiff_t>(kept), before.end(), now.begin())) {
      return {now.begin() + static_cast<std::ptrdiff_t>(kept), now.end()};
    }
  }
  return now;
}

const std::string* last_line_starting(const std::vector<std::string>& lines,
                                      const std::vector<std::string_view>& prefixes) {
  for (auto line = lines.rbegin(); line != lines.rend(); ++line) {
    const std::string_view message = log_message(*line);
    for (std::string_view prefix : prefixes) {
      if (message.starts_with(prefix)) return &*line;
    }
  }
  return nullptr;
}

}  // namespace tindral
