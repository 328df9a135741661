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

// The roots the scan walks (not those it skips), for the watch to cover before the walks begin.
RootPathList walked_roots(const std::vector<RootWalk>& walks) {
  RootPathList roots;
  for (const RootWalk& walk : walks) {
    if (!walk.skipped) roots.push_back(walk.entry.path);
  }
  return roots;
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
  Result<ConfigRoots> config = read_config_roots(fs, config_path, lookup);
  if (!config.ok()) return std::move(config).error();
  ScanStats stats;
  for (std::string& warning : config->skipped) {
    warn_skipped_root(stats.skipped_roots, std::move(warning));
  }
  log::info(log::kTargetScanner,
            "Starting scan of " + std::to_string(config->roots.size()) + " root path(s)");

  std::vector<RootWalk> walks = plan_root_walks(fs, std::move(config->roots));
  if (watch != nullptr) watch->roots_read(walked_roots(walks));
  for (RootWalk& walk : walks) {
    if (walk.skipped) {
      warn_skipped_root(stats.skipped_roots, std::move(*walk.skipped));
      continue;
    }
    const Path& root = walk.entry.path;
    OpenedRoot opened = open_root(fs, root);
    if (opened.refusal) {
      warn_skipped_root(stats.skipped_roots, skipped_root_message(*opened.refusal, root.display()));
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
