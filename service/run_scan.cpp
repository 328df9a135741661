#include "run_scan.h"

#include <chrono>
#include <string>
#include <utility>

#include "log.h"
#include "log_targets.h"
#include "root_folder.h"
#include "scan_folder.h"
#include "text.h"
#include "tree_walk.h"

namespace tindral {

namespace {

void log_summary(const ScanStats& stats) {
  log::info(log::kTargetScanner, scan_summary("Scan", stats, 1));
  if (auto warning = scan_failures_warning(stats)) log::warn(log::kTargetScanner, *warning);
}

}  // namespace

std::string scan_summary(std::string_view name, const ScanStats& stats, int decimals) {
  return std::string(name) + (stats.cut_short ? " cut short by a stop request: " : " complete: ") +
         std::to_string(stats.folders_scanned) + " folders, " + std::to_string(stats.ini_written) +
         " written, " + std::to_string(stats.ini_removed) + " removed, took " +
         text::format_seconds(stats.elapsed, decimals);
}

std::optional<std::string> scan_failures_warning(const ScanStats& stats) {
  return failures_warning("update", stats.failures);
}

Result<ScanStats> run_scan(platform::FileSystem& fs, const Path& config_path,
                           const InteractiveUserLookup& lookup, const platform::StopSignal* stop,
                           const ScanWatch* watch) {
  // The elapsed time includes reading config.txt.
  const auto start = std::chrono::steady_clock::now();
  Result<RootPathList> roots = load_root_paths(fs, config_path, lookup);
  if (!roots.ok()) return std::move(roots).error();
  log::info(log::kTargetScanner,
            "Starting scan of " + std::to_string(roots->size()) + " root path(s)");
  if (watch != nullptr) watch->roots_read(*roots);

  ScanStats stats;
  for (const Path& root : *roots) {
    OpenedRoot opened = open_root(fs, root);
    if (opened.refusal) {
      warn_skipped_root(*opened.refusal, root.display());
      continue;
    }
    log::debug(log::kTargetScanner, "Scanning root: " + root.display());
    const FolderEnteredHook hook =
        watch != nullptr ? watch->hook_for_root(opened.location) : FolderEnteredHook();
    const FolderScanResult walked =
        scan_folder(std::move(opened.folder), opened.location, stop, hook ? &hook : nullptr);
    if (walked.cut_at_depth_limit) warn_cut_at_depth_limit(root);
    stats.folders_scanned += walked.folders;
    stats.ini_written += walked.ini_written;
    stats.ini_removed += walked.ini_removed;
    stats.failures.add(walked.failures);
    if (walked.cut_short) {
      stats.cut_short = true;
      break;
    }
  }
  stats.elapsed = std::chrono::duration_cast<std::chrono::nanoseconds>(
      std::chrono::steady_clock::now() - start);
  log_summary(stats);
  return stats;
}

}  // namespace tindral
