#include "update_after_changes.h"

#include <algorithm>
#include <cstddef>
#include <deque>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "desktop_ini.h"
#include "entry_rules.h"
#include "protected_paths.h"
#include "tree_walk.h"

namespace tindral {

namespace {

using Names = std::vector<std::string>;

bool is_raised(const platform::StopSignal* stop) { return stop != nullptr && stop->requested(); }

// A change's names come from the platform and are opened one by one below an open folder: each
// must name one entry in it, never the folder itself, its parent or something further down.
bool is_entry_name(std::string_view name) {
  if (name.empty() || name == "." || name == "..") return false;
  return std::none_of(name.begin(), name.end(),
                      [](char c) { return c == '\0' || platform::is_separator(c); });
}

// The latest folders of a path stay open; above them only evenly spaced ones do, and going back
// up reopens the stretch between two of them from the one above. Spaced about the square root of
// the depth apart, the anchors and one reopened stretch hold about twice that many handles: a
// few hundred on the deepest path a walk enters (kMaxWalkDepth), each folder reopened once.
constexpr std::size_t kKeptLatest = 32;

std::size_t anchor_spacing(std::size_t depth) {
  std::size_t root = 1;
  while (root * root < depth) ++root;
  return std::max(kKeptLatest, root);
}

/// The folders from the root down to where a reach got, each opened from the one above it by
/// name and as itself. A folder let go of is reopened the same way and must be the same folder.
class FolderPath {
 public:
  FolderPath(platform::Folder& root, const Path& location, std::size_t expected_depth)
      : root_(root),
        location_(location),
        spacing_(anchor_spacing(expected_depth)),
        protected_paths_(location) {}

  std::size_t depth() const { return levels_.size(); }
  const Names& names() const { return names_; }
  ProtectedPathWalk& protected_paths() { return protected_paths_; }

  Path location() const {
    std::string below;
    for (const std::string& name : names_) {
      if (!below.empty()) below += platform::kSeparator;
      below += name;
    }
    return below.empty() ? location_ : location_.child(below);
  }

  /// The folder `level` levels below the root (0 the root); null when it cannot be reached again
  /// as the folder that was opened there.
  platform::Folder* at(std::size_t level) {
    if (level == 0) return &root_;
    if (levels_[level - 1].folder != nullptr) return levels_[level - 1].folder.get();
    std::size_t open = level - 1;
    while (open > 0 && levels_[open - 1].folder == nullptr) --open;
    for (std::size_t next = open + 1; next <= level; ++next) {
      Level& reopened = levels_[next - 1];
      Result<std::unique_ptr<platform::Folder>> folder =
          at(next - 1)->open_subfolder(names_[next - 1]);
      if (!folder) return nullptr;
      Result<platform::FileId> id = (*folder)->id();
      if (!id || *id != reopened.id) return nullptr;
      reopened.folder = std::move(folder).value();
    }
    return levels_[level - 1].folder.get();
  }

  platform::Folder& top() { return *at(depth()); }

  void push(std::string name, std::unique_ptr<platform::Folder> folder) {
    protected_paths_.enter(name);
    names_.push_back(std::move(name));
    levels_.push_back(Level{std::move(folder)});
    if (levels_.size() > kKeptLatest) let_go(levels_.size() - kKeptLatest);
  }

  void pop() {
    protected_paths_.leave();
    names_.pop_back();
    levels_.pop_back();
  }

 private:
  struct Level {
    std::unique_ptr<platform::Folder> folder;  ///< null while let go
    platform::FileId id{};
  };

  // A folder whose identity cannot be read stays open: it could not be recognised again.
  void let_go(std::size_t level) {
    if (level % spacing_ == 0) return;
    Level& let = levels_[level - 1];
    Result<platform::FileId> id = let.folder->id();
    if (!id) return;
    let.id = *id;
    let.folder.reset();
  }

