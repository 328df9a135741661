#include "cleanup_walk.h"

#include <chrono>
#include <string>
#include <vector>

#include "desktop_ini.h"
#include "folder_listing.h"
#include "log.h"
#include "protected_paths.h"
#include "scanner.h"
#include "text.h"

namespace tindral {

namespace {

/// What one folder's listing tells the cleanup.
struct CleanupListing {
  std::vector<std::string> subfolders;  ///< names to visit, in listing order
  ListedDesktopIni desktop_ini = ListedDesktopIni::Absent;
};

// The subfolders of `folder` in listing order; links are left out because they may point
// anywhere, even back up the tree. A listing that cannot be opened has no subfolders and says
// nothing about desktop.ini.
CleanupListing read_listing(platform::FileSystem& fs, const Path& folder) {
  CleanupListing result;
  auto collect_subfolder = [&result](platform::DirEntry& entry) {
    if (is_subfolder_entry(entry)) result.subfolders.push_back(std::move(entry.name));
  };
  result.desktop_ini =
      read_listing_entries(fs, folder, collect_subfolder).value_or(ListedDesktopIni::Unknown);
  return result;
}

/// One visited folder whose subfolders are being walked.
struct Frame {
  std::size_t path_length = 0;          ///< the folder's path is this prefix of the current path
  std::vector<std::string> subfolders;  ///< released when the last one has been walked
  std::size_t next_subfolder = 0;
};

std::string summary_message(const CleanupStats& stats, std::chrono::nanoseconds elapsed) {
  return "Cleanup complete: " + std::to_string(stats.folders_visited) + " folders visited, " +
         std::to_string(stats.ini_removed) + " desktop.ini removed, took " +
         text::format_seconds(elapsed, 1);
}

}  // namespace

// Each folder is handled before everything below it, and its subtree before its next sibling.
// The walk keeps its own stack of frames instead of recursing, so that a deep tree cannot
// exhaust the thread's stack, and the frames hold subfolder names against one current path, so
// that memory grows with the path and the names pending along it, not with full paths. The
// listing comes before the removal so that a folder whose listing shows no desktop.ini needs
// no attempt to read one; a folder whose listing cannot be opened still loses its file.
CleanupStats cleanup_folder(platform::FileSystem& fs, const Path& folder) {
  CleanupStats stats;
  auto visit = [&](const Path& path) {
    CleanupListing listing = read_listing(fs, path);
    ++stats.folders_visited;
    Result<bool> removed = remove_desktop_ini(fs, path, listing.desktop_ini);
    if (removed && *removed) ++stats.ini_removed;
    return Frame{path.bytes().size(), std::move(listing.subfolders), 0};
  };

  Path current = folder;
  std::vector<Frame> stack;
  stack.push_back(visit(current));
  while (!stack.empty()) {
    Frame& top = stack.back();
    if (top.next_subfolder == top.subfolders.size()) {
      stack.pop_back();
      continue;
    }
    if (current.bytes().size() != top.path_length) {
      current = Path(current.bytes().substr(0, top.path_length));
    }
    current = current.child(top.subfolders[top.next_subfolder++]);
    stack.push_back(visit(current));
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
