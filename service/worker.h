#pragma once

#include <chrono>
#include <functional>
#include <memory>

#include "platform/change_watch.h"
#include "platform/file_system.h"
#include "platform/path.h"
#include "platform/stop_signal.h"

namespace tindral {

/// Time between the stop test and the rest of each pass.
inline constexpr std::chrono::seconds POLL_INTERVAL{30};

/// What the worker loop takes from outside. The product uses production_worker_setup(); tests
/// supply their own data folder, clock and sleep so that many passes run in milliseconds.
struct WorkerSetup {
  platform::FileSystem* fs = nullptr;
  Path data_folder;
  std::function<std::chrono::steady_clock::time_point()> now;
  /// Sleeps POLL_INTERVAL (or returns early once a stop is requested).
  std::function<void(std::chrono::milliseconds)> sleep;
  /// Raised by the service control handler; the loop leaves at its next stop test.
  platform::StopSignal* stop = nullptr;
  /// The icon that replaces a folder.ico of the data folder that does not count.
  Path default_icon;
  /// Tells the worker about changes below the roots between passes; without one (or with
  /// watch=off in settings.txt) only the periodic rescans find them.
  std::shared_ptr<platform::ChangeWatcher> watcher;
};

/// The real file system, data_folder(), the monotonic clock, the platform's sleep, the
/// folder.ico beside the service's program and the platform's change watcher.
WorkerSetup production_worker_setup(platform::StopSignal& stop);

/// The body of the service: start-up scan, then a pass every POLL_INTERVAL until stop.flag is
/// found or a stop is requested. Between passes it waits for changes below the roots and acts
/// on them, unless paused, cleaning up or unsure of its data folder.
void run_service_loop(const WorkerSetup& setup);

}  // namespace tindral
