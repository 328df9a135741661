#include "scan_folder.h"

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "desktop_ini.h"
#include "entry_rules.h"
#include "protected_paths.h"
#include "tree_walk.h"

namespace tindral {

namespace {

/// The scan's side of the walk: the bottom-up icon rule.
class ScanVisitor final : public WalkVisitor {
 public:
  /// With an inspector the walk only shows what it finds: nothing is decided.
  ScanVisitor(const Path& root, const FolderEnteredHook* entered,
              FolderInspector* inspector = nullptr)
      : root_(root), entered_(entered), inspector_(inspector), protected_paths_(root) {}

  FolderScanResult result_of(WalkEnd end) const {
    FolderScanResult result = result_;
    result.cut_short = end == WalkEnd::Stopped;
    return result;
  }

  void walk_started(const WalkPath& path) override { path_ = &path; }

  bool enter_folder(std::string_view name, platform::Folder& folder) override {
    const Result<std::uint32_t> attributes = folder.attributes();
    const bool is_root = folders_.empty();
    // The root is the folder somebody chose to decorate, and a drive's root is itself hidden
    // and system.
    if (!is_root && attributes && is_system_folder(*attributes)) return false;
    if (!is_root) protected_paths_.enter(name);
    Folder& entered = folders_.emplace_back();
    // A folder whose attributes cannot be read may be the system's: nothing is done in it.
    entered.may_remove = attributes.ok();
    entered.may_write = attributes && !is_encrypted_folder(*attributes);
    ++result_.folders;
    if (entered_ != nullptr) {
      if (!is_root) names_.emplace_back(name);
      (*entered_)(names_, folder);
    }
    return true;
  }

  bool take_entry(const platform::DirEntry& entry) override {
    if (is_desktop_ini_leftover_name(entry.name)) folders_.back().leftovers = true;
    folders_.back().git_marks |= git_mark_of(entry);
    if (is_link_entry(entry)) return false;
    if (is_subfolder_entry(entry)) {
      // Windows lists a folder's attributes, so the system's folders are passed by unopened (an
      // administrator may not open System Volume Information); natively they are known only
      // once a folder is opened.
      return !is_system_folder(entry.attributes) && !is_git_folder_name(entry.name) &&
             !protected_paths_.is_protected_child(entry.name);
    }
    Folder& folder = folders_.back();
    // Once one content file is seen the outcome cannot change.
    if (!folder.has_content && is_content_file(entry)) folder.has_content = true;
    return false;
  }

  // Only the listing tells a bare repository, so it is known here, before anything is written
  // into it; from here on it is as if the walk had not entered it.
  void folder_listed(platform::Folder& folder, Listing listing,
                     ListedDesktopIni desktop_ini) override {
    Folder& entered = folders_.back();
    entered.listing = listing;
    entered.desktop_ini = desktop_ini;
    entered.left_alone = listing != Listing::Refused && entered.git_marks == kBareRepository;
    if (entered.left_alone) {
      --result_.folders;
      return;
    }
    if (inspector_ != nullptr) {
      inspector_->folder_listed(*path_, folder, listing, desktop_ini);
      return;
    }
    if (entered.leftovers) remove_desktop_ini_leftovers(folder);
  }

  bool walks_below() override { return !folders_.back().left_alone; }

  void cut_at_depth_limit() override { result_.cut_at_depth_limit = true; }

  // Counted, untouched, no content.
  void folder_unopened() override {
    ++result_.folders;
    if (inspector_ != nullptr) inspector_->folder_unopened();
  }

  void leave_folder(platform::Folder* folder) override {
    const Folder left = folders_.back();
    const bool kept_customised =
        inspector_ == nullptr && !left.left_alone && folder != nullptr && decide(*folder, left);
    folders_.pop_back();
    // A bare repository is as if never entered. A listing that broke off may have hidden
    // content, and a desktop.ini the user customised shows the icon the user chose: the folders
    // above keep their icons either way.
    const bool has_content =
        !left.left_alone &&
        (left.listing == Listing::Partial || (left.listing == Listing::Whole && left.has_content) ||
         kept_customised);
    if (folders_.empty()) {
      result_.has_content = has_content;
      return;
    }
    protected_paths_.leave();
    if (entered_ != nullptr) names_.pop_back();
    folders_.back().has_content = folders_.back().has_content || has_content;
  }

 private:
  /// What the walk knows of a folder it has entered and not yet left.
  struct Folder {
    Listing listing = Listing::Refused;
    bool has_content = false;  ///< an own content file or a subfolder with content
    bool may_write = false;    ///< its attributes are known and it is not encrypted
    bool may_remove = false;   ///< its attributes are known
    ListedDesktopIni desktop_ini = ListedDesktopIni::Unknown;
    bool leftovers = false;      ///< the listing showed a name a cut-off write may have left
    std::uint8_t git_marks = 0;  ///< the GitMark bits its listing showed
    bool left_alone = false;     ///< a bare repository: not counted, not decided, no content
  };

  /// Content anywhere below gets the icon, none takes the service's file out. Only a folder
  /// listed whole is decided: one whose listing was refused may hold anything, one whose listing
  /// broke off is decided by a later walk that lists it whole. A foreign or unwritable
  /// desktop.ini still counts as content for the parent. True when the folder kept a desktop.ini
  /// the user customised from the service's.
  bool decide(platform::Folder& folder, const Folder& left) {
    if (left.listing != Listing::Whole) return false;
    if (left.has_content) {
      if (left.may_write) count(ensure_desktop_ini(folder, left.desktop_ini), result_.ini_written);
      return false;
    }
    if (!left.may_remove) return false;
    Result<Removal> removed = remove_desktop_ini(folder, left.desktop_ini);
    if (!removed) {
      count(std::move(removed).error(), result_.ini_removed);
      return false;
    }
    count(*removed == Removal::Removed, result_.ini_removed);
    return *removed == Removal::KeptCustomised;
  }

  void count(const Result<bool>& done, std::uint64_t& counter) {
    if (!done) {
      result_.failures.add(done.error(), [this] { return path_->current(root_); });
    } else if (*done) {
      ++counter;
    }
  }

  const Path root_;
  const FolderEnteredHook* entered_;
  /// The names from the root down to the current folder, kept only for `entered_`.
  std::vector<std::string> names_;
  FolderInspector* const inspector_;
  const WalkPath* path_ = nullptr;
  ProtectedPathWalk protected_paths_;
  std::vector<Folder> folders_;
  FolderScanResult result_;
};

}  // namespace

// Each folder is decided after its whole subtree, so that content found anywhere below reaches
// every folder on the way up to the root.
FolderScanResult scan_folder(platform::FileSystem& fs, const Path& folder,
                             const platform::StopSignal* stop, const FolderEnteredHook* entered) {
  ScanVisitor visitor(folder, entered);
  return visitor.result_of(walk_tree(fs, folder, visitor, stop));
}

FolderScanResult scan_folder(Result<std::unique_ptr<platform::Folder>> folder, const Path& location,
                             const platform::StopSignal* stop, const FolderEnteredHook* entered) {
  ScanVisitor visitor(location, entered);
  return visitor.result_of(walk_tree(std::move(folder), visitor, stop));
}

WalkEnd inspect_folders(Result<std::unique_ptr<platform::Folder>> folder, const Path& location,
                        FolderInspector& inspector, const platform::StopSignal* stop) {
  ScanVisitor visitor(location, nullptr, &inspector);
  return walk_tree(std::move(folder), visitor, stop);
}

}  // namespace tindral
