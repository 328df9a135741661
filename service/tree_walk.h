#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string_view>

#include "desktop_ini.h"
#include "error.h"
#include "platform/file_system.h"
#include "platform/path.h"
#include "platform/stop_signal.h"

namespace tindral {

/// How much of a folder's listing a walk read.
enum class Listing : std::uint8_t {
  /// The listing could not be opened: nothing is known of what the folder holds.
  Refused,
  /// The listing broke off part-way: the entries read stand, the others are unknown.
  Partial,
  /// Every entry was read.
  Whole,
};

/// The folders a walk has entered and not yet left, from the root down.
class WalkPath {
 public:
  /// `root` followed by the names of the folders below it down to the current one. The walk
  /// keeps names, not paths, so this is built afresh at every call: for the rare message that
  /// must name a folder, not for every folder.
  virtual Path current(const Path& root) const = 0;

 protected:
  ~WalkPath() = default;
};

/// How many levels below its root a walk goes: a folder this deep is listed (its files count),
/// but none of its subfolders is entered. No Windows path reaches that deep (32,767 characters
/// hold at most half as many names), and the walk's memory, which grows with the depth, stays
/// bounded however deep a tree someone builds. To the bottom-up decision the folders below the
/// limit do not exist: a folder whose only content lies below it holds nothing.
inline constexpr std::size_t kMaxWalkDepth = 32768;

/// Logs the scanner's warning that the walk of `root` stopped at kMaxWalkDepth.
void warn_cut_at_depth_limit(const Path& root);

/// What a walk does at each folder. The walker calls these in the order of the walk; "the
/// current folder" is the one entered last and not yet left.
class WalkVisitor {
 public:
  virtual ~WalkVisitor() = default;

  /// Called once before anything else, with the walk's path, which stays valid until the walk
  /// ends.
  virtual void walk_started(const WalkPath&) {}
  /// The root (with an empty name) or the current folder's subfolder `name` is open as `folder`
  /// and about to be listed. True enters it: it becomes the current folder. False leaves it
  /// alone as if its parent had never listed it: it is neither entered nor left.
  virtual bool enter_folder(std::string_view name, platform::Folder& folder) = 0;
  /// One entry of the current folder's listing; true for a subfolder to walk into later.
  virtual bool take_entry(const platform::DirEntry& entry) = 0;
  /// The current folder has been listed, before anything below it is walked; `listing` says
  /// how much of it was read, and entries taken before a listing broke off stand.
  virtual void folder_listed(platform::Folder& folder, Listing listing,
                             ListedDesktopIni desktop_ini) = 0;
  /// Asked once the current folder is listed: false leaves everything below it alone (none of
  /// its subfolders is walked); it is still left as usual.
  virtual bool walks_below() { return true; }
  /// The current folder lies kMaxWalkDepth levels below the root and holds subfolders the walk
  /// would enter, which it does not.
  virtual void cut_at_depth_limit() = 0;
  /// The root, or a subfolder of the current folder, could not be opened as a folder (gone,
  /// refused, or a link by now). It is neither entered nor left.
  virtual void folder_unopened() = 0;
  /// Everything below the current folder has been walked and it is left. `folder` is null when
  /// the walk could not reach the folder again (it was moved or replaced meanwhile).
  virtual void leave_folder(platform::Folder* folder) = 0;
};

/// How a walk ended.
enum class WalkEnd { Finished, Stopped };

/// Walks the tree below `root` depth first through open folders: the root is opened by its path
/// (a root that is a link is walked through it), every folder below it relative to its parent
/// and as itself, never through a link. Each listing is read whole and closed before anything
/// below it is opened. The walk goes kMaxWalkDepth levels deep at most; the folders it keeps open
/// along the path stay bounded: on the way back up it reopens the ones it let go and makes sure
/// each is still the folder it listed. A subfolder on another file system (natively; on Windows
/// a mount point is a link entry) is neither entered nor reported, as if the listing had not
/// shown it. `stop` (when given) is tested at every folder; once it is
/// raised the walk ends at once, leaving every folder it has entered and not left undecided.
WalkEnd walk_tree(platform::FileSystem& fs, const Path& root, WalkVisitor& visitor,
                  const platform::StopSignal* stop = nullptr);

/// The same walk from a root the caller has opened already, so that the folder it looked at is
/// the folder that is walked; an error stands for a root that could not be opened as a folder.
/// The root is listed before `stop` is first tested.
WalkEnd walk_tree(Result<std::unique_ptr<platform::Folder>> root, WalkVisitor& visitor,
                  const platform::StopSignal* stop = nullptr);

}  // namespace tindral