  platform::Folder& root_;
  const Path location_;
  const std::size_t spacing_;
  ProtectedPathWalk protected_paths_;
  Names names_;
  std::deque<Level> levels_;
};

/// How far the way to a folder went.
enum class Reach : std::uint8_t {
  /// Every name led to a folder the scan walks.
  Whole,
  /// A name led where the scan never goes (a link, a .git folder, a bare repository, a protected
  /// or system folder, another file system): nothing there is the service's to decide.
  Refused,
  /// A name no longer leads to a folder (renamed, removed, replaced by a file): the names were
  /// stale, and the deepest folder reached is the one whose answer may have changed.
  Broken,
};

/// What one folder's answer came to.
enum class Answer : std::uint8_t {
  /// It holds content (or is the user's icon, or could not be listed whole): the folders above
  /// it keep or get the icon.
  Content,
  /// It lost the service's icon: the folder above is to be decided again.
  Lost,
  /// Nothing changed that the folders above depend on.
  Unchanged,
  /// A stop request ended the work.
  Stopped,
};

/// What a folder that appeared in the folder being looked at came to.
enum class Appeared : std::uint8_t { NotAFolder, Ignored, Content, NoContent, Lost, Stopped };

bool carries_service_icon(const std::optional<DesktopIniKind>& kind) {
  return kind == DesktopIniKind::UpToDate || kind == DesktopIniKind::Marked;
}

// The marker a walk leaves shows the folder's answer without walking it again; a customised
// file is the user's icon and counts as content to the scan too.
bool marks_content(const std::optional<DesktopIniKind>& kind) {
  return carries_service_icon(kind) || kind == DesktopIniKind::Customised;
}

class ChangeUpdater {
 public:
  ChangeUpdater(platform::Folder& root, const Path& location, const platform::StopSignal* stop,
                const FolderEnteredHook* entered)
      : root_(root), location_(location), stop_(stop), entered_(entered) {}

  ChangeUpdateStats stats;

  void look_at(const FolderToLookAt& changed) {
    FolderPath path(root_, location_, changed.names.size());
    const Reach reach = reach_folder(path, changed.names);
    if (reach == Reach::Refused) return;
    if (reach == Reach::Broken) {
      decide_upward(path, {});
      return;
    }
    if (changed.whole_subtree && path.depth() > 0) {
      std::string name = path.names().back();
      path.pop();
      after_appeared(path, {std::move(name)}, false);
      return;
    }
    after_appeared(path, changed.appeared, changed.list_again || changed.whole_subtree);
  }

 private:
  bool stopping() {
    if (is_raised(stop_)) stats.cut_short = true;
    return stats.cut_short;
  }

  // Name by name from the root, by the rules the scan walks by; the folders passed through are
  // tested for a bare repository by lookups, since they are not listed.
  Reach reach_folder(FolderPath& path, const Names& names) {
    if (is_bare_repository(root_)) return Reach::Refused;
    for (const std::string& name : names) {
      if (path.depth() == kMaxWalkDepth) return Reach::Refused;
      if (!is_entry_name(name)) return Reach::Broken;
      if (is_git_folder_name(name) || path.protected_paths().is_protected_child(name)) {
        return Reach::Refused;
      }
      Result<std::unique_ptr<platform::Folder>> opened = path.top().open_subfolder(name);
      if (!opened) {
        return opened.error().kind() == ErrorKind::OtherFileSystem ? Reach::Refused : Reach::Broken;
      }
      // A folder whose attributes cannot be read is left to the walk from its parent, which
      // treats it as the scan does.
      const Result<std::uint32_t> attributes = (*opened)->attributes();
      if (!attributes) return Reach::Broken;
      if (is_system_folder(*attributes) || is_bare_repository(**opened)) return Reach::Refused;
      path.push(name, std::move(opened).value());
    }
    return Reach::Whole;
  }

  void after_appeared(FolderPath& path, const Names& appeared, bool list_again) {
    bool files = false;
    bool gained = false;
    for (const std::string& name : appeared) {
      if (stopping()) return;
      switch (walk_appeared(path, name)) {
        case Appeared::NotAFolder:
          files = true;
          break;
        case Appeared::Content:
          gained = true;
          break;
        case Appeared::Lost:
          list_again = true;
          break;
        case Appeared::Stopped:
          return;
        case Appeared::Ignored:
        case Appeared::NoContent:
          break;
      }
    }
    // A folder that already carries the service's icon keeps it whatever files arrive.
    if (list_again || (files && desktop_ini_kind(path.top()) != DesktopIniKind::UpToDate)) {
      decide_upward(path, {});
    } else if (gained) {
      give_icon_upward(path);
    }
  }

