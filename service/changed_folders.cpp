#include "changed_folders.h"

#include <algorithm>
#include <utility>

#include "desktop_ini.h"
#include "text.h"

namespace tindral {

namespace {

using Names = std::vector<std::string>;

// A folder that appeared is walked whole from its parent, so everything recorded below it is
// looked at by that walk.
bool lies_in_walked_subtree(const Names& names, const std::map<Names, FolderToLookAt>& folders) {
  Names prefix;
  prefix.reserve(names.size());
  for (const std::string& name : names) {
    const auto found = folders.find(prefix);
    if (found != folders.end()) {
      const FolderToLookAt& above = found->second;
      if (above.whole_subtree) return true;
      if (std::binary_search(above.appeared.begin(), above.appeared.end(), name)) return true;
    }
    prefix.push_back(name);
  }
  return false;
}

// The service's own writes: a new desktop.ini is written under a temporary name and renamed into
// place. Looking at them again would find what was just decided; a user's desktop.ini is never
// content either. Its disappearance is kept, so that a folder whose icon a user deleted gets it
// back (the service's own removals cost one more listing that changes nothing).
bool is_own_write(const platform::Change& change) {
  if (change.names.empty()) return false;
  const std::string& name = change.names.back();
  if (is_desktop_ini_leftover_name(name)) return true;
  return change.kind == platform::ChangeKind::Appeared &&
         text::ascii_iequals(name, kDesktopIniName);
}

}  // namespace

void ChangedFolders::add(const platform::Change& change) {
  RootChanges& root = roots_[change.root];
  if (root.rescan || (change.kind != platform::ChangeKind::Rescan && is_own_write(change))) return;
  const bool names_an_entry = change.kind == platform::ChangeKind::Appeared ||
                              change.kind == platform::ChangeKind::Disappeared;
  // The root itself appearing or going is a root to walk again, not a folder in it.
  if (change.kind == platform::ChangeKind::Rescan || (names_an_entry && change.names.empty())) {
    root.rescan = true;
    root.folders.clear();
    root.appeared_names = 0;
    return;
  }
  Names folder(change.names.begin(), change.names.end() - (names_an_entry ? 1 : 0));
  // Changes inside a folder that appeared are seen by its walk (and dropped from folders() when
  // they came first).
  if (lies_in_walked_subtree(folder, root.folders)) return;
  auto [place, added] = root.folders.try_emplace(std::move(folder));
  if (added) place->second.names = place->first;
  FolderToLookAt& entry = place->second;
  if (change.kind == platform::ChangeKind::Appeared) {
    const std::string& name = change.names.back();
    const auto at = std::lower_bound(entry.appeared.begin(), entry.appeared.end(), name);
    if (at == entry.appeared.end() || *at != name) {
      entry.appeared.insert(at, name);
      ++root.appeared_names;
    }
  } else {
    entry.list_again = true;
  }
  // Past the bounds a walk of the whole root costs less than the folders would, and the memory
  // held stops growing.
  if (root.folders.size() > kMaxChangedFolders || root.appeared_names > kMaxAppearedNames) {
    root.rescan = true;
    root.folders.clear();
    root.appeared_names = 0;
  }
}

bool ChangedFolders::empty() const { return roots_.empty(); }

std::vector<std::size_t> ChangedFolders::roots() const {
  std::vector<std::size_t> indexes;
  indexes.reserve(roots_.size());
  for (const auto& [index, changes] : roots_) indexes.push_back(index);
  return indexes;
}

bool ChangedFolders::rescan_wanted(std::size_t root) const {
  const auto found = roots_.find(root);
  return found != roots_.end() && found->second.rescan;
}

std::vector<FolderToLookAt> ChangedFolders::folders(std::size_t root) const {
  std::vector<FolderToLookAt> looked_at;
  const auto found = roots_.find(root);
  if (found == roots_.end() || found->second.rescan) return looked_at;
  const auto& folders = found->second.folders;
  for (const auto& [names, folder] : folders) {
    if (!lies_in_walked_subtree(names, folders)) looked_at.push_back(folder);
  }
  // Deeper first; among equals the map's order, so that the order does not depend on arrival.
  std::stable_sort(looked_at.begin(), looked_at.end(),
                   [](const FolderToLookAt& a, const FolderToLookAt& b) {
                     return a.names.size() > b.names.size();
                   });
  return looked_at;
}

void ChangedFolders::clear() { roots_.clear(); }

}  // namespace tindral
