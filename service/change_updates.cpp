#include "change_updates.h"

#include <algorithm>
#include <utility>

#include "log.h"
#include "log_targets.h"
#include "root_folder.h"
#include "scan_folder.h"
#include "tree_walk.h"
#include "watching_message.h"

namespace tindral {

namespace {

// The watcher's timeouts are whole milliseconds; rounding up never wakes it before `left`.
std::chrono::milliseconds whole_milliseconds(ChangeUpdates::Clock::duration left) {
  return std::chrono::ceil<std::chrono::milliseconds>(left);
}

std::string source_text(platform::ChangeSource source) {
  if (source == platform::ChangeSource::None) return "none (interval rescans only)";
  return std::string(platform::change_source_name(source));
}

}  // namespace

ChangeUpdates::ChangeUpdates(platform::FileSystem& fs, platform::ChangeWatcher& watcher,
                             std::function<Clock::time_point()> now, LogMessage log)
    : fs_(fs), watcher_(watcher), now_(std::move(now)), log_(std::move(log)) {
  scan_watch_.roots_read = [this](const RootPathList& roots) { watch_roots(roots); };
  scan_watch_.hook_for_root = [this](const Path& location) -> FolderEnteredHook {
    for (const WatchedRoot& root : roots_) {
      if (root.id && root.location == location) return hook_for(root.watch_index);
    }
    return {};
  };
}

void ChangeUpdates::watch_roots(const RootPathList& roots) {
  take_changes();
  pending_.clear();
  roots_.clear();
  std::vector<platform::RootToWatch> to_watch;
  for (const Path& path : roots) {
    const bool listed = std::any_of(roots_.begin(), roots_.end(), [&](const WatchedRoot& root) {
      return root.configured == path;
    });
    if (listed) continue;
    WatchedRoot root{path, path, std::nullopt, 0};
    OpenedRoot opened = open_root(fs_, path);
    Result<platform::FileId> id =
        !opened.refusal && opened.folder ? (*opened.folder)->id() : Error("not opened");
    if (id) {
      root.location = opened.location;
      root.id = *id;
      // A folder that two lines of config.txt reach is watched once.
      const auto same = std::find_if(roots_.begin(), roots_.end(), [&](const WatchedRoot& other) {
        return other.id && other.location == opened.location;
      });
      if (same != roots_.end()) {
        root.watch_index = same->watch_index;
      } else {
        root.watch_index = to_watch.size();
        to_watch.push_back({opened.location, std::move(*opened.folder)});
      }
    }
    roots_.push_back(std::move(root));
  }
  const std::vector<platform::ChangeSource> sources = watcher_.watch(std::move(to_watch));
  any_source_ = false;
  for (const WatchedRoot& root : roots_) {
    if (!root.id) continue;
    const platform::ChangeSource source = root.watch_index < sources.size()
                                              ? sources[root.watch_index]
                                              : platform::ChangeSource::None;
    any_source_ = any_source_ || source != platform::ChangeSource::None;
    log_source(root.configured, source);
  }
}

void ChangeUpdates::stop_watching() {
  if (roots_.empty() && !any_source_) return;
  static_cast<void>(watcher_.watch({}));
  take_changes();
  pending_.clear();
  roots_.clear();
  any_source_ = false;
  logged_sources_.clear();
}

bool ChangeUpdates::watching() const { return any_source_; }

bool ChangeUpdates::wait_for_changes(Clock::time_point due, const platform::StopSignal& stop) {
  const Clock::duration left = due - now_();
  if (left <= Clock::duration::zero()) return false;
  if (watcher_.wait(whole_milliseconds(left), stop) != platform::WakeReason::Changes) return false;
  take_changes();
  const Clock::time_point gathered = now_() + kChangeGathering;
  for (Clock::duration rest = gathered - now_(); rest > Clock::duration::zero();
       rest = gathered - now_()) {
    if (watcher_.wait(whole_milliseconds(rest), stop) != platform::WakeReason::Changes) break;
    take_changes();
  }
  return true;
}

void ChangeUpdates::act(const platform::StopSignal& stop) {
  if (roots_.empty()) return;
  take_changes();
  bool root_replaced = false;
  for (std::size_t index : pending_.roots()) {
    if (stop.requested()) break;
    const auto root = std::find_if(roots_.begin(), roots_.end(), [&](const WatchedRoot& r) {
      return r.id && r.watch_index == index;
    });
    if (root == roots_.end()) continue;
    Reopened opened = reopen(*root);
    if (opened.identity == Identity::Changed) root_replaced = true;
    if (opened.identity != Identity::Same) continue;
    if (pending_.rescan_wanted(index)) {
      walk_root(std::move(opened), *root, stop);
    } else {
      const FolderEnteredHook hook = hook_for(index);
      since_summary_.add(update_after_changes(**opened.folder, opened.location,
                                              pending_.folders(index), &stop, &hook));
    }
  }
  pending_.clear();
  if (root_replaced && !stop.requested()) rewatch_and_walk_all(stop);
  log_summary_if_due();
}

void ChangeUpdates::check_roots(const platform::StopSignal& stop) {
  for (const WatchedRoot& root : roots_) {
    if (stop.requested()) return;
    if (reopen(root).identity == Identity::Changed) {
      rewatch_and_walk_all(stop);
      break;
    }
  }
  log_summary_if_due();
}

void ChangeUpdates::log_summary_if_due() {
  const ChangeUpdateStats& done = since_summary_;
  if (done.ini_written == 0 && done.ini_removed == 0 && done.failures.folders == 0) return;
  const Clock::time_point now = now_();
  if (last_summary_ && now - *last_summary_ < kChangeSummaryInterval) return;
  log_(changes_summary(done));
  if (std::optional<std::string> warning = failures_warning("update", done.failures)) {
    // The scanner's warning, as a scan gives it (and with it the event log's).
    log::warn(log::kTargetScanner, *warning);
    log_(*warning);
  }
  since_summary_ = {};
  last_summary_ = now;
}

ChangeUpdates::Reopened ChangeUpdates::reopen(const WatchedRoot& root) {
  Reopened reopened;
  OpenedRoot opened = open_root(fs_, root.configured);
  if (opened.refusal || !opened.folder) return reopened;
  Result<platform::FileId> id = (*opened.folder)->id();
  if (!id) return reopened;
  const bool same = root.id && *root.id == *id && root.location == opened.location;
  reopened.identity = same ? Identity::Same : Identity::Changed;
  reopened.folder = std::move(opened.folder);
  reopened.location = std::move(opened.location);
  return reopened;
}

FolderEnteredHook ChangeUpdates::hook_for(std::size_t watch_index) {
  return [this, watch_index](const std::vector<std::string>& names, platform::Folder& folder) {
    watcher_.folder_entered(watch_index, names, folder);
  };
}

void ChangeUpdates::take_changes() {
  read_.clear();
  watcher_.take(read_);
  for (const platform::Change& change : read_) pending_.add(change);
  read_.clear();
}

void ChangeUpdates::walk_root(Reopened opened, const WatchedRoot& root,
                              const platform::StopSignal& stop) {
  const FolderEnteredHook hook = hook_for(root.watch_index);
  const FolderScanResult walked =
      scan_folder(std::move(opened.folder), opened.location, &stop, &hook);
  if (walked.cut_at_depth_limit) warn_cut_at_depth_limit(root.configured);
  ChangeUpdateStats stats;
  stats.folders_looked_at = walked.folders;
  stats.ini_written = walked.ini_written;
  stats.ini_removed = walked.ini_removed;
  stats.failures = walked.failures;
  stats.cut_short = walked.cut_short;
  since_summary_.add(stats);
}

// Watching again replaces every watch, and a source that watches folder by folder holds only
// the roots' watches afterwards: every root is walked, as a full scan would, so that the
// folders below them are watched again and nothing that changed meanwhile is missed.
void ChangeUpdates::rewatch_and_walk_all(const platform::StopSignal& stop) {
  RootPathList paths;
  for (const WatchedRoot& root : roots_) paths.push_back(root.configured);
  watch_roots(paths);
  std::vector<std::size_t> walked;
  for (const WatchedRoot& root : roots_) {
    if (stop.requested()) return;
    if (!root.id || std::find(walked.begin(), walked.end(), root.watch_index) != walked.end()) {
      continue;
    }
    walked.push_back(root.watch_index);
    Reopened opened = reopen(root);
    if (opened.identity == Identity::Same) walk_root(std::move(opened), root, stop);
  }
}

void ChangeUpdates::log_source(const Path& root, platform::ChangeSource source) {
  const std::string text = source_text(source);
  auto [logged, added] = logged_sources_.try_emplace(root.display(), text);
  if (!added && logged->second == text) return;
  logged->second = text;
  log_(watching_message(root.display(), text));
}

}  // namespace tindral