  // A folder that appeared is walked as the scan walks a root, which the reach has shown it may
  // be: the walk itself judges what lies below it.
  Appeared walk_appeared(FolderPath& path, const std::string& name) {
    if (!is_entry_name(name)) return Appeared::NotAFolder;
    if (is_git_folder_name(name) || path.protected_paths().is_protected_child(name)) {
      return Appeared::Ignored;
    }
    Result<std::unique_ptr<platform::Folder>> opened = path.top().open_subfolder(name);
    if (!opened) {
      return opened.error().kind() == ErrorKind::OtherFileSystem ? Appeared::Ignored
                                                                 : Appeared::NotAFolder;
    }
    const Result<std::uint32_t> attributes = (*opened)->attributes();
    if (attributes && is_system_folder(*attributes)) return Appeared::Ignored;
    const bool had_icon = carries_service_icon(desktop_ini_kind(**opened));
    const FolderScanResult walked = walk_whole(path, name, std::move(opened).value());
    if (walked.cut_short) return Appeared::Stopped;
    if (walked.has_content) return Appeared::Content;
    return had_icon ? Appeared::Lost : Appeared::NoContent;
  }

  FolderScanResult walk_whole(FolderPath& path, const std::string& name,
                              std::unique_ptr<platform::Folder> folder) {
    Names prefix = path.names();
    prefix.push_back(name);
    const FolderEnteredHook from_root = [&](const Names& below, platform::Folder& entered) {
      Names names = prefix;
      names.insert(names.end(), below.begin(), below.end());
      (*entered_)(names, entered);
    };
    FolderScanResult walked = scan_folder(std::move(folder), path.location().child(name), stop_,
                                          entered_ != nullptr ? &from_root : nullptr);
    stats.folders_looked_at += walked.folders;
    stats.ini_written += walked.ini_written;
    stats.ini_removed += walked.ini_removed;
    stats.failures.add(walked.failures);
    if (walked.cut_short) stats.cut_short = true;
    return walked;
  }

  // The folder on top of `path` is listed and decided, and its parent after it as long as the
  // folder lost its icon; the first that has content gives the icon to the folders above.
  void decide_upward(FolderPath& path, std::string decided_child) {
    for (;;) {
      if (stopping()) return;
      const Answer answer = list_and_decide(path, decided_child);
      if (answer == Answer::Content && path.depth() > 0) {
        path.pop();
        give_icon_upward(path);
      }
      if (answer != Answer::Lost || path.depth() == 0) return;
      decided_child = path.names().back();
      path.pop();
    }
  }

  // `decided_child` has just been decided to hold nothing and is not walked again.
  Answer list_and_decide(FolderPath& path, const std::string& decided_child) {
    platform::Folder* folder = path.at(path.depth());
    if (folder == nullptr) return Answer::Unchanged;
    const Result<std::uint32_t> attributes = folder->attributes();
    if (entered_ != nullptr) (*entered_)(path.names(), *folder);
    ++stats.folders_looked_at;
    Result<std::unique_ptr<platform::DirListing>> listing = folder->open_listing();
    // Nothing is known of what the folder holds: it is left as it is, as the scan leaves it.
    if (!listing) return Answer::Unchanged;
    ListedDesktopIni desktop_ini = ListedDesktopIni::Absent;
    bool content = false;
    bool leftovers = false;
    Names subfolders;
    platform::DirEntry entry;
    Result<bool> more = true;
    // The first content file decides; the folder is no bare repository (the reach looked).
    while (!content) {
      more = (*listing)->next(entry);
      if (!more || !*more) break;
      if (may_name_desktop_ini(entry.name)) desktop_ini = ListedDesktopIni::Unknown;
      if (is_desktop_ini_leftover_name(entry.name)) leftovers = true;
      if (is_content_file(entry)) {
        content = true;
      } else if (is_subfolder_entry(entry) && !is_system_folder(entry.attributes) &&
                 !is_git_folder_name(entry.name) && entry.name != decided_child &&
                 !path.protected_paths().is_protected_child(entry.name)) {
        subfolders.push_back(std::move(entry.name));
      }
    }
    // A listing that broke off may hide content: nothing in the folder is decided, and the
    // folders above keep their icons.
    if (!more) return Answer::Content;
    // The entries after the first content file were not read.
    if (content) desktop_ini = ListedDesktopIni::Unknown;
    listing->reset();
    if (leftovers) remove_desktop_ini_leftovers(*folder);
    for (const std::string& name : subfolders) {
      if (content) break;
      if (stopping()) return Answer::Stopped;
      const std::optional<bool> below = subfolder_has_content(path, *folder, name);
      if (!below) return Answer::Stopped;
      content = *below;
    }
    return decide(path, *folder, attributes, content, desktop_ini);
  }

