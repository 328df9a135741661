#pragma once

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "config/root_paths.h"
#include "error.h"
#include "platform/file_system.h"
#include "platform/path.h"

namespace tindral {

/// A root of config.txt, opened for a walk or refused.
struct OpenedRoot {
  /// Set when the root is not walked.
  std::optional<RootRefusal> refusal;
  /// The root's folder; the error of opening it when the root exists but is no folder (the walk
  /// counts it and finds nothing).
  Result<std::unique_ptr<platform::Folder>> folder = Error("the root was not opened");
  /// Where the root really is, for the tests of its subfolders: the opened folder's final path,
  /// canonical (the root itself when it could not be opened).
  Path location;
};

/// Opens a root to walk, name by name from the folder its path starts at (chase_path), and
/// decides whether it is walked, in this order. Refused: a root that cannot be reached
/// (NotFound); one whose path is protected (Protected); one whose way passes through a link
/// that another account controls (LinkOfAnotherAccount) or into another account's folder
/// (FolderOfAnotherAccount), or Protected when that link or folder lies in a protected
/// location; one whose opened folder lies in a protected location, as the folder a link leads
/// to may (Protected), or cannot tell where it is (NotValid).
OpenedRoot open_root(platform::FileSystem& fs, const Path& root);

/// A root of config.txt as a scan or cleanup takes it.
struct RootWalk {
  RootEntry entry;
  /// Set when the root is not walked: the scanner's warning, word for word.
  std::optional<std::string> skipped;
};

/// For each of `walked` (roots that open_root accepts, in file order), the warning that skips
/// it because another's walk takes it in (covering_roots, covered_root_message), or nothing.
std::vector<std::optional<std::string>> covered_root_warnings(
    const std::vector<const RootEntry*>& walked);

/// `roots` (read_config_roots' roots, in file order) with each folder tree walked once: a root
/// that open_root refuses is skipped with its warning, and of the others one that another's
/// walk takes in (covering_roots) with covered_root_message, whatever their order. Each root is
/// opened to be judged and closed again; the walk opens it anew when its turn comes, so that
/// no folder is held open through the walks of the others.
std::vector<RootWalk> plan_root_walks(platform::FileSystem& fs, std::vector<RootEntry> roots);

/// Logs `warning` as the scanner's and keeps it in `kept`, for service.log.
void warn_skipped_root(std::vector<std::string>& kept, std::string warning);

/// What the service makes of one root line of config.txt.
enum class RootVerdict {
  /// The scan walks it.
  Scanned,
  /// Reading config.txt drops it without a word (see root_presence).
  Missing,
  Unreachable,
  NotFolder,
  /// The line is skipped with a warning (RootJudgement::refusal), when config.txt is read or
  /// when the root is opened.
  Refused,
};

struct RootJudgement {
  RootVerdict verdict = RootVerdict::Scanned;
  std::optional<RootRefusal> refusal;
  /// With a refusal: the service's warning, word for word.
  std::string warning;
};

/// The whole decision about a root line, made by the calls the service makes, in the order it
/// makes them: reading config.txt (the line's own refusal, then root_presence), then open_root.
RootJudgement judge_root(platform::FileSystem& fs, const RootEntry& entry);

}  // namespace tindral
