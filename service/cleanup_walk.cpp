#include "cleanup_walk.h"

#include <algorithm>
#include <chrono>
#include <iterator>
#include <memory>
#include <string>
#include <vector>

#include "desktop_ini.h"
#include "log.h"
#include "protected_paths.h"
#include "scanner.h"
#include "text.h"

namespace tindral {

namespace {

// The subfolders of `folder` in listing order; links are left out because they may point
// anywhere, even back up the tree. The listing is read to its end and closed before
// the walk goes further down, so that however deep the tree, only one listing is open at a
// time. A listing that cannot be opened has no subfolders; one that breaks off keeps the
// entries read so far.
std::vector<Path> list_subfolders(platform::FileSystem& fs, const Path& folder) {
  std::vector<Path> subfolders;
  Result<std::unique_ptr<platform::DirListing>> listing = fs.open_listing(folder);
  if (!listing) return subfolders;
  platform::DirEntry entry;
  for (;;) {
    Result<bool> more = (*listing)->next(entry);
    if (!more || !*more) break;
    if (is_subfolder_entry(entry)) subfolders.push_back(folder.child(entry.name));
  }
  return subfolders;
}

std::string summary_message(const CleanupStats& stats, std::chrono::nanoseconds elapsed) {
  return "Cleanup complete: " + std::to_string(stats.folders_visited) + " folders visited, " +
         std::to_string(stats.ini_removed) + " desktop.ini removed, took " +
         text::format_seconds(elapsed, 1);
}

}  // namespace

CleanupStats cleanup_folder(platform::FileSystem& fs, const Path& folder) {
  CleanupStats stats;
  // An explicit stack instead of recursion, so that a deep tree cannot exhaust the thread's
  // stack. Children are pushed in reverse so that they come off in listing order: each folder
  // is still handled before everything below it, and its subtree before its next sibling.
  std::vector<Path> pending{folder};
  while (!pending.empty()) {
    const Path current = std::move(pending.back());
    pending.pop_back();
    ++stats.folders_visited;
    Result<bool> removed = remove_desktop_ini(fs, current);
    if (removed && *removed) ++stats.ini_removed;
    std::vector<Path> subfolders = list_subfolders(fs, current);
    std::move(subfolders.rbegin(), subfolders.rend(), std::back_inserter(pending));
  }
  return stats;
}

Result<CleanupStats> run_cleanup(platform::FileSystem& fs, const Path& config_path,
                                 const InteractiveUserLookup& lookup) {
  const auto start = std::chrono::steady_clock::now();
  Result<RootPathList> roots = load_root_paths(fs, config_path, lookup);
  if (!roots) return std::move(roots).error();
  CleanupStats total;
  for (const Path& root : *roots) {
    if (!fs.exists(root) || is_protected_path(root)) continue;
    const CleanupStats stats = cleanup_folder(fs, root);
    total.folders_visited += stats.folders_visited;
    total.ini_removed += stats.ini_removed;
  }
  log::info(log::kTargetScanner, summary_message(total, std::chrono::steady_clock::now() - start));
  return total;
}

}  // namespace tindral
