#include "scanner.h"

#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "desktop_ini.h"
#include "folder_listing.h"
#include "protected_paths.h"
#include "text.h"

namespace tindral {

namespace {

constexpr std::string_view kDesktopIniName = "desktop.ini";
constexpr std::string_view kGitFolderName = ".git";

// A desktop.ini inside a repository's .git folder (refs/heads holds files, so it would count as
// content) is read by git as a broken ref and corrupts the repository: the walk leaves .git
// alone as if it were a protected location.
bool is_git_folder(std::string_view name) { return text::ascii_iequals(name, kGitFolderName); }

/// What one folder's listing tells the walk.
struct FolderListing {
  std::vector<std::string> subfolders;  ///< names to visit, in listing order
  bool has_content_file = false;
  /// Spares the decision an attempt to read a desktop.ini the listing did not show.
  ListedDesktopIni desktop_ini = ListedDesktopIni::Absent;
};

/// The subfolders to visit and what else the walk needs of a folder's listing; nothing when the
/// listing cannot be opened.
std::optional<FolderListing> read_listing(platform::FileSystem& fs, const Path& folder) {
  FolderListing result;
  const std::optional<ListedDesktopIni> desktop_ini =
      read_listing_entries(fs, folder, [&](platform::DirEntry& entry) {
        if (is_link_entry(entry)) return;
        if (is_subfolder_entry(entry)) {
          if (is_git_folder(entry.name) || is_protected_path(folder.child(entry.name))) return;
          result.subfolders.push_back(std::move(entry.name));
        } else if (!result.has_content_file && is_content_file(entry)) {
          result.has_content_file = true;
        }
      });
  if (!desktop_ini) return std::nullopt;
  result.desktop_ini = *desktop_ini;
  return result;
}

/// One folder whose listing was read and whose subfolders are being walked.
struct Frame {
  std::size_t path_length = 0;          ///< the folder's path is this prefix of the current path
  std::vector<std::string> subfolders;  ///< released when the folder is decided
  std::size_t next_subfolder = 0;
  bool has_content = false;  ///< an own content file or a subfolder with content
  ListedDesktopIni desktop_ini = ListedDesktopIni::Unknown;
  FolderScanResult totals;  ///< the folder itself and its subfolders walked so far
};

Frame start_frame(std::size_t path_length, FolderListing listing) {
  Frame frame;
  frame.path_length = path_length;
  frame.subfolders = std::move(listing.subfolders);
  frame.has_content = listing.has_content_file;
  frame.desktop_ini = listing.desktop_ini;
  frame.totals.folders = 1;
  return frame;
}

/// The bottom-up rule: content anywhere below gets the icon, none takes the service's file out.
/// A foreign or unwritable desktop.ini still counts as content for the parent.
FolderScanResult decide(platform::FileSystem& fs, const Path& folder, const Frame& frame) {
  FolderScanResult result = frame.totals;
  result.has_content = frame.has_content;
  if (frame.has_content) {
    Result<bool> written = ensure_desktop_ini(fs, folder, frame.desktop_ini);
    if (written.ok() && *written) ++result.ini_written;
  } else {
    Result<bool> removed = remove_desktop_ini(fs, folder, frame.desktop_ini);
    if (removed.ok() && *removed) ++result.ini_removed;
  }
  return result;
}

void add_child(Frame& parent, const FolderScanResult& child) {
  parent.totals.folders += child.folders;
  parent.totals.ini_written += child.ini_written;
  parent.totals.ini_removed += child.ini_removed;
  parent.has_content = parent.has_content || child.has_content;
}

/// A folder whose listing cannot be opened: counted, left untouched, no content.
constexpr FolderScanResult kUnlistedFolder{1, 0, 0, false};

}  // namespace

bool is_link_entry(const platform::DirEntry& entry) {
  return (entry.attributes & platform::kAttrReparsePoint) != 0 &&
         (entry.reparse_tag & platform::kReparseTagNameSurrogate) != 0;
}

bool is_subfolder_entry(const platform::DirEntry& entry) {
  return !is_link_entry(entry) && (entry.attributes & platform::kAttrDirectory) != 0;
}

bool is_content_file(const platform::DirEntry& entry) {
  if (is_link_entry(entry) || is_subfolder_entry(entry)) return false;
  if (entry.name.starts_with('.')) return false;
  return !text::ascii_iequals(entry.name, kDesktopIniName);
}

// The walk is depth first with each folder decided after its subtree. It keeps its own stack of
// frames instead of recursing, because a service thread has a small stack and folder trees have
// no depth limit. All frames share one current path, which the walk extends on the way down and
// cuts back on the way up, so that memory grows with the length of the current path and the
// subfolder names of the folders along it, never with the size of the tree.
FolderScanResult scan_folder(platform::FileSystem& fs, const Path& folder) {
  std::optional<FolderListing> root_listing = read_listing(fs, folder);
  if (!root_listing) return kUnlistedFolder;

  Path current = folder;
  std::vector<Frame> stack;
  stack.push_back(start_frame(current.bytes().size(), std::move(*root_listing)));
  while (true) {
    Frame& top = stack.back();
    if (current.bytes().size() != top.path_length) {
      current = Path(current.bytes().substr(0, top.path_length));
    }
    if (top.next_subfolder < top.subfolders.size()) {
      const std::string& name = top.subfolders[top.next_subfolder++];
      current = current.child(name);
      std::optional<FolderListing> listing = read_listing(fs, current);
      if (listing) {
        stack.push_back(start_frame(current.bytes().size(), std::move(*listing)));
      } else {
        add_child(top, kUnlistedFolder);
      }
      continue;
    }
    const FolderScanResult done = decide(fs, current, top);
    stack.pop_back();
    if (stack.empty()) return done;
    add_child(stack.back(), done);
  }
}

}  // namespace tindral
