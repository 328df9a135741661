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

Result<void> replace_with_new_file(FileSystem& fs, const Path& temporary, const Path& target,
                                   std::string_view content) {
  // A leftover of an interrupted write, or a file or link somebody put there to have it written
  // through, goes; the new file is made only where nothing has the name.
  static_cast<void>(fs.delete_file(temporary));
  Result<void> written;
  {
    Result<std::unique_ptr<WritableFile>> file = fs.create_new_file(temporary);
    if (!file) return std::move(file).error();
    written = (*file)->write_all(content);
  }
  if (written) written = fs.replace_file(temporary, target);
  if (!written) static_cast<void>(fs.delete_file(temporary));
  return written;
}

}  // namespace tindral::platform
