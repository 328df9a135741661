#include "platform/stop_signal.h"

#include <algorithm>
#include <atomic>
#include <cstdint>

#include "platform/win32/stop_event.h"
#include "platform/win32/windows_api.h"

// Windows 10 1803 and later; older SDK headers (mingw-w64 among them) do not name it yet.
#ifndef CREATE_WAITABLE_TIMER_HIGH_RESOLUTION
#define CREATE_WAITABLE_TIMER_HIGH_RESOLUTION 0x00000002
#endif

namespace tindral::platform {

namespace {

// Slices of the fallback sleep: short enough that a stop is seen promptly, long enough that
// the wait costs nothing worth measuring.
constexpr DWORD kFallbackSliceMs = 100;

}  // namespace

struct StopSignal::Impl {
  std::atomic<bool> requested{false};
  // Manual-reset, so that it stays signalled for every later wait. Null when it could not be
  // created; the sleep then polls `requested`.
  win32::ScopedFileHandle event{CreateEventW(nullptr, TRUE, FALSE, nullptr)};
};

StopSignal::StopSignal() : impl_(std::make_unique<Impl>()) {}
StopSignal::~StopSignal() = default;

void StopSignal::request() {
  impl_->requested.store(true);
  if (impl_->event) SetEvent(impl_->event.get());
}

bool StopSignal::requested() const { return impl_->requested.load(); }

struct StopSignalAccess {
  static HANDLE event(const StopSignal& stop) { return stop.impl_->event.get(); }
};

HANDLE win32::stop_event(const StopSignal& stop) { return StopSignalAccess::event(stop); }

namespace {

// A one-shot high-resolution waitable timer with a relative due time, waited on together with
// the stop event. False when the timer cannot be created, set or waited on.
bool wait_on_timer(std::chrono::milliseconds duration, HANDLE stop_event) {
  if (stop_event == nullptr) return false;
  win32::ScopedFileHandle timer(CreateWaitableTimerExW(
      nullptr, nullptr, CREATE_WAITABLE_TIMER_HIGH_RESOLUTION, TIMER_ALL_ACCESS));
  if (!timer) return false;
  // A negative due time is relative, in 100-nanosecond units.
  LARGE_INTEGER due{};
  due.QuadPart = -static_cast<LONGLONG>(duration.count()) * 10'000;
  if (!SetWaitableTimer(timer.get(), &due, 0, nullptr, nullptr, FALSE)) return false;
  const HANDLE handles[2] = {timer.get(), stop_event};
  const DWORD result = WaitForMultipleObjects(2, handles, FALSE, INFINITE);
  return result == WAIT_OBJECT_0 || result == WAIT_OBJECT_0 + 1;
}

// The plain sleep for when the timer is not available. It sleeps in short slices and tests the
// stop request between them, so that a stop still ends it within a fraction of a second; the
// deadline is fixed at the start so the slices do not add up to more than `duration`.
void sleep_in_slices(std::uint64_t deadline_ms, const std::atomic<bool>& requested) {
  for (;;) {
    if (requested.load()) return;
    const std::uint64_t now_ms = GetTickCount64();
    if (now_ms >= deadline_ms) return;
    Sleep(static_cast<DWORD>(std::min<std::uint64_t>(deadline_ms - now_ms, kFallbackSliceMs)));
  }
}

}  // namespace

void StopSignal::sleep_for(std::chrono::milliseconds duration) {
  if (impl_->requested.load()) return;
  const std::uint64_t deadline_ms =
      GetTickCount64() + static_cast<std::uint64_t>(std::max<std::int64_t>(duration.count(), 0));
  if (wait_on_timer(duration, impl_->event.get())) return;
  sleep_in_slices(deadline_ms, impl_->requested);
}

}  // namespace tindral::platform
