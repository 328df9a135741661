#include "platform/clock.h"

#include "platform/win32/windows_api.h"

namespace tindral::platform {

// GetLocalTime applies the machine's time zone and daylight-saving rules (under Wine it follows
// TZ, which the C runtime's localtime_s misreads there).
LocalTime local_time_now() {
  SYSTEMTIME now{};
  GetLocalTime(&now);
  return {now.wYear, now.wMonth, now.wDay, now.wHour, now.wMinute, now.wSecond};
}

}  // namespace tindral::platform
