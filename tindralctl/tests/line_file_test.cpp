// tindralctl's writes of the data folder's files: always a new file of its own, never through
// whatever has the temporary name, and never an edit of a file the service ignores.

#include "line_file.h"

#include <gtest/gtest.h>

#include "platform/file_system.h"
#include "support/fake_file_system.h"
#include "support/machine.h"
#include "support/real_disk.h"

namespace tindral::ctl {
namespace {

// A leftover of an interrupted write, or a link somebody put under the temporary name to have
// root write through it, is removed; what it named stays as it was.
TEST(LineFileTest, WhateverHasTheTemporaryNameIsRemovedNeverWrittenThrough) {
  platform::FileSystem& fs = platform::real_file_system();
  test_support::TempDir dir;
  const Path config = dir / "config.txt";
  const Path temporary = dir / "config.txt.tindralctl.tmp";
  const Path outside = dir / "outside.txt";
  test_support::write_bytes(outside, "outside");
  if (test_support::running_under_wine() ||
      !test_support::make_symlink(outside, temporary, false)) {
    test_support::write_bytes(temporary, "a leftover that is longer than the new content");
  }

  ASSERT_TRUE(write_file_atomically(fs, config, "new"));

  EXPECT_EQ(test_support::read_bytes(config), "new");
  EXPECT_EQ(test_support::read_bytes(outside), "outside");
  EXPECT_FALSE(test_support::path_exists(temporary));
  EXPECT_EQ(*fs.trust(config), platform::Trust::Administrators);
}

// Editing it would make whatever somebody else wrote there count.
TEST(LineFileTest, AFileTheServiceIgnoresIsRefusedRatherThanEdited) {
  test_support::FakeFileSystem fs;
  const Path config = Path::from_text("Tindral").child("config.txt");
  fs.add_file(config, "C:\\Elsewhere\n");
  fs.set_trust(config, platform::Trust::OtherOwner);

  Result<LineFile> read = LineFile::read(fs, config);

  ASSERT_FALSE(read);
  EXPECT_EQ(read.error().chain(),
            (std::vector<std::string>{
                "Failed to read " + config.display(),
                "The service ignores it: it is owned by another account; delete it, or write it "
                "again as an administrator"}));
}

}  // namespace
}  // namespace tindral::ctl
