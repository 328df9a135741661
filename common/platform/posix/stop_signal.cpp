#include "platform/stop_signal.h"

#include <sys/eventfd.h>
#include <unistd.h>

#include <condition_variable>
#include <cstdint>
#include <mutex>

#include "platform/posix/descriptors.h"

namespace tindral::platform {

struct StopSignal::Impl {
  Impl() : raised_fd(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {}
  ~Impl() {
    if (raised_fd >= 0) ::close(raised_fd);
  }
  Impl(const Impl&) = delete;
  Impl& operator=(const Impl&) = delete;

  mutable std::mutex mutex;
  std::condition_variable raised;
  bool requested = false;
  // Never read from: once written it stays readable, so every later poll() sees the request too.
  int raised_fd;
};

StopSignal::StopSignal() : impl_(std::make_unique<Impl>()) {}
StopSignal::~StopSignal() = default;

void StopSignal::request() {
  {
    std::lock_guard<std::mutex> lock(impl_->mutex);
    impl_->requested = true;
  }
  impl_->raised.notify_all();
  if (impl_->raised_fd >= 0) {
    const std::uint64_t one = 1;
    // A full counter (after 2^64-2 requests) is still readable: the failure changes nothing.
    [[maybe_unused]] const ssize_t written = ::write(impl_->raised_fd, &one, sizeof one);
  }
}

bool StopSignal::requested() const {
  std::lock_guard<std::mutex> lock(impl_->mutex);
  return impl_->requested;
}

void StopSignal::sleep_for(std::chrono::milliseconds duration) {
  std::unique_lock<std::mutex> lock(impl_->mutex);
  // The predicate makes spurious wake-ups harmless and a request made before the call count.
  impl_->raised.wait_for(lock, duration, [this] { return impl_->requested; });
}

int stop_signal_descriptor(const StopSignal& stop) { return stop.impl_->raised_fd; }

}  // namespace tindral::platform
