#pragma once

namespace tindral::platform {

/// A wall-clock reading in the machine's time zone.
struct LocalTime {
  int year = 0;
  int month = 0;  ///< 1 to 12
  int day = 0;
  int hour = 0;
  int minute = 0;
  int second = 0;
};

/// The current local time with the platform's own time-zone rules (Windows: GetLocalTime,
/// which follows the system's settings; the C runtime's localtime misreads TZ under Wine).
LocalTime local_time_now();

}  // namespace tindral::platform
