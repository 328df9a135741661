#include "root_folder.h"

#include <utility>

#include "canonical_path.h"
#include "chase_path.h"
#include "log.h"
#include "log_targets.h"
#include "protected_paths.h"
#include "root_overlap.h"

namespace tindral {

namespace {

OpenedRoot refused(RootRefusal why) {
  OpenedRoot root;
  root.refusal = why;
  return root;
}

// A link or folder that refuses the way but lies in a protected location (a link of /proc, say)
// is reported as the protected location it is.
RootRefusal refusal_at(const ChasedPath& chased) {
  if (is_protected_path(chased.stopped_at)) return RootRefusal::Protected;
  return chased.end == ChasedPath::End::LinkOfAnotherAccount ? RootRefusal::LinkOfAnotherAccount
                                                             : RootRefusal::FolderOfAnotherAccount;
}

}  // namespace

OpenedRoot open_root(platform::FileSystem& fs, const Path& root) {
  ChasedPath chased = chase_path(fs, root);
  if (chased.end == ChasedPath::End::NotFound) return refused(RootRefusal::NotFound);
  if (is_protected_path(root)) return refused(RootRefusal::Protected);
  OpenedRoot opened;
  switch (chased.end) {
    case ChasedPath::End::Folder:
      break;
    case ChasedPath::End::NotFolder:
      opened.folder = Error("the root is not a folder", ErrorKind::WrongType);
      opened.location = root;
      return opened;
    default:
      return refused(refusal_at(chased));
  }
  // The path was tested as text; the folder it led to may lie elsewhere. The folder stays open
  // from here on, so the folder tested is the folder walked.
  Result<Path> final_path = chased.folder->final_path();
  if (!final_path) return refused(RootRefusal::NotValid);
  CanonicalPath location = canonical_path(final_path->bytes(), kPlatformPathStyle);
  if (location.problem != CanonicalPath::Problem::None) return refused(RootRefusal::NotValid);
  opened.location = Path(std::move(location.text));
  if (is_protected_path(opened.location)) return refused(RootRefusal::Protected);
  opened.folder = std::move(chased.folder);
  return opened;
}

std::vector<std::optional<std::string>> covered_root_warnings(
    const std::vector<const RootEntry*>& walked) {
  std::vector<std::string> paths;
  for (const RootEntry* root : walked) paths.push_back(root->path.bytes());
  const std::vector<std::optional<std::size_t>> covering = covering_roots(paths);
  std::vector<std::optional<std::string>> warnings(walked.size());
  for (std::size_t i = 0; i < walked.size(); ++i) {
    if (!covering[i]) continue;
    const RootEntry& covered = *walked[i];
    const RootEntry& taking_in = *walked[*covering[i]];
    warnings[i] = covered_root_message(
        covered.text, taking_in.text,
        root_overlap(covered.path.bytes(), taking_in.path.bytes()) == RootOverlap::Same);
  }
  return warnings;
}

std::vector<RootWalk> plan_root_walks(platform::FileSystem& fs, std::vector<RootEntry> roots) {
  std::vector<RootWalk> walks;
  for (RootEntry& entry : roots) {
    RootWalk walk{std::move(entry), std::nullopt};
    if (const OpenedRoot root = open_root(fs, walk.entry.path); root.refusal) {
      walk.skipped = skipped_root_message(*root.refusal, walk.entry.path.display());
    }
    walks.push_back(std::move(walk));
  }
  // Only a root that is walked takes others in: an inner root stays when the outer one is
  // refused, as the program-data folder is while the service's own folder inside it is not.
  std::vector<RootWalk*> opened;
  std::vector<const RootEntry*> opened_entries;
  for (RootWalk& walk : walks) {
    if (walk.skipped) continue;
    opened.push_back(&walk);
    opened_entries.push_back(&walk.entry);
  }
  std::vector<std::optional<std::string>> covered = covered_root_warnings(opened_entries);
  for (std::size_t i = 0; i < opened.size(); ++i) opened[i]->skipped = std::move(covered[i]);
  return walks;
}

void warn_skipped_root(std::vector<std::string>& kept, std::string warning) {
  log::warn(log::kTargetScanner, warning);
  kept.push_back(std::move(warning));
}

RootJudgement judge_root(platform::FileSystem& fs, const RootEntry& entry) {
  if (entry.refusal) {
    return {RootVerdict::Refused, entry.refusal, skipped_root_message(*entry.refusal, entry.text)};
  }
  switch (root_presence(fs, entry.path)) {
    case RootPresence::Folder:
      break;
    case RootPresence::Missing:
      return {RootVerdict::Missing, std::nullopt, {}};
    case RootPresence::Unreachable:
      return {RootVerdict::Unreachable, std::nullopt, {}};
    case RootPresence::NotFolder:
      return {RootVerdict::NotFolder, std::nullopt, {}};
  }
  const OpenedRoot opened = open_root(fs, entry.path);
  if (opened.refusal) {
    return {RootVerdict::Refused, opened.refusal,
            skipped_root_message(*opened.refusal, entry.path.display())};
  }
  return {};
}

}  // namespace tindral
