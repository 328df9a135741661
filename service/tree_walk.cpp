#include "tree_walk.h"

#include <algorithm>
#include <cstddef>
#include <deque>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "log.h"
#include "log_targets.h"

namespace tindral {

namespace {

bool is_raised(const platform::StopSignal* stop) { return stop != nullptr && stop->requested(); }

// The most folders the walk keeps open along its path. A tree of ordinary depth stays within it
// and is never reopened; a deeper one keeps evenly spaced ancestors and the folders nearest to
// where it is, so that it runs within a process's default descriptor limit however deep it is.
constexpr std::size_t kMaxOpenFolders = 128;
// What the walk keeps when it lets folders go: this many ancestors spread along the path and as
// many of the latest, so that letting go happens once every so many levels, not at each.
constexpr std::size_t kKeptAnchors = kMaxOpenFolders / 4;
constexpr std::size_t kKeptLatest = kMaxOpenFolders / 4;

/// One folder on the walk's path. A frame costs its name and about a hundred bytes: nothing in
/// it grows with the path above it.
struct Frame {
  std::string name;                          ///< empty for the root
  std::unique_ptr<platform::Folder> folder;  ///< null while let go
  platform::FileId id;                       ///< taken when the folder is let go
  std::vector<std::string> subfolders;       ///< to walk, in listing order
  std::size_t next_subfolder = 0;
  bool has_id = false;
  bool lost = false;  ///< could not be reached again after it was let go
};

class TreeWalker final : public WalkPath {
 public:
  TreeWalker(WalkVisitor& visitor, const platform::StopSignal* stop)
      : visitor_(visitor), stop_(stop) {}

  // Joined in one string rather than a child at a time, which would copy the path per level.
  Path current(const Path& root) const override {
    std::string below;
    for (std::size_t i = 1; i < frames_.size(); ++i) {
      if (i > 1) below += platform::kSeparator;
      below += frames_[i].name;
    }
    return below.empty() ? root : root.child(below);
  }

  WalkEnd run(Result<std::unique_ptr<platform::Folder>> opened) {
    visitor_.walk_started(*this);
    if (!opened) {
      visitor_.folder_unopened();
      return WalkEnd::Finished;
    }
    enter({}, std::move(opened).value());
    while (!frames_.empty()) {
      if (stop_requested()) return WalkEnd::Stopped;
      Frame& top = frames_.back();
      if (top.next_subfolder < top.subfolders.size()) {
        descend();
      } else {
        ascend();
      }
    }
    return WalkEnd::Finished;
  }

 private:
  bool stop_requested() const { return is_raised(stop_); }

  void enter(std::string name, std::unique_ptr<platform::Folder> folder) {
    if (!visitor_.enter_folder(name, *folder)) return;
    Frame& frame = frames_.emplace_back();
    frame.name = std::move(name);
    frame.folder = std::move(folder);
    open_count_ += 1;
    list(frame);
    if (open_count_ > kMaxOpenFolders) let_go_of_folders();
  }

  // Reads the whole listing and closes it before anything below is opened, so that one listing
  // is open at a time however deep the walk goes.
  void list(Frame& frame) {
    Result<std::unique_ptr<platform::DirListing>> listing = frame.folder->open_listing();
    if (!listing) {
      visitor_.folder_listed(*frame.folder, Listing::Refused, ListedDesktopIni::Unknown);
      return;
    }
    const bool at_depth_limit = frames_.size() - 1 == kMaxWalkDepth;
    bool cut = false;
    ListedDesktopIni desktop_ini = ListedDesktopIni::Absent;
    platform::DirEntry entry;
    Result<bool> more = (*listing)->next(entry);
    for (; more && *more; more = (*listing)->next(entry)) {
      if (may_name_desktop_ini(entry.name)) desktop_ini = ListedDesktopIni::Unknown;
      if (!visitor_.take_entry(entry)) continue;
      if (at_depth_limit) {
        cut = true;
      } else {
        frame.subfolders.push_back(std::move(entry.name));
      }
    }
    // The entries not read may include desktop.ini; those read stand.
    if (!more) desktop_ini = ListedDesktopIni::Unknown;
    listing->reset();
    visitor_.folder_listed(*frame.folder, more ? Listing::Whole : Listing::Partial, desktop_ini);
    if (!visitor_.walks_below()) {
      frame.subfolders = {};
    } else if (cut) {
      visitor_.cut_at_depth_limit();
    }
  }

  void descend() {
    const std::size_t parent_index = frames_.size() - 1;
    Frame& parent_frame = frames_[parent_index];
    std::string name = std::move(parent_frame.subfolders[parent_frame.next_subfolder++]);
    if (parent_frame.next_subfolder == parent_frame.subfolders.size()) {
      // The names are not needed once the last one is taken.
      parent_frame.subfolders = {};
      parent_frame.next_subfolder = 0;
    }
    platform::Folder* parent = reach(parent_index);
    if (parent == nullptr) {
      visitor_.folder_unopened();
      return;
    }
    Result<std::unique_ptr<platform::Folder>> opened = parent->open_subfolder(name);
    if (!opened) {
      // What a Windows listing shows as a mount point, a link entry, natively looks like any
      // other folder until it is opened: it is passed over the same way.
      if (opened.error().kind() != ErrorKind::OtherFileSystem) visitor_.folder_unopened();
      return;
    }
    enter(std::move(name), std::move(opened).value());
  }

