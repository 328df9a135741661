// Every command's error paths, by the exit code a script would test and the reason tindralctl
// gives, in the states a machine can be in: nothing installed, installed without its data
// folder, installed and ready, and (natively) a caller who is not root.

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "tindralctl_fixture.h"

namespace tindral::test_support {
namespace {

using testing::HasSubstr;

struct Row {
  std::vector<std::string> arguments;
  int exit_code;
  std::string reason;  ///< found in standard error (status: on standard output)
};

class ExitCodesTest : public TindralctlTest {
 protected:
  void expect_rows(const std::vector<Row>& rows, std::string_view state) {
    for (const Row& row : rows) {
      const ChildOutcome outcome = tindralctl(row.arguments);
      std::string call;
      for (const std::string& argument : row.arguments) call += " " + argument;
      SCOPED_TRACE(std::string(state) + ": tindralctl" + call);
      EXPECT_EQ(outcome.exit_code, row.exit_code) << outcome.err;
      if (row.arguments.front() == "status") {
        EXPECT_THAT(outcome.out, HasSubstr(row.reason));
        EXPECT_EQ(outcome.err, "");
        continue;
      }
      EXPECT_THAT(outcome.err, testing::StartsWith("Error: "));
      EXPECT_THAT(outcome.err, HasSubstr(row.reason));
    }
  }
};

TEST_F(ExitCodesTest, EachFailureHasItsExitCodeAndSaysWhy) {
  expect_rows(
      {
          {{"frobnicate"}, 2, "Unknown command frobnicate"},
          {{"rescan", "--bogus"}, 2, "Unknown option --bogus for rescan"},
          {{"log", "-n"}, 2, "The option -n needs a value"},
          {{"roots"}, 2, "Wrong number of arguments for roots"},
          {{"pause", "now"}, 2, "Wrong number of arguments for pause"},
          // Refused before anything is installed: the install further down succeeds.
          {{"install", "--interval", "0"}, 2, "Interval 0 is out of range"},
          {{"install", "--roots", "D:\\Photos;E:\\Two\nLines"},
           2,
           "A root cannot hold a line break"},
          {{"status"}, 4, "Service TindralCache: not installed (tindralctl install)"},
          {{"rescan"}, 4, "The service TindralCache is not installed"},
          {{"cleanup", "--wait"}, 4, "The service TindralCache is not installed"},
          {{"pause"}, 4, "The service TindralCache is not installed"},
          {{"resume"}, 4, "The service TindralCache is not installed"},
          {{"stop"}, 4, "The service TindralCache is not installed"},
          {{"uninstall"}, 4, "The service TindralCache is not installed"},
          {{"roots", "list"}, 5, "The data folder " + data_folder_.display() + " does not exist"},
          {{"interval"}, 5, "does not exist"},
          {{"log"}, 5, "does not exist"},
      },
      "nothing installed");

  ASSERT_EQ(tindralctl({"install", "--no-start"}).exit_code, 0);
  remove_tree(data_folder_);
  expect_rows(
      {
          {{"install"}, 1, "The service TindralCache is installed already"},
          {{"status"}, 5, "Data folder: " + data_folder_.display() + " (missing)\n"},
          {{"rescan", "--wait"},
           5,
           "The data folder " + data_folder_.display() + " does not exist"},
          {{"cleanup"}, 5, "does not exist"},
          {{"pause"}, 5, "does not exist"},
          {{"resume"}, 5, "does not exist"},
      },
      "installed without a data folder");

  make_folder(data_folder_);
  make_folder((tmp_ / "old").child("System32").child("drivers"));
  write_bytes(tmp_ / "file.txt", "not a folder");
  write_bytes(file("config.txt"), (tmp_ / "listed").bytes() + "\n");
  expect_rows(
      {
          {{"rescan", "--wait", "--timeout", "soon"}, 2, "Malformed --timeout soon"},
          {{"interval", "abc"}, 2, "Malformed interval abc"},
          {{"interval", "0"}, 2, "Interval 0 is out of range"},
          {{"log", "-n", "-3"}, 2, "Malformed -n -3"},
          {{"roots", "delete", "x"}, 2, "Expected roots list, roots add PATH or roots remove PATH"},
          {{"roots", "add", (tmp_ / "missing").bytes()},
           6,
           "is missing, so the service would skip it"},
          {{"roots", "add", (tmp_ / "file.txt").bytes()}, 6, "is not a folder"},
          {{"roots", "add", (tmp_ / "old").child("System32").child("drivers").bytes()},
           6,
           "Root path is a protected system directory, skipping: "},
          {{"roots", "add", "two\nlines"}, 6, "holds a line break"},
          {{"roots", "remove", (tmp_ / "other").bytes()}, 6, "config.txt does not list it"},
          // Last: under a service manager it starts the service, which the teardown removes.
          {{"cleanup", "--wait", "--timeout", "1"},
           7,
           "The service did not finish the cleanup within 1 seconds"},
      },
      "installed and ready");
  EXPECT_EQ(read_bytes(file("config.txt")), (tmp_ / "listed").bytes() + "\n");
}

TEST_F(ExitCodesTest, CommandsThatChangeThingsRefuseAnUnprivilegedCaller) {
  if (running_under_wine()) {
    GTEST_SKIP() << "Wine runs every program as an elevated administrator: an unprivileged "
                    "caller cannot be made";
  }
  if (!running_as_root() || !path_exists(Path("/usr/bin/setpriv"))) {
    GTEST_SKIP() << "needs root and setpriv to run tindralctl as another user";
  }
  for (const std::vector<std::string>& command : {std::vector<std::string>{"install"},
                                                  {"uninstall"},
                                                  {"rescan"},
                                                  {"cleanup"},
                                                  {"pause"},
                                                  {"resume"},
                                                  {"stop"}}) {
    std::vector<std::string> arguments{"--reuid=65534", "--regid=65534", "--clear-groups",
                                       built_program(TINDRALCTL_EXE).bytes()};
    arguments.insert(arguments.end(), command.begin(), command.end());
    const ChildOutcome outcome = run_child(Path("/usr/bin/setpriv"), arguments, {}, tmp_.path());
    EXPECT_EQ(outcome.exit_code, 3) << command[0] << ": " << outcome.err;
    EXPECT_EQ(outcome.err, "Error: tindralctl " + command[0] +
                               " changes the service\n\nCaused by:\n    Run it from an elevated "
                               "administrator prompt (Windows) or as root (sudo, Linux): only "
                               "administrators may steer the service\n");
  }
}

}  // namespace
}  // namespace tindral::test_support
