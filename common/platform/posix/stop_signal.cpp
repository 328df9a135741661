#include "platform/stop_signal.h"

#include <condition_variable>
#include <mutex>

namespace tindral::platform {

struct StopSignal::Impl {
  mutable std::mutex mutex;
  std::condition_variable raised;
  bool requested = false;
};

StopSignal::StopSignal() : impl_(std::make_unique<Impl>()) {}
StopSignal::~StopSignal() = default;

void StopSignal::request() {
  {
    std::lock_guard<std::mutex> lock(impl_->mutex);
    impl_->requested = true;
  }
  impl_->raised.notify_all();
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

}  // namespace tindral::platform
