#include "platform/clock.h"

#include <ctime>

namespace tindral::platform {

LocalTime local_time_now() {
  // localtime_r need not look at TZ again after the first call; tzset makes a changed zone count.
  tzset();
  const std::time_t now = std::time(nullptr);
  std::tm parts{};
  // Fails only for times beyond the range of a 32-bit year, which the current time is not.
  localtime_r(&now, &parts);
  return {parts.tm_year + 1900, parts.tm_mon + 1, parts.tm_mday,
          parts.tm_hour,        parts.tm_min,     parts.tm_sec};
}

}  // namespace tindral::platform
