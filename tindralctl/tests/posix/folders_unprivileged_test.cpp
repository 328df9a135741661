// folders reads as its caller: run by an account that may not read everything, it counts what it
// cannot open or read instead of guessing, and finds the rest as root does.

#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>

#include <filesystem>

#include "tindralctl_fixture.h"

namespace tindral::test_support {
namespace {

// The unprivileged account must reach the tree, the data folder and the program by their paths,
// which a checkout below a folder that others cannot enter would not let it: everything it
// reaches lives below /tmp.
class FoldersUnprivilegedTest : public TindralctlTest {
 public:
  static void SetUpTestSuite() { ::setenv("TINDRAL_TEST_TMP", "/tmp", 1); }
};

TEST_F(FoldersUnprivilegedTest, CountsWhatTheCallerCannotReadAndWalksNothingBelowIt) {
  if (!path_exists(Path("/usr/bin/setpriv"))) GTEST_SKIP() << "needs setpriv to drop root";
  const Path tree = tmp_ / "tree";
  for (const char* folder : {"open", "closed/below"}) {
    make_folder(tree.child(folder));
    write_bytes(tree.child(folder).child("photo.jpg"), "jpeg");
  }
  make_folder(data_folder_);
  write_bytes(file("config.txt"), tree.bytes() + "\n");
  for (const Path& path : {tmp_.path(), file("config.txt").parent().parent(), data_folder_}) {
    ASSERT_EQ(::chmod(path.bytes().c_str(), 0755), 0) << path.display();
  }
  ASSERT_EQ(::chmod(file("config.txt").bytes().c_str(), 0644), 0);
  const ChildOutcome scan = run_child(built_program(TINDRAL_EXE), {"--console"}, {}, tmp_.path());
  ASSERT_EQ(scan.exit_code, 0) << scan.out << scan.err;
  ASSERT_EQ(::chmod(tree.child("closed").bytes().c_str(), 0700), 0);
  ASSERT_EQ(::chmod(tree.child("open").child("desktop.ini").bytes().c_str(), 0600), 0);

  const ChildOutcome as_root = tindralctl({"folders"});
  EXPECT_EQ(as_root.exit_code, 0) << as_root.err;
  EXPECT_EQ(as_root.out, tree.bytes() + ": 4 of 4 folders carry the service's desktop.ini\n" +
                             "4 folders carry the service's desktop.ini.\n");

  const Path program = tmp_ / "tindralctl";
  std::error_code copied;
  std::filesystem::copy_file(built_program(TINDRALCTL_EXE).bytes(), program.bytes(), copied);
  ASSERT_FALSE(copied) << copied.message();
  ASSERT_EQ(::chmod(program.bytes().c_str(), 0755), 0);
  const ChildOutcome as_nobody =
      run_child(Path("/usr/bin/setpriv"),
                {"--reuid=65534", "--regid=65534", "--clear-groups", program.bytes(), "folders"},
                {}, tmp_.path());
  EXPECT_EQ(as_nobody.exit_code, 0) << as_nobody.err;
  EXPECT_EQ(as_nobody.out,
            tree.bytes() +
                ": 1 of 3 folders carry the service's desktop.ini; 2 could not be read\n" +
                "1 folder carries the service's desktop.ini.\n");
}

}  // namespace
}  // namespace tindral::test_support
