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
  explicit CleanupVisitor(const Path& root) : root_(root) {}

  CleanupStats stats_of(WalkEnd end) const {
    CleanupStats stats = stats_;
    stats.cut_short = end == WalkEnd::Stopped;
    return stats;
  }

  void walk_started(const WalkPath& path) override { path_ = &path; }

  bool enter_folder(std::string_view, platform::Folder&) override {
    ++stats_.folders_visited;
    leftovers_ = false;
    return true;
  }

  bool take_entry(const platform::DirEntry& entry) override {
    if (is_desktop_ini_leftover_name(entry.name)) leftovers_ = true;
    return is_subfolder_entry(entry);
  }

  // A folder whose listing cannot be read, or broke off, still loses its file: removing needs
  // no knowledge of what else the folder holds.
  void folder_listed(platform::Folder& folder, Listing, ListedDesktopIni desktop_ini) override {
    if (leftovers_) remove_desktop_ini_leftovers(folder);
    Result<Removal> removed = remove_desktop_ini(folder, desktop_ini);
    if (!removed) {
      stats_.failures.add(removed.error(), [this] { return path_->current(root_); });
    } else if (*removed == Removal::Removed) {
      ++stats_.ini_removed;
    }
  }

  void folder_unopened() override { ++stats_.folders_visited; }

  void cut_at_depth_limit() override { stats_.cut_at_depth_limit = true; }

  void leave_folder(platform::Folder*) override {}

 private:
  const Path root_;
  const WalkPath* path_ = nullptr;
  CleanupStats stats_;
  /// The current folder's listing showed a name a cut-off write may have left.
  bool leftovers_ = false;
};

}  // namespace

CleanupStats cleanup_folder(platform::FileSystem& fs, const Path& folder,
                            const platform::StopSignal* stop) {
  CleanupVisitor visitor(folder);
  return visitor.stats_of(walk_tree(fs, folder, visitor, stop));
}

CleanupStats cleanup_folder(Result<std::unique_ptr<platform::Folder>> folder, const Path& location,
                            const platform::StopSignal* stop) {
  CleanupVisitor visitor(location);
  return visitor.stats_of(walk_tree(std::move(folder), visitor, stop));
}

}  // namespace tindral
