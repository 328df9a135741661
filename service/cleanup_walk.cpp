#include "cleanup_walk.h"

#include <chrono>
#include <string>

#include "desktop_ini.h"
#include "log.h"
#include "root_folder.h"
#include "scanner.h"
#include "text.h"
#include "tree_walk.h"

namespace tindral {

namespace {

/// The cleanup's side of the walk: every folder loses the service's file before anything below
/// it is visited. Links are left out because they may point anywhere, even back up the tree;
/// subfolders are not tested for protection.
class CleanupVisitor final : public WalkVisitor {
 public:
  CleanupStats stats_of(WalkEnd end) const {
    CleanupStats stats = stats_;
    stats.cut_short = end == WalkEnd::Stopped;
    return stats;
  }

  void enter_folder(std::string_view) override { ++stats_.folders_visited; }

  bool take_entry(const platform::DirEntry& entry) override { return is_subfolder_entry(entry); }

  // A folder whose listing cannot be read still loses its file.
  void folder_listed(platform::Folder& folder, bool listed, ListedDesktopIni desktop_ini) override {
    Result<bool> removed =
        remove_desktop_ini(folder, listed ? desktop_ini : ListedDesktopIni::Unknown);
    if (removed && *removed) ++stats_.ini_removed;
  }

  void folder_unopened() override { ++stats_.folders_visited; }

  void leave_folder(platform::Folder*) override {}

 private:
  CleanupStats stats_;
};

}  // namespace

std::string cleanup_summary(const CleanupStats& stats) {
  return std::string(stats.cut_short ? "Cleanup cut short by a stop request: "
                                     : "Cleanup complete: ") +
         std::to_string(stats.folders_visited) + " folders visited, " +
         std::to_string(stats.ini_removed) + " desktop.ini removed";
}

CleanupStats cleanup_folder(platform::FileSystem& fs, const Path& folder,
                            const platform::StopSignal* stop) {
  CleanupVisitor visitor;
  return visitor.stats_of(walk_tree(fs, folder, visitor, stop));
}

CleanupStats cleanup_folder(Result<std::unique_ptr<platform::Folder>> folder,
                            const platform::StopSignal* stop) {
  CleanupVisitor visitor;
  return visitor.stats_of(walk_tree(std::move(folder), visitor, stop));
}

Result<CleanupStats> run_cleanup(platform::FileSystem& fs, const Path& config_path,
                                 const InteractiveUserLookup& lookup,
                                 const platform::StopSignal* stop) {
  const auto start = std::chrono::steady_clock::now();
  Result<RootPathList> roots = load_root_paths(fs, config_path, lookup);
  if (!roots) return std::move(roots).error();
  CleanupStats total;
  for (const Path& root : *roots) {
    OpenedRoot opened = open_root(fs, root);
    if (opened.refusal) continue;
    const CleanupStats stats = cleanup_folder(std::move(opened.folder), stop);
    total.folders_visited += stats.folders_visited;
    total.ini_removed += stats.ini_removed;
    if (stats.cut_short) {
      total.cut_short = true;
      break;
    }
  }
  log::info(log::kTargetScanner,
            cleanup_summary(total) + ", took " +
                text::format_seconds(std::chrono::steady_clock::now() - start, 1));
  return total;
}

}  // namespace tindral
