#include "chase_path.h"

#include <optional>
#include <string>
#include <string_view>
#include <utility>

#include "canonical_path.h"

namespace tindral {

namespace {

using End = ChasedPath::End;
using platform::FolderStep;
using platform::Owner;

// Linux gives up after 40 links, Windows after 63; an administrator's chain of links to a root
// is a handful long, and a circle of them ends here.
constexpr int kMostLinksFollowed = 32;

constexpr char kSeparator = platform::kSeparator;

ChasedPath not_found(Error error) {
  ChasedPath chased;
  chased.error = std::move(error);
  return chased;
}

ChasedPath refused(End end, std::string stopped_at) {
  ChasedPath chased;
  chased.end = end;
  chased.stopped_at = Path(std::move(stopped_at));
  return chased;
}

// Where the names of a canonical path begin, after the folder it starts at: "/", "C:\" or
// "\\server\share\" (which canonical_path always ends with a separator).
std::size_t top_length(std::string_view canonical) {
  if (kPlatformPathStyle == PathStyle::Posix) return 1;
  if (!canonical.starts_with("\\\\")) return 3;
  const std::size_t server_end = canonical.find(kSeparator, 2);
  const std::size_t share_end = canonical.find(kSeparator, server_end + 1);
  return share_end == std::string_view::npos ? canonical.size() : share_end + 1;
}

std::string_view take_name(std::string_view& rest) {
  const std::size_t end = rest.find(kSeparator);
  const std::string_view name = rest.substr(0, end);
  rest = end == std::string_view::npos ? std::string_view() : rest.substr(end + 1);
  return name;
}

std::string joined(std::string_view folder, std::string_view name) {
  std::string path(folder);
  if (!path.ends_with(kSeparator)) path += kSeparator;
  return path.append(name);
}

// An owner without an account (a file system that keeps none) is nobody's, which no rule
// about accounts can hold against it.
bool is_ordinary_account(const Owner& owner) {
  return !owner.administrator && !owner.account.empty();
}

/// The accounts along the way: whose folders the walk is in (none while it has met only
/// administrators' folders).
class Accounts {
 public:
  /// False when `owner` is another ordinary account than the one whose folders were entered.
  bool may_enter(const Owner& owner) const {
    return !is_ordinary_account(owner) || !current_ || *current_ == owner.account;
  }
  void enter(const Owner& owner) {
    if (is_ordinary_account(owner)) current_ = owner.account;
  }

 private:
  std::optional<std::string> current_;
};

// The path a link leads to with the names after it, spelled canonically, or nothing when its
// target is no path to follow: a relative target continues from the link's folder, and one that
// starts at a separator or names a drive's current folder (Windows' "\Data", "C:Data") has no
// folder it is relative to that the link could rely on.
std::optional<std::string> through_link(std::string_view folder, std::string_view target,
                                        std::string_view rest) {
  if (target.empty()) return std::nullopt;
  CanonicalPath absolute = canonical_path(target, kPlatformPathStyle);
  std::string spelled;
  if (absolute.problem == CanonicalPath::Problem::None) {
    spelled = std::move(absolute.text);
  } else if (absolute.problem == CanonicalPath::Problem::NotAbsolute &&
             !platform::is_separator(target.front())) {
    spelled = joined(folder, target);
  } else {
    return std::nullopt;
  }
  if (!rest.empty()) spelled = joined(spelled, rest);
  CanonicalPath whole = canonical_path(spelled, kPlatformPathStyle);
  if (whole.problem != CanonicalPath::Problem::None) return std::nullopt;
  return std::move(whole.text);
}

/// One walk from the folder a path starts at; it ends at the path's end, at a refusal, or at a
/// link to follow, after which the walk starts again along the path the link leads to.
class Walk {
 public:
  Walk(platform::FileSystem& fs, std::string path, int& links_followed)
      : fs_(fs), path_(std::move(path)), links_followed_(links_followed) {}

  /// The end of the path, or nothing when a link was followed and `next_path` says where to.
  std::optional<ChasedPath> run() {
    const std::size_t top = top_length(path_);
    reached_ = path_.substr(0, top);
    auto opened = fs_.open_folder(Path(reached_));
    if (!opened) return not_found(std::move(opened).error());
    folder_ = std::move(*opened);
    auto owner = folder_->owner();
    if (!owner) return not_found(std::move(owner).error());
    holder_ = std::move(*owner);
    accounts_.enter(holder_);
    for (std::string_view rest = std::string_view(path_).substr(top); !rest.empty();) {
      const std::string_view name = take_name(rest);
      auto step = folder_->open_step(name);
      if (!step) return not_found(std::move(step).error());
      std::optional<ChasedPath> ended = take(std::move(*step), name, rest);
      if (ended || !next_path_.empty()) return ended;
    }
    ChasedPath chased;
    chased.end = End::Folder;
    chased.folder = std::move(folder_);
    return chased;
  }

  const std::string& next_path() const { return next_path_; }

 private:
  std::optional<ChasedPath> take(FolderStep step, std::string_view name, std::string_view rest) {
    std::string path = joined(reached_, name);
    switch (step.kind) {
      case FolderStep::Kind::Other:
        if (rest.empty()) return refused(End::NotFolder, std::move(path));
        return not_found(Error("a file where the path needs a folder", ErrorKind::WrongType));
      case FolderStep::Kind::Folder:
        return enter(std::move(step.folder), step.owner, std::move(path));
      case FolderStep::Kind::Link:
        break;
    }
    if (!holder_.administrator || !step.owner.administrator) {
      return refused(End::LinkOfAnotherAccount, std::move(path));
    }
    if (++links_followed_ > kMostLinksFollowed) {
      return not_found(Error("too many links on the way to the folder"));
    }
    if (step.folder) {
      auto owner = step.folder->owner();
      if (!owner) return not_found(std::move(owner).error());
      return enter(std::move(step.folder), *owner, std::move(path));
    }
    std::optional<std::string> next = through_link(reached_, step.link_target, rest);
    if (!next) return refused(End::LinkOfAnotherAccount, std::move(path));
    next_path_ = std::move(*next);
    return std::nullopt;
  }

  std::optional<ChasedPath> enter(std::unique_ptr<platform::Folder> folder, const Owner& owner,
                                  std::string path) {
    if (!accounts_.may_enter(owner)) return refused(End::FolderOfAnotherAccount, std::move(path));
    accounts_.enter(owner);
    folder_ = std::move(folder);
    holder_ = owner;
    reached_ = std::move(path);
    return std::nullopt;
  }

  platform::FileSystem& fs_;
  const std::string path_;
  int& links_followed_;
  std::string reached_;  ///< the path of folder_
  std::unique_ptr<platform::Folder> folder_;
  Owner holder_;  ///< folder_'s owner
  Accounts accounts_;
  std::string next_path_;
};

}  // namespace

ChasedPath chase_path(platform::FileSystem& fs, const Path& path) {
  int links_followed = 0;
  std::string next = path.bytes();
  for (;;) {
    Walk walk(fs, std::move(next), links_followed);
    if (std::optional<ChasedPath> ended = walk.run()) return std::move(*ended);
    next = walk.next_path();
  }
}

}  // namespace tindral
