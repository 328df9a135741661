#pragma once

#include <gtest/gtest.h>

#include <regex>
#include <string>
#include <string_view>
#include <vector>

namespace tindral::test_support {

/// The messages of service.log content: every line must carry the "[YYYY-MM-DD HH:MM:SS] "
/// prefix (a test failure otherwise), which is stripped, and the content must end with a line
/// feed.
inline std::vector<std::string> service_log_messages(std::string_view content) {
  static const std::regex kLine(R"(\[\d{4}-\d{2}-\d{2} \d{2}:\d{2}:\d{2}\] (.*))");
  std::vector<std::string> messages;
  if (content.empty()) return messages;
  EXPECT_EQ(content.back(), '\n') << "service.log does not end with a line feed";
  std::size_t begin = 0;
  while (begin < content.size()) {
    std::size_t end = content.find('\n', begin);
    if (end == std::string_view::npos) end = content.size();
    const std::string line(content.substr(begin, end - begin));
    std::smatch match;
    if (std::regex_match(line, match, kLine)) {
      messages.push_back(match[1]);
    } else {
      ADD_FAILURE() << "service.log line without a timestamp prefix: " << line;
    }
    begin = end + 1;
  }
  return messages;
}

/// `message` with the elapsed time of a "took 1.23s" ending replaced by "took #.##s" (one or two
/// decimals as found), after checking its form, so that tests can compare whole messages.
inline std::string mask_elapsed(std::string message) {
  static const std::regex kElapsed(R"(took \d+\.(\d+)s$)");
  std::smatch match;
  if (!std::regex_search(message, match, kElapsed)) return message;
  const std::string decimals(match[1].length(), '#');
  return message.substr(0, static_cast<std::size_t>(match.position(0))) + "took #." + decimals +
         "s";
}

}  // namespace tindral::test_support
