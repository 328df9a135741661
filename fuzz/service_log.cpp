// service.log as the next write finds it: whatever bytes the file holds become lines (those that
// are not UTF-8 as U+FFFD), the new line is added and the last 500 are kept.

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "require.h"
#include "service_log.h"
#include "service_log_reader.h"
#include "text.h"

using namespace tindral;
using fuzz::require;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  constexpr std::string_view kLine = "[2024-05-01 10:00:00] Scan complete";
  const std::string_view bytes(reinterpret_cast<const char*>(data), size);
  const std::string content = service_log_with_line(service_log_lines(bytes), kLine);

  // Valid text whatever came in, ending with the new line, never above the bound.
  require(text::is_valid_utf8(content));
  require(content.ends_with(std::string(kLine) + "\n"));
  const auto lines = static_cast<std::size_t>(std::count(content.begin(), content.end(), '\n'));
  require(lines >= 1 && lines <= MAX_LOG_LINES);
  // A log the service wrote itself keeps every line and gains one, until the bound.
  const auto old_lines = static_cast<std::size_t>(std::count(bytes.begin(), bytes.end(), '\n'));
  const bool own_form = text::is_valid_utf8(bytes) && bytes.find('\r') == std::string_view::npos &&
                        (bytes.empty() || bytes.back() == '\n');
  if (own_form && old_lines < MAX_LOG_LINES) {
    require(content == std::string(bytes) + std::string(kLine) + "\n");
  }
  return 0;
}
