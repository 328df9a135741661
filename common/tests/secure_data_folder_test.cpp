// A data folder that was open to other accounts, repaired on the real disk: what the
// administrators wrote stays and is theirs alone, whatever anybody else could have made or
// changed goes, and folder.ico becomes the default icon.

#include "config/data_folder_security.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/file_system.h"
#include "support/machine.h"
#include "support/real_disk.h"

namespace tindral {
namespace {

using platform::Trust;
using test_support::read_bytes;
using test_support::write_bytes;

TEST(SecureDataFolderTest, OnlyTheAdministratorsFilesStayAndFolderIcoBecomesTheDefault) {
  platform::FileSystem& fs = platform::real_file_system();
  test_support::TempDir dir;
  const Path data = dir / "Tindral";
  const Path default_icon = dir / "folder.ico";
  write_bytes(default_icon, "default icon");
  test_support::make_folder(data.child("History"));
  write_bytes(data.child("History").child("old.txt"), "kept");
  write_bytes(data.child("config.txt"), "C:\\Photos\n");
  write_bytes(data.child("folder.ico"), "planted icon");
  write_bytes(data.child("settings.txt"), "interval=1\n");
  write_bytes(data.child("rescan.flag"), "");
  for (const char* name : {"folder.ico", "settings.txt"}) {
    test_support::open_to_everybody(data.child(name));
  }
  std::vector<std::string> expected{
      "Data folder was open to other accounts; only administrators may change it now",
      "Replaced folder.ico with the default icon: other accounts may change it"};
  std::vector<const char*> gone{"settings.txt"};
  if (test_support::give_to_another_account(data.child("rescan.flag"))) {
    expected.push_back("Removed rescan.flag from the data folder: it is owned by another account");
    gone.push_back("rescan.flag");
  }
  expected.push_back("Removed settings.txt from the data folder: other accounts may change it");
  // A link to a file elsewhere: the link goes, never what it names.
  write_bytes(dir / "outside.txt", "outside");
  if (!test_support::running_under_wine() &&
      test_support::make_symlink(dir / "outside.txt", data.child("stop.flag"), false)) {
    expected.push_back("Removed stop.flag from the data folder: it is a link");
    gone.push_back("stop.flag");
  }
  test_support::open_to_everybody(data);

  const Result<DataFolderSecuring> securing = secure_data_folder(fs, data, default_icon);

  ASSERT_TRUE(securing) << securing.error().message();
  EXPECT_EQ(data_folder_report(securing), expected);
  for (const char* name : gone) {
    EXPECT_FALSE(test_support::path_exists(data.child(name))) << name;
  }
  EXPECT_EQ(read_bytes(data.child("config.txt")), "C:\\Photos\n");
  EXPECT_EQ(read_bytes(data.child("folder.ico")), "default icon");
  EXPECT_EQ(read_bytes(data.child("History").child("old.txt")), "kept");
  EXPECT_EQ(read_bytes(dir / "outside.txt"), "outside");
  for (const Path& counts : {data, data.child("config.txt"), data.child("folder.ico")}) {
    EXPECT_EQ(*fs.trust(counts), Trust::Administrators) << counts.display();
  }
  EXPECT_FALSE(test_support::path_exists(data.child("folder.ico.tmp")));
}

}  // namespace
}  // namespace tindral
