// Path arithmetic in the platform's spelling: the folder that holds a path and its last name.

#include "platform/path.h"

#include <gtest/gtest.h>

#include <string>

namespace tindral {
namespace {

// A path written with "/" in the platform's separator.
Path spelled(std::string text) {
  for (char& c : text) {
    if (c == '/') c = platform::kSeparator;
  }
  return Path(text);
}

TEST(PathTest, ParentAndFileNameSplitAtTheLastSeparator) {
  struct Case {
    const char* path;
    const char* parent;
    const char* file_name;
  };
  const Case cases[] = {
      {"/data/Tindral/service.log", "/data/Tindral", "service.log"},
      {"/data/Tindral/", "/data", "Tindral"},
      {"/data//Tindral", "/data", "Tindral"},
      {"/service.log", "/", "service.log"},
      {"/", "/", ""},
      {"relative/name", "relative", "name"},
      {"name", "", "name"},
      {"", "", ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.path);
    EXPECT_EQ(spelled(c.path).parent(), spelled(c.parent));
    EXPECT_EQ(spelled(c.path).file_name(), c.file_name);
  }
}

// A drive root keeps the separator that makes it one; elsewhere "C:" is a name like any other.
TEST(PathTest, ADriveRootStaysARootWhereThePlatformHasDrives) {
  const Path in_drive_root = spelled("C:/config.txt");
  if (platform::kSeparator == '\\') {
    EXPECT_EQ(in_drive_root.parent(), Path("C:\\"));
    EXPECT_EQ(spelled("//?/C:/data").parent(), Path("\\\\?\\C:\\"));
  } else {
    EXPECT_EQ(in_drive_root.parent(), Path("C:"));
  }
  EXPECT_EQ(spelled("C:/data").parent().child("folder.ico"), spelled("C:/folder.ico"));
}

}  // namespace
}  // namespace tindral
