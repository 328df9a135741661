#pragma once

#include <chrono>
#include <memory>

namespace tindral::platform {

/// A one-way stop request that one thread raises and another tests or waits on; set from a
/// service control handler, it also ends the worker's sleep early.
class StopSignal {
 public:
  StopSignal();
  ~StopSignal();
  StopSignal(const StopSignal&) = delete;
  StopSignal& operator=(const StopSignal&) = delete;

  /// Raises the request; safe from any thread, more than once.
  void request();
  /// True once request() was called.
  bool requested() const;

  /// The worker's sleep between passes: on Windows a one-shot high-resolution waitable timer
  /// with a relative due time (a plain Sleep when the timer cannot be created, set or waited
  /// on); returns early once the request is raised.
  void sleep_for(std::chrono::milliseconds duration);

  /// The platform layer's own waits (the change watcher's) include the signal through this.
  friend int stop_signal_descriptor(const StopSignal& stop);

 private:
  // The platform layer's own waits (a change watcher's) wait on the request together with their
  // other handles, through what the implementation keeps.
  friend struct StopSignalAccess;
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace tindral::platform
