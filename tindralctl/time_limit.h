#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>
#include <utility>

namespace tindral::ctl {

/// Runs `work` on a thread of its own, for work that may rightly take long: it is waited for as
/// long as it makes progress, which it reports by calling the step it is given, and nothing is
/// returned once `stall_limit` passes without a step. A file system that stops answering (a hung
/// network share, a FUSE server that never replies) blocks the thread that asked in the kernel,
/// where nothing can end the call; that thread is left to finish or to end with the process,
/// holding only what `work` owns, so `work` must capture by value everything but what lives as
/// long as the process.
template <class T>
std::optional<T> while_progressing(std::chrono::milliseconds stall_limit,
                                   std::function<T(const std::function<void()>& step)> work) {
  struct Shared {
    std::mutex mutex;
    std::condition_variable changed;
    std::uint64_t steps = 0;
    std::optional<T> answer;
  };
  auto shared = std::make_shared<Shared>();
  std::thread worker([shared, work = std::move(work)] {
    const std::function<void()> step = [&shared] {
      const std::lock_guard<std::mutex> lock(shared->mutex);
      ++shared->steps;
      shared->changed.notify_all();
    };
    T answer = work(step);
    const std::lock_guard<std::mutex> lock(shared->mutex);
    shared->answer = std::move(answer);
    shared->changed.notify_all();
  });
  std::unique_lock<std::mutex> lock(shared->mutex);
  bool stalled = false;
  for (std::uint64_t seen = shared->steps; !shared->answer && !stalled; seen = shared->steps) {
    stalled = !shared->changed.wait_for(
        lock, stall_limit, [&] { return shared->answer.has_value() || shared->steps != seen; });
  }
  lock.unlock();
  // A worker that answered has nothing left but to end, and is waited for; only one that stalled
  // is let go. A thread detached the moment it is made was seen, with mingw-w64's thread library
  // under Wine, to end without ever running its work (about one check in a few hundred, reported
  // as a root not answering), so no thread is detached before it has long been running.
  if (stalled) {
    worker.detach();
    return std::nullopt;
  }
  worker.join();
  return std::move(shared->answer);
}

/// Runs `work` as `while_progressing` does, waiting for its answer at most `limit`: nothing when
/// it did not come in time.
template <class T>
std::optional<T> within(std::chrono::milliseconds limit, std::function<T()> work) {
  return while_progressing<T>(
      limit, [work = std::move(work)](const std::function<void()>&) { return work(); });
}

}  // namespace tindral::ctl
