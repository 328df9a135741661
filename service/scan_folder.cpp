#include "scan_folder.h"

#include <string_view>
#include <vector>

#include "desktop_ini.h"
#include "entry_rules.h"
#include "protected_paths.h"
#include "text.h"
#include "tree_walk.h"

namespace tindral {

namespace {

constexpr std::string_view kGitFolderName = ".git";

// A desktop.ini inside a repository's .git folder (refs/heads holds files, so it would count as
// content) is read by git as a broken ref and corrupts the repository: the walk leaves .git
// alone as if it were a protected location.
bool is_git_folder(std::string_view name) { return text::ascii_iequals(name, kGitFolderName); }

/// The scan's side of the walk: the bottom-up icon rule.
class ScanVisitor final : public WalkVisitor {
 public:
  explicit ScanVisitor(const Path& root) : protected_paths_(root) {}

  FolderScanResult result_of(WalkEnd end) const {
    FolderScanResult result = result_;
    result.cut_short = end == WalkEnd::Stopped;
    return result;
  }

  void enter_folder(std::string_view name) override {
    if (!folders_.empty()) protected_paths_.enter(name);
    folders_.emplace_back();
    ++result_.folders;
  }

  bool take_entry(const platform::DirEntry& entry) override {
    if (is_desktop_ini_leftover_name(entry.name)) folders_.back().leftovers = true;
    if (is_link_entry(entry)) return false;
    if (is_subfolder_entry(entry)) {
      return !is_git_folder(entry.name) && !protected_paths_.is_protected_child(entry.name);
    }
    Folder& folder = folders_.back();
    // Once one content file is seen the outcome cannot change.
    if (!folder.has_content && is_content_file(entry)) folder.has_content = true;
    return false;
  }

  void folder_listed(platform::Folder& folder, bool listed, ListedDesktopIni desktop_ini) override {
    folders_.back().listed = listed;
    folders_.back().desktop_ini = desktop_ini;
    if (folders_.back().leftovers) remove_desktop_ini_leftovers(folder);
  }

  // Counted, untouched, no content.
  void folder_unopened() override { ++result_.folders; }

  void leave_folder(platform::Folder* folder) override {
    const Folder left = folders_.back();
    folders_.pop_back();
    // A folder whose listing could not be read is left untouched: it may hold anything.
    if (left.listed && folder != nullptr) decide(*folder, left);
    const bool has_content = left.listed && left.has_content;
    if (folders_.empty()) {
      result_.has_content = has_content;
      return;
    }
    protected_paths_.leave();
    folders_.back().has_content = folders_.back().has_content || has_content;
  }

 private:
  /// What the walk knows of a folder it has entered and not yet left.
  struct Folder {
    bool listed = false;
    bool has_content = false;  ///< an own content file or a subfolder with content
    ListedDesktopIni desktop_ini = ListedDesktopIni::Unknown;
    bool leftovers = false;  ///< the listing showed a name a cut-off write may have left
  };

  /// Content anywhere below gets the icon, none takes the service's file out. A foreign or
  /// unwritable desktop.ini still counts as content for the parent.
  void decide(platform::Folder& folder, const Folder& left) {
    if (left.has_content) {
      Result<bool> written = ensure_desktop_ini(folder, left.desktop_ini);
      if (written.ok() && *written) ++result_.ini_written;
    } else {
      Result<bool> removed = remove_desktop_ini(folder, left.desktop_ini);
      if (removed.ok() && *removed) ++result_.ini_removed;
    }
  }

  ProtectedPathWalk protected_paths_;
  std::vector<Folder> folders_;
  FolderScanResult result_;
};

}  // namespace

// Each folder is decided after its whole subtree, so that content found anywhere below reaches
// every folder on the way up to the root.
FolderScanResult scan_folder(platform::FileSystem& fs, const Path& folder,
                             const platform::StopSignal* stop) {
  ScanVisitor visitor(folder);
  return visitor.result_of(walk_tree(fs, folder, visitor, stop));
}

FolderScanResult scan_folder(Result<std::unique_ptr<platform::Folder>> folder, const Path& location,
                             const platform::StopSignal* stop) {
  ScanVisitor visitor(location);
  return visitor.result_of(walk_tree(std::move(folder), visitor, stop));
}

}  // namespace tindral
