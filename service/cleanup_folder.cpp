#include "cleanup_folder.h"

#include "desktop_ini.h"
#include "entry_rules.h"
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
    Result<Removal> removed =
        remove_desktop_ini(folder, listed ? desktop_ini : ListedDesktopIni::Unknown);
    if (removed && *removed == Removal::Removed) ++stats_.ini_removed;
  }

  void folder_unopened() override { ++stats_.folders_visited; }

  void cut_at_depth_limit() override { stats_.cut_at_depth_limit = true; }

  void leave_folder(platform::Folder*) override {}

 private:
  CleanupStats stats_;
};

}  // namespace

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

}  // namespace tindral