  // nullopt when a stop request ended its walk.
  std::optional<bool> subfolder_has_content(FolderPath& path, platform::Folder& folder,
                                            const std::string& name) {
    Result<std::unique_ptr<platform::Folder>> opened = folder.open_subfolder(name);
    if (!opened) return false;
    const Result<std::uint32_t> attributes = (*opened)->attributes();
    if (attributes && is_system_folder(*attributes)) return false;
    if (marks_content(desktop_ini_kind(**opened))) return !is_bare_repository(**opened);
    const FolderScanResult walked = walk_whole(path, name, std::move(opened).value());
    if (walked.cut_short) return std::nullopt;
    return walked.has_content;
  }

  // The scan's decision for one folder (scan_folder's ScanVisitor::decide).
  Answer decide(FolderPath& path, platform::Folder& folder, const Result<std::uint32_t>& attributes,
                bool content, ListedDesktopIni desktop_ini) {
    if (content) {
      if (attributes && !is_encrypted_folder(*attributes)) {
        count(path, ensure_desktop_ini(folder, desktop_ini), stats.ini_written);
      }
      return Answer::Content;
    }
    if (!attributes) return Answer::Unchanged;
    Result<Removal> removed = remove_desktop_ini(folder, desktop_ini);
    if (!removed) {
      count(path, std::move(removed).error(), stats.ini_removed);
      return Answer::Unchanged;
    }
    if (*removed == Removal::KeptCustomised) return Answer::Content;
    if (*removed == Removal::Removed) {
      ++stats.ini_removed;
      return Answer::Lost;
    }
    return Answer::Unchanged;
  }

  // From the folder on top of `path` up to the first that carries the service's current icon,
  // which a walk gave it together with the folders above it.
  void give_icon_upward(FolderPath& path) {
    for (;;) {
      platform::Folder* folder = path.at(path.depth());
      if (folder == nullptr) return;
      if (desktop_ini_kind(*folder) == DesktopIniKind::UpToDate) return;
      const Result<std::uint32_t> attributes = folder->attributes();
      if (attributes && !is_encrypted_folder(*attributes)) {
        count(path, ensure_desktop_ini(*folder), stats.ini_written);
      }
      if (path.depth() == 0) return;
      path.pop();
    }
  }

  void count(const FolderPath& path, const Result<bool>& done, std::uint64_t& counter) {
    if (!done) {
      stats.failures.add(done.error(), [&] { return path.location(); });
    } else if (*done) {
      ++counter;
    }
  }

  platform::Folder& root_;
  const Path& location_;
  const platform::StopSignal* stop_;
  const FolderEnteredHook* entered_;
};

}  // namespace

void ChangeUpdateStats::add(const ChangeUpdateStats& other) {
  folders_looked_at += other.folders_looked_at;
  ini_written += other.ini_written;
  ini_removed += other.ini_removed;
  failures.add(other.failures);
  cut_short = cut_short || other.cut_short;
}

std::string changes_summary(const ChangeUpdateStats& stats) {
  return "Updated after changes: " + std::to_string(stats.folders_looked_at) +
         " folders looked at, " + std::to_string(stats.ini_written) + " written, " +
         std::to_string(stats.ini_removed) + " removed";
}

ChangeUpdateStats update_after_changes(platform::Folder& root, const Path& location,
                                       const std::vector<FolderToLookAt>& folders,
                                       const platform::StopSignal* stop,
                                       const FolderEnteredHook* entered) {
  ChangeUpdater updater(root, location, stop, entered);
  for (const FolderToLookAt& folder : folders) {
    if (is_raised(stop)) {
      updater.stats.cut_short = true;
      break;
    }
    updater.look_at(folder);
    if (updater.stats.cut_short) break;
  }
  return updater.stats;
}

}  // namespace tindral
