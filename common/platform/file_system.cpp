#include "platform/file_system.h"

#include <utility>
#include <vector>

namespace tindral::platform {

Result<void> create_folders_one_by_one(
    const Path& folder, const std::function<Result<void>(const Path&)>& create_folder) {
  std::vector<Path> missing;
  Path current = folder;
  for (;;) {
    Result<void> created = create_folder(current);
    if (created) break;
    if (!created.error().is_not_found()) return created;
    Path parent = current.parent();
    if (parent.empty() || parent == current) return created;
    missing.push_back(std::move(current));
    current = std::move(parent);
  }
  for (auto it = missing.rbegin(); it != missing.rend(); ++it) {
    if (Result<void> created = create_folder(*it); !created) return created;
  }
  return {};
}

}  // namespace tindral::platform
