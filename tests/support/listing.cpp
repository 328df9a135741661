#include "support/listing.h"

#include <gtest/gtest.h>

namespace tindral::test_support {

std::vector<platform::DirEntry> list_folder(platform::FileSystem& fs, const Path& folder) {
  std::vector<platform::DirEntry> entries;
  auto opened = fs.open_folder(folder);
  if (!opened) {
    ADD_FAILURE() << folder.display() << ": " << opened.error().message();
    return entries;
  }
  auto listing = (*opened)->open_listing();
  if (!listing) {
    ADD_FAILURE() << folder.display() << ": " << listing.error().message();
    return entries;
  }
  platform::DirEntry entry;
  for (;;) {
    auto more = (*listing)->next(entry);
    if (!more) {
      ADD_FAILURE() << folder.display() << ": " << more.error().message();
      break;
    }
    if (!*more) break;
    entries.push_back(entry);
  }
  return entries;
}

}  // namespace tindral::test_support
