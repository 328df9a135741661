#pragma once

#include <chrono>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>
#include <utility>

namespace tindral::ctl {

/// Runs `work` on a thread of its own and waits for its answer at most `limit`: nothing when it
/// did not come in time. A file system that stops answering (a hung network share, a FUSE
/// server that never replies) blocks the thread that asked in the kernel, where nothing can end
/// the call; that thread is left to finish or to end with the process, holding only what `work`
/// owns, so `work` must capture by value everything but what lives as long as the process.
template <class T>
std::optional<T> within(std::chrono::milliseconds limit, std::function<T()> work) {
  struct Shared {
    std::mutex mutex;
    std::condition_variable done;
    std::optional<T> answer;
  };
  auto shared = std::make_shared<Shared>();
  std::thread([shared, work = std::move(work)] {
    T answer = work();
    const std::lock_guard<std::mutex> lock(shared->mutex);
    shared->answer = std::move(answer);
    shared->done.notify_all();
  }).detach();
  std::unique_lock<std::mutex> lock(shared->mutex);
  shared->done.wait_for(lock, limit, [&] { return shared->answer.has_value(); });
  return std::move(shared->answer);
}

}  // namespace tindral::ctl
