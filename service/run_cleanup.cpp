#include "run_cleanup.h"

#include <chrono>
#include <string>
#include <utility>

#include "log.h"
#include "log_targets.h"
#include "root_folder.h"
#include "text.h"
#include "tree_walk.h"

namespace tindral {

std::string cleanup_summary(const CleanupStats& stats) {
  return std::string(stats.cut_short ? "Cleanup cut short by a stop request: "
                                     : "Cleanup complete: ") +
         std::to_string(stats.folders_visited) + " folders visited, " +
         std::to_string(stats.ini_removed) + " desktop.ini removed";
}

std::optional<std::string> cleanup_failures_warning(const CleanupStats& stats) {
  return failures_warning("remove", stats.failures);
}

Result<CleanupStats> run_cleanup(platform::FileSystem& fs, const Path& config_path,
                                 const InteractiveUserLookup& lookup,
                                 const platform::StopSignal* stop) {
  const auto start = std::chrono::steady_clock::now();
  Result<ConfigRoots> config = read_config_roots(fs, config_path, lookup);
  if (!config) return std::move(config).error();
  CleanupStats total;
  for (std::string& warning : config->skipped) {
    warn_skipped_root(total.skipped_roots, std::move(warning));
  }
  // The roots that are refused or taken in by another's walk are passed over without a word:
  // every scan reports them.
  for (RootWalk& walk : plan_root_walks(fs, std::move(config->roots))) {
    if (walk.skipped) continue;
    const Path& root = walk.entry.path;
    OpenedRoot opened = open_root(fs, root);
    if (opened.refusal) continue;
    const CleanupStats stats = cleanup_folder(std::move(opened.folder), opened.location, stop);
    if (stats.cut_at_depth_limit) warn_cut_at_depth_limit(root);
    total.folders_visited += stats.folders_visited;
    total.ini_removed += stats.ini_removed;
    total.failures.add(stats.failures);
    if (stats.cut_short) {
      total.cut_short = true;
      break;
    }
  }
  log::info(log::kTargetScanner,
            cleanup_summary(total) + ", took " +
                text::format_seconds(std::chrono::steady_clock::now() - start, 1));
  if (auto warning = cleanup_failures_warning(total)) log::warn(log::kTargetScanner, *warning);
  return total;
}

}  // namespace tindral
