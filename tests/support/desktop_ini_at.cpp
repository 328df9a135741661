#include "support/desktop_ini_at.h"

#include <gtest/gtest.h>

namespace tindral::test_support {

std::unique_ptr<platform::Folder> open_folder_at(platform::FileSystem& fs, const Path& path) {
  auto opened = fs.open_folder(path);
  if (!opened) {
    ADD_FAILURE() << path.display() << ": " << opened.error().message();
    return nullptr;
  }
  return std::move(opened).value();
}

Result<bool> ensure_desktop_ini_at(platform::FileSystem& fs, const Path& folder,
                                   ListedDesktopIni listed) {
  std::unique_ptr<platform::Folder> opened = open_folder_at(fs, folder);
  if (!opened) return Error("the folder cannot be opened");
  return ensure_desktop_ini(*opened, listed);
}

Result<Removal> remove_desktop_ini_at(platform::FileSystem& fs, const Path& folder) {
  std::unique_ptr<platform::Folder> opened = open_folder_at(fs, folder);
  if (!opened) return Error("the folder cannot be opened");
  return remove_desktop_ini(*opened);
}

}  // namespace tindral::test_support
