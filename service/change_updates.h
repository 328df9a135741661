#pragma once

#include <chrono>
#include <cstddef>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "changed_folders.h"
#include "config/root_paths.h"
#include "platform/change_watch.h"
#include "platform/file_system.h"
#include "platform/path.h"
#include "platform/stop_signal.h"
#include "run_scan.h"
#include "update_after_changes.h"

namespace tindral {

/// How long changes are gathered after the first, so that a burst (a folder copied in) is
/// handled once rather than folder by folder as it arrives.
inline constexpr std::chrono::milliseconds kChangeGathering{300};

/// The shortest time between two summaries of what changes led to.
inline constexpr std::chrono::seconds kChangeSummaryInterval{60};

/// The worker's side of change-driven updates: which roots are watched and how, waiting for
/// changes, acting on them through the walks from the opened roots, and the summary of what
/// that did. It keeps a few values per root, nothing per folder.
class ChangeUpdates {
 public:
  using Clock = std::chrono::steady_clock;
  using LogMessage = std::function<void(std::string_view)>;

  ChangeUpdates(platform::FileSystem& fs, platform::ChangeWatcher& watcher,
                std::function<Clock::time_point()> now, LogMessage log);

  /// The hooks a full scan calls: the scan's roots are watched before they are walked (see
  /// watch_roots), and every folder the walk enters is told to the watcher.
  const ScanWatch& scan_watch() const { return scan_watch_; }

  /// Watches `roots` (each folder once) instead of what was watched, and logs "Watching {root}
  /// for changes: {source}" for each root whose source is not the one logged last. Changes not
  /// acted on yet are dropped: the walk that follows looks at everything.
  void watch_roots(const RootPathList& roots);

  /// Stops watching (watch=off); the next watch_roots logs every root's source again.
  void stop_watching();

  /// True when some root has a source of changes, so that waiting for them makes sense.
  bool watching() const;

  /// Sleeps until `due`, a stop or a change. After the first change, gathers more for at most
  /// kChangeGathering (a stop ends that at once). Returns whether changes were gathered; they
  /// wait, bounded, until act() or watch_roots().
  bool wait_for_changes(Clock::time_point due, const platform::StopSignal& stop);

  /// Acts on the changes gathered so far, root by root: a root to walk whole is walked by
  /// scan_folder, the others updated by update_after_changes. A root that is no longer the
  /// folder watched is watched again and walked, and so is every other root then.
  void act(const platform::StopSignal& stop);

  /// Opens every root again and compares it with the folder watched: a remount or a replaced
  /// folder at a root's path says nothing to a watcher. Any difference: as in act().
  void check_roots(const platform::StopSignal& stop);

  /// Logs "Updated after changes: …" when something was written or removed since the last such
  /// line and the last one is at least kChangeSummaryInterval old.
  void log_summary_if_due();

 private:
  struct WatchedRoot {
    /// As config.txt names it, opened again from there every time.
    Path configured;
    Path location;
    /// The folder watched; none when the root did not open.
    std::optional<platform::FileId> id;
    /// Index in the list the watcher was given.
    std::size_t watch_index = 0;
  };

  // Whether a root opened again is the folder watched: Unknown when it did not open or could
  // not say which folder it is (nothing can be done with it then).
  enum class Identity { Unknown, Same, Changed };

  struct Reopened {
    Identity identity = Identity::Unknown;
    Result<std::unique_ptr<platform::Folder>> folder = Error("the root was not opened");
    Path location;
  };

  Reopened reopen(const WatchedRoot& root);
  FolderEnteredHook hook_for(std::size_t watch_index);
  void take_changes();
  void walk_root(Reopened opened, const WatchedRoot& root, const platform::StopSignal& stop);
  void rewatch_and_walk_all(const platform::StopSignal& stop);
  void log_source(const Path& root, platform::ChangeSource source);

  platform::FileSystem& fs_;
  platform::ChangeWatcher& watcher_;
  std::function<Clock::time_point()> now_;
  LogMessage log_;
  ScanWatch scan_watch_;
  std::vector<WatchedRoot> roots_;
  std::vector<platform::Change> read_;
  ChangedFolders pending_;
  bool any_source_ = false;
  /// The source last logged for each root, by the root's text.
  std::map<std::string, std::string> logged_sources_;
  ChangeUpdateStats since_summary_;
  std::optional<Clock::time_point> last_summary_;
};

}  // namespace tindral
