// The Windows watcher: the change journal of each volume that holds a root and keeps one, else
// ReadDirectoryChangesW on the root. Every read is overlapped, so the wait sleeps in the kernel
// on the readers' events and the stop request's together.

#include "platform/change_watch.h"

#include <algorithm>
#include <map>
#include <utility>

#include "log.h"
#include "log_targets.h"
#include "platform/held_changes.h"
#include "platform/win32/change_watch_readers.h"
#include "platform/win32/folder_handle.h"
#include "platform/win32/stop_event.h"
#include "platform/win32/wide_path.h"

namespace tindral::platform {

namespace {

using win32::ChangeReader;

// Changes held between two takes, over all roots; beyond it a root's changes become one Rescan.
constexpr std::size_t kMaxHeldChanges = 4096;

// WaitForMultipleObjects waits on at most MAXIMUM_WAIT_OBJECTS handles, one of them the stop
// request's.
constexpr std::size_t kMaxReaders = MAXIMUM_WAIT_OBJECTS - 1;

// When the stop request has no event to wait on, the wait looks at it this often.
constexpr DWORD kStopPollMs = 100;

void log_unwatched(const RootToWatch& root, const Error& error) {
  log::info(log::kTargetScanner, "Changes below " + root.location.display() +
                                     " are found by the interval rescans only: " + error.message());
}

class Win32ChangeWatcher final : public ChangeWatcher {
 public:
  std::vector<ChangeSource> watch(std::vector<RootToWatch> roots) override {
    readers_.clear();
    roots_ = std::move(roots);
    held_.reset(roots_.size());
    sources_.assign(roots_.size(), ChangeSource::None);
    std::map<DWORD, std::vector<std::size_t>> by_volume;
    std::vector<std::size_t> without_journal;
    for (std::size_t root = 0; root < roots_.size(); ++root) {
      if (handle(root) == nullptr) {
        log_unwatched(roots_[root], Error("the root is not open"));
        continue;
      }
      if (const std::optional<DWORD> volume = win32::journal_volume(handle(root))) {
        by_volume[*volume].push_back(root);
      } else {
        without_journal.push_back(root);
      }
    }
    for (const auto& [volume, on_volume] : by_volume) {
      if (!read_journal(on_volume)) {
        without_journal.insert(without_journal.end(), on_volume.begin(), on_volume.end());
      }
    }
    std::sort(without_journal.begin(), without_journal.end());
    for (const std::size_t root : without_journal) watch_directory(root);
    return sources_;
  }

  WakeReason wait(std::chrono::milliseconds timeout, const StopSignal& stop) override {
    // Within a century, so that the longest timeout cannot wrap the deadline round.
    constexpr std::int64_t kLongestWaitMs = 100LL * 365 * 24 * 60 * 60 * 1000;
    const ULONGLONG deadline = GetTickCount64() + static_cast<ULONGLONG>(std::clamp<std::int64_t>(
                                                      timeout.count(), 0, kLongestWaitMs));
    const HANDLE stop_event = win32::stop_event(stop);
    for (;;) {
      if (stop.requested()) return WakeReason::Stop;
      if (!held_.empty()) return WakeReason::Changes;
      const ULONGLONG now = GetTickCount64();
      if (now >= deadline) return WakeReason::Timeout;
      std::vector<HANDLE> handles;
      if (stop_event != nullptr) handles.push_back(stop_event);
      for (const auto& reader : readers_) handles.push_back(reader->event());
      DWORD wait_ms = static_cast<DWORD>(std::min<ULONGLONG>(deadline - now, INFINITE - 1));
      if (stop_event == nullptr) wait_ms = std::min(wait_ms, kStopPollMs);
      if (handles.empty()) {
        Sleep(wait_ms);
        continue;
      }
      const DWORD result = WaitForMultipleObjects(static_cast<DWORD>(handles.size()),
                                                  handles.data(), FALSE, wait_ms);
      if (result == WAIT_FAILED) {
        Sleep(std::min(wait_ms, kStopPollMs));
        continue;
      }
      if (result != WAIT_TIMEOUT) read_completed();
    }
  }

  void take(std::vector<Change>& out) override { held_.take(out); }

 private:
  HANDLE handle(std::size_t root) const {
    return roots_[root].folder ? win32::folder_handle(*roots_[root].folder) : nullptr;
  }

  bool read_journal(const std::vector<std::size_t>& on_volume) {
    if (readers_.size() >= kMaxReaders) return false;
    std::vector<win32::JournalRoot> journal_roots;
    for (const std::size_t root : on_volume) {
      std::optional<std::wstring> location = win32::wtf8_to_wide(roots_[root].location.bytes());
      if (!location) return false;
      journal_roots.push_back({root, std::move(*location)});
    }
    Result<std::unique_ptr<ChangeReader>> reader =
        win32::read_journal(handle(on_volume.front()), std::move(journal_roots));
    if (!reader) {
      log::debug(log::kTargetScanner,
                 "The change journal cannot be read: " + reader.error().message());
      return false;
    }
    readers_.push_back(std::move(reader).value());
    for (const std::size_t root : on_volume) sources_[root] = ChangeSource::UsnJournal;
    return true;
  }

  void watch_directory(std::size_t root) {
    if (readers_.size() >= kMaxReaders) {
      log_unwatched(roots_[root], Error("too many roots without a change journal to watch"));
      return;
    }
    Result<std::unique_ptr<ChangeReader>> reader = win32::watch_directory(root, handle(root));
    if (!reader) {
      log_unwatched(roots_[root], reader.error());
      return;
    }
    readers_.push_back(std::move(reader).value());
    sources_[root] = ChangeSource::DirectoryChanges;
  }

  // Every reader whose read has completed, not only the first WaitForMultipleObjects names, so
  // that a busy root does not starve the others. A journal that is gone leaves its roots to
  // ReadDirectoryChangesW.
  void read_completed() {
    std::vector<std::size_t> left_by_journal;
    for (std::size_t i = 0; i < readers_.size();) {
      ChangeReader& reader = *readers_[i];
      if (WaitForSingleObject(reader.event(), 0) != WAIT_OBJECT_0 || reader.read_on(held_)) {
        ++i;
        continue;
      }
      for (const std::size_t root : reader.roots()) sources_[root] = ChangeSource::None;
      if (reader.source() == ChangeSource::UsnJournal) {
        const std::vector<std::size_t> roots = reader.roots();
        left_by_journal.insert(left_by_journal.end(), roots.begin(), roots.end());
      }
      readers_.erase(readers_.begin() + static_cast<std::ptrdiff_t>(i));
    }
    for (const std::size_t root : left_by_journal) watch_directory(root);
  }

  std::vector<RootToWatch> roots_;
  std::vector<ChangeSource> sources_;
  std::vector<std::unique_ptr<ChangeReader>> readers_;
  HeldChanges held_{kMaxHeldChanges};
};

}  // namespace

std::unique_ptr<ChangeWatcher> make_change_watcher() {
  return std::make_unique<Win32ChangeWatcher>();
}

}  // namespace tindral::platform
