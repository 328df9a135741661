#include "platform/held_changes.h"

#include <algorithm>
#include <utility>

#include "desktop_ini.h"
#include "text.h"

namespace tindral::platform {

bool is_service_file_name(std::string_view name) {
  return text::ascii_iequals(name, kDesktopIniName) || is_desktop_ini_leftover_name(name);
}

void HeldChanges::reset(std::size_t roots) {
  held_.clear();
  rescanning_.assign(roots, false);
}

void HeldChanges::add(Change change) {
  if (change.root >= rescanning_.size() || rescanning_[change.root]) return;
  if (change.kind == ChangeKind::Rescan || held_.size() >= limit_) {
    rescan(change.root);
    return;
  }
  // A journal writes a record for each reason a file gains until it is closed, so one new file
  // comes as several records in a row.
  if (!held_.empty() && held_.back() == change) return;
  held_.push_back(std::move(change));
}

void HeldChanges::rescan(std::size_t root) {
  std::erase_if(held_, [root](const Change& held) { return held.root == root; });
  held_.push_back(Change{root, ChangeKind::Rescan, {}});
  rescanning_[root] = true;
}

void HeldChanges::take(std::vector<Change>& out) {
  std::move(held_.begin(), held_.end(), std::back_inserter(out));
  held_.clear();
  std::fill(rescanning_.begin(), rescanning_.end(), false);
}

}  // namespace tindral::platform
