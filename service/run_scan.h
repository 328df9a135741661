#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "config/root_paths.h"
#include "error.h"
#include "platform/file_system.h"
#include "platform/path.h"
#include "platform/stop_signal.h"
#include "update_after_changes.h"
#include "walk_failures.h"

namespace tindral {

/// What one scan did, summed over every walked root.
struct ScanStats {
  std::uint64_t folders_scanned = 0;
  std::uint64_t ini_written = 0;
  std::uint64_t ini_removed = 0;
  /// From before config.txt was read to the end of the last root.
  std::chrono::nanoseconds elapsed{0};
  /// A stop request ended the scan before its last folder; the counters tell how far it got.
  bool cut_short = false;
  /// Folders where desktop.ini could not be written or removed.
  WalkFailures failures{};
  /// The warnings about the roots the scan skipped, in the order it logged them.
  std::vector<std::string> skipped_roots{};
};

/// `name` (such as "Scan"), then " complete: {} folders, {} written, {} removed, took {}s" with
/// the seconds to `decimals` places, or " cut short by a stop request: " and the same figures.
std::string scan_summary(std::string_view name, const ScanStats& stats, int decimals);

/// "Could not update desktop.ini in {} folder(s); first: {folder}: {cause}"; nothing for a scan
/// without failures.
std::optional<std::string> scan_failures_warning(const ScanStats& stats);

/// What a scan tells whoever watches the roots it walks for changes.
struct ScanWatch {
  /// Called once with the root list, before any root is walked, so that the watch covers what
  /// the walk finds.
  std::function<void(const RootPathList& roots)> roots_read;
  /// The hook for the walk of the root opened at `location`; an empty one when the root is not
  /// watched.
  std::function<FolderEnteredHook(const Path& location)> hook_for_root;
};

/// Reads config.txt and walks every root that exists and is not protected by its path or by
/// where its folder really is, each folder tree once (plan_root_walks), logging the start, each
/// skipped root, the summary and, after it, one warning about the folders where desktop.ini could
/// not be changed. Fails only when the root list cannot be read. A raised `stop` ends the scan at
/// the next folder, with the counters of what was done.
Result<ScanStats> run_scan(platform::FileSystem& fs, const Path& config_path,
                           const InteractiveUserLookup& lookup = interactive_user,
                           const platform::StopSignal* stop = nullptr,
                           const ScanWatch* watch = nullptr);

}  // namespace tindral
