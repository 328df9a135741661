#include "scan_folder.h"

#include <cstdint>
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

// A bare repository (what a git server keeps, usually named *.git) has no .git folder: it is
// one itself, and git knows it by HEAD beside the folders objects and refs (either of which may
// be a link). Names are compared without case, as a Windows volume would resolve them.
enum GitMark : std::uint8_t { kHead = 1, kObjects = 2, kRefs = 4, kBareRepository = 7 };

std::uint8_t git_mark_of(const platform::DirEntry& entry) {
  const bool folder_or_link = is_subfolder_entry(entry) || is_link_entry(entry);
  if (folder_or_link && text::ascii_iequals(entry.name, "objects")) return kObjects;
  if (folder_or_link && text::ascii_iequals(entry.name, "refs")) return kRefs;
  if (!is_subfolder_entry(entry) && text::ascii_iequals(entry.name, "HEAD")) return kHead;
  return 0;
}

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
    folders_.back().git_marks |= git_mark_of(entry);
    if (is_link_entry(entry)) return false;
    if (is_subfolder_entry(entry)) {
      return !is_git_folder(entry.name) && !protected_paths_.is_protected_child(entry.name);
    }
    Folder& folder = folders_.back();
    // Once one content file is seen the outcome cannot change.
    if (!folder.has_content && is_content_file(entry)) folder.has_content = true;
    return false;
  }

  // Only the whole listing tells a bare repository, so it is known here, before anything is
  // written into it; from here on it is as if the walk had not entered it.
  void folder_listed(platform::Folder&, bool listed, ListedDesktopIni desktop_ini) override {
    Folder& folder = folders_.back();
    folder.listed = listed;
    folder.desktop_ini = desktop_ini;
    folder.left_alone = listed && folder.git_marks == kBareRepository;
    if (folder.left_alone) --result_.folders;
  }

  bool walks_below() override { return !folders_.back().left_alone; }

  void cut_at_depth_limit() override { result_.cut_at_depth_limit = true; }

  // Counted, untouched, no content.
  void folder_unopened() override { ++result_.folders; }

  void leave_folder(platform::Folder* folder) override {
    const Folder left = folders_.back();
    folders_.pop_back();
    // A folder whose listing could not be read is left untouched: it may hold anything.
    const bool decided = left.listed && !left.left_alone;
    const bool kept_customised = decided && folder != nullptr && decide(*folder, left);
    const bool has_content = decided && (left.has_content || kept_customised);
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
    std::uint8_t git_marks = 0;  ///< the GitMark bits its listing showed
    bool left_alone = false;     ///< a bare repository: not counted, not decided, no content
  };

  /// Content anywhere below gets the icon, none takes the service's file out. True when the
  /// folder kept a desktop.ini the user customised from the service's: it shows the icon the
  /// user chose, and the folders above it keep theirs as for any content.
  bool decide(platform::Folder& folder, const Folder& left) {
    if (left.has_content) {
      Result<bool> written = ensure_desktop_ini(folder, left.desktop_ini);
      if (written.ok() && *written) ++result_.ini_written;
      return false;
    }
    Result<Removal> removed = remove_desktop_ini(folder, left.desktop_ini);
    if (removed.ok() && *removed == Removal::Removed) ++result_.ini_removed;
    return removed.ok() && *removed == Removal::KeptCustomised;
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