  void ascend() {
    const std::size_t index = frames_.size() - 1;
    platform::Folder* folder = reach(index);
    visitor_.leave_folder(folder);
    // The parent was let go: the folder being left can tell where it lies now, which spares
    // reopening the parent from an ancestor, provided it is still the folder the walk listed.
    if (index > 0 && folder != nullptr && frames_[index - 1].folder == nullptr &&
        !frames_[index - 1].lost) {
      adopt_if_same(index - 1, folder->open_parent());
    }
    if (frames_.back().folder != nullptr) open_count_ -= 1;
    frames_.pop_back();
    thinned_end_ = std::min(thinned_end_, frames_.size());
  }

  // The open folder of the frame at `index`, reopened if it was let go; null when it cannot be
  // reached as the folder the walk listed.
  platform::Folder* reach(std::size_t index) {
    Frame& frame = frames_[index];
    if (frame.folder != nullptr || frame.lost) return frame.folder.get();
    std::size_t from = index;
    while (from > 0 && frames_[from - 1].folder == nullptr) --from;
    if (from == 0 || frames_[from - 1].lost) {
      mark_lost(from, index);
      return nullptr;
    }
    // Opens each folder from the nearest open ancestor down, keeping the last ones, which the
    // way back up needs next, and a few spread over the rest, so that reaching those later
    // starts close by rather than at the ancestor again.
    const std::size_t keep_every = std::max<std::size_t>(1, (index - from + 1) / kKeptLatest);
    for (std::size_t i = from; i <= index; ++i) {
      Result<std::unique_ptr<platform::Folder>> opened =
          frames_[i - 1].folder->open_subfolder(frames_[i].name);
      if (!adopt_if_same(i, std::move(opened))) {
        mark_lost(i, index);
        return nullptr;
      }
      const std::size_t above = i - 1;
      if (above >= from && above + kKeptLatest <= index && (above - from) % keep_every != 0) {
        let_go(frames_[above]);
      }
    }
    return frame.folder.get();
  }

  // Takes `opened` as the frame's folder when it is the folder the walk listed there.
  bool adopt_if_same(std::size_t index, Result<std::unique_ptr<platform::Folder>> opened) {
    Frame& frame = frames_[index];
    if (!opened || !frame.has_id) return false;
    Result<platform::FileId> id = (*opened)->id();
    if (!id || *id != frame.id) return false;
    frame.folder = std::move(opened).value();
    open_count_ += 1;
    return true;
  }

  void mark_lost(std::size_t first, std::size_t last) {
    for (std::size_t i = first; i <= last; ++i) frames_[i].lost = true;
  }

  // A folder is let go only once its identity is known, so that it can be recognised when it is
  // reopened; one whose identity cannot be read stays open.
  void let_go(Frame& frame) {
    if (frame.folder == nullptr) return;
    if (!frame.has_id) {
      Result<platform::FileId> id = frame.folder->id();
      if (!id) return;
      frame.id = *id;
      frame.has_id = true;
    }
    frame.folder.reset();
    open_count_ -= 1;
  }

  // Keeps the root, ancestors at even spacing and the latest folders; lets go of the rest. Only
  // the frames entered since the last time, and the ancestors that the spacing no longer keeps,
  // are looked at, so that letting go costs no more than entering did.
  void let_go_of_folders() {
    const std::size_t depth = frames_.size();
    std::size_t spacing = spacing_;
    while (depth / spacing > kKeptAnchors) spacing *= 2;
    if (spacing != spacing_) {
      for (std::size_t i = spacing_; i < thinned_end_; i += spacing_) {
        if (i % spacing != 0) let_go(frames_[i]);
      }
      spacing_ = spacing;
    }
    for (std::size_t i = std::max<std::size_t>(thinned_end_, 1); i + kKeptLatest < depth; ++i) {
      if (i % spacing_ != 0) let_go(frames_[i]);
    }
    thinned_end_ = std::max(thinned_end_, depth - kKeptLatest);
  }

  WalkVisitor& visitor_;
  const platform::StopSignal* stop_;
  // A deque grows in pieces: a deep path never needs its frames twice over, as a vector's
  // doubling would while it moves them.
  std::deque<Frame> frames_;
  std::size_t open_count_ = 0;
  /// Ancestors are kept this far apart once the path is too long to keep every folder open.
  std::size_t spacing_ = 1;
  /// Frames below this have been let go of where the spacing says so.
  std::size_t thinned_end_ = 0;
};

}  // namespace

void warn_cut_at_depth_limit(const Path& root) {
  log::warn(log::kTargetScanner, "Root path is deeper than " + std::to_string(kMaxWalkDepth) +
                                     " folders; not walked below that depth: " + root.display());
}

WalkEnd walk_tree(platform::FileSystem& fs, const Path& root, WalkVisitor& visitor,
                  const platform::StopSignal* stop) {
  if (is_raised(stop)) return WalkEnd::Stopped;
  return walk_tree(fs.open_folder(root), visitor, stop);
}

WalkEnd walk_tree(Result<std::unique_ptr<platform::Folder>> root, WalkVisitor& visitor,
                  const platform::StopSignal* stop) {
  return TreeWalker(visitor, stop).run(std::move(root));
}

}  // namespace tindral
