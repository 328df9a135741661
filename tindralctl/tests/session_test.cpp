// One administrator's session with tindralctl against the real service: under Wine through its
// Service Control Manager, natively with the service started as systemd would start it (and
// tindralctl falling back to stop.flag, as it does where no service manager runs).

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <regex>

#include "json_reader.h"
#include "service_log_reader.h"
#include "support/service_log_lines.h"
#include "tindralctl_fixture.h"

namespace tindral::test_support {
namespace {

using testing::EndsWith;
using testing::HasSubstr;
using testing::Not;
using testing::StartsWith;

// A flag is served after the service's 30-second pause; a scan of the small tree is quick.
constexpr char kWaitTimeout[] = "120";

// GoogleTest's own regular expressions lack brackets on Windows.
bool ends_with_log_line(const std::string& output, const std::string& message_pattern) {
  return std::regex_search(output, std::regex("\n\\[\\d{4}-\\d{2}-\\d{2} \\d{2}:\\d{2}:\\d{2}\\] " +
                                              message_pattern + "\n$"));
}

std::vector<std::string> lines_of(const std::string& text) {
  std::vector<std::string> lines;
  std::size_t start = 0;
  while (start < text.size()) {
    const std::size_t end = text.find('\n', start);
    lines.push_back(text.substr(start, end - start));
    if (end == std::string::npos) break;
    start = end + 1;
  }
  return lines;
}

class SessionTest : public TindralctlTest {
 protected:
  Path tree() const { return tmp_ / "tree"; }

  void lay_out_tree() {
    make_folder(tree().child("album"));
    write_bytes(tree().child("album").child("photo.jpg"), "jpeg");
    make_folder(tree().child("empty"));
  }

  // Exit code 0 and nothing on standard error; the output for further checks.
  std::string succeed(std::vector<std::string> arguments) {
    const ChildOutcome outcome = tindralctl(arguments);
    EXPECT_EQ(outcome.exit_code, 0) << arguments[0] << ": " << outcome.err;
    EXPECT_EQ(outcome.err, "") << arguments[0];
    return outcome.out;
  }

  bool decorated(const Path& folder) const { return path_exists(folder.child("desktop.ini")); }
};

TEST_F(SessionTest, InstallsConfiguresSteersAndRemovesTheService) {
  lay_out_tree();

  // Nothing installed yet.
  ChildOutcome status = tindralctl({"status"});
  EXPECT_EQ(status.exit_code, 4);
  EXPECT_EQ(status.out, "Service TindralCache: not installed (tindralctl install)\nData folder: " +
                            data_folder_.display() + " (missing)\n");

  // install: the data folder, the default icon, the service entry (left stopped). Wine's
  // service manager cannot take privileges from a service, and install says so.
  EXPECT_EQ(succeed({"install", "--no-start"}),
            "Installed the service TindralCache (" + built_program(TINDRAL_EXE).display() +
                ", automatic start).\n" +
                (running_under_wine() ? "This service manager cannot limit a service's "
                                        "privileges; TindralCache keeps all of its account's.\n"
                                      : "") +
                "Data folder: " + data_folder_.display() +
                "\nNext: tindralctl roots add FOLDER, then tindralctl rescan --wait.\n");
  EXPECT_TRUE(read_bytes(file("folder.ico")) == read_bytes(built_program(TINDRAL_DEFAULT_ICON)))
      << "the data folder's icon is not the default one";
  // The program the service manager was given tells its version.
  EXPECT_EQ(succeed({"version"}), "tindralctl " TINDRAL_VERSION
                                  "\nService TindralCache: " TINDRAL_VERSION " (" +
                                      built_program(TINDRAL_EXE).display() + ")\n");
  // Natively the unit confines the service to what its job needs: the system's own folders are
  // out of its reach, the trees of /home and /srv are not.
  const Path unit = (tmp_ / "units").child("TindralCache.service");
  if (path_exists(unit)) {
    const std::string text = read_bytes(unit);
    for (const char* line : {"ProtectSystem=full\n", "PrivateTmp=yes\n", "NoNewPrivileges=yes\n",
                             "UMask=0022\n", "Restart=on-failure\n"}) {
      EXPECT_THAT(text, HasSubstr(line));
    }
    EXPECT_THAT(text, Not(HasSubstr("\nProtectHome=")));
    EXPECT_THAT(text, Not(HasSubstr("\nReadOnlyPaths=")));
  }

  // roots and interval edit the files in place, keeping comments, other lines and line ends.
  write_bytes(file("config.txt"), "# photos of the family\r\n");
  write_bytes(file("settings.txt"), "color=blue\ninterval=30\nINTERVAL = 40\n");
  EXPECT_EQ(succeed({"roots", "add", tree().bytes()}),
            "Added " + tree().bytes() +
                " to config.txt; the next scan decorates it (tindralctl rescan).\n");
  const ChildOutcome again = tindralctl({"roots", "add", tree().bytes()});
  EXPECT_EQ(again.exit_code, 6);
  EXPECT_EQ(again.err, "Error: Refused " + tree().bytes() +
                           "\n\nCaused by:\n    It is already listed as " + tree().bytes() + "\n");
  EXPECT_EQ(read_bytes(file("config.txt")), "# photos of the family\r\n" + tree().bytes() + "\r\n");
  EXPECT_EQ(succeed({"roots", "list"}), "  " + tree().bytes() + "  (scanned)\n");
  // Under a service manager the service is stopped; without one nobody can tell.
  EXPECT_EQ(succeed({"interval", "5"}),
            std::string("Rescan interval set to 5 minutes; the service reads it ") +
                (no_service_manager() ? "at its next pass.\n" : "when it starts.\n"));
  EXPECT_EQ(read_bytes(file("settings.txt")), "color=blue\ninterval=5\n");
  EXPECT_EQ(succeed({"interval"}), "Rescan interval: 5 minutes\n");

  const bool started_by_test = no_service_manager();
  if (started_by_test) start_service_without_manager();

  // A paused service does not rescan: --wait says so at once and the flag waits.
  EXPECT_THAT(succeed({"pause"}), StartsWith("paused.flag created"));
  const ChildOutcome paused = tindralctl({"rescan", "--wait"});
  EXPECT_EQ(paused.exit_code, 1);
  EXPECT_THAT(paused.err, StartsWith("Error: The service is paused: it does not rescan\n"));
  status = tindralctl({"status"});
  EXPECT_THAT(status.out, HasSubstr("\nPaused: yes (tindralctl resume ends it)\n"
                                    "Flags waiting: rescan.flag\n"));
  EXPECT_THAT(succeed({"resume"}), StartsWith("paused.flag deleted"));
  EXPECT_FALSE(path_exists(file("paused.flag")));

  // rescan --wait starts a stopped service and reports the scan, which finds the tree as the
  // service's start-up scan left it; output to a file shows no progress line.
  const std::string rescan = succeed({"rescan", "--wait", "--timeout", kWaitTimeout});
  EXPECT_TRUE(ends_with_log_line(
      rescan, "Scan complete: 3 folders, 0 written, 0 removed, took \\d+\\.\\d\\ds"))
      << rescan;
  EXPECT_THAT(rescan, testing::Not(HasSubstr("\r")));
  EXPECT_TRUE(decorated(tree()));
  EXPECT_TRUE(decorated(tree().child("album")));
  EXPECT_FALSE(decorated(tree().child("empty")));

  status = tindralctl({"status"});
  EXPECT_EQ(status.exit_code, 0) << status.err;
  const std::vector<std::string> status_lines = lines_of(status.out);
  ASSERT_EQ(status_lines.size(), 10u) << status.out;
  EXPECT_EQ(status_lines[0], started_by_test
                                 ? "Service TindralCache: installed, unknown (no service "
                                   "manager runs here)"
                                 : "Service TindralCache: installed, running");
  EXPECT_EQ(status_lines[1], "Data folder: " + data_folder_.display());
  EXPECT_EQ(status_lines[2], "Paused: no");
  EXPECT_EQ(status_lines[3], "Flags waiting: none");
  EXPECT_EQ(status_lines[4], "Roots (config.txt):");
  EXPECT_EQ(status_lines[5], "  " + tree().bytes() + "  (scanned)");
  EXPECT_EQ(status_lines[6], "Interval: 5 minutes");
  // The source the running service chose for the tree, whichever the platform gave it.
  EXPECT_THAT(status_lines[7],
              testing::AnyOf(
                  testing::Eq("Change watching: " + tree().display() + ": fanotify"),
                  testing::Eq("Change watching: " + tree().display() + ": inotify"),
                  testing::Eq("Change watching: " + tree().display() + ": USN journal"),
                  testing::Eq("Change watching: " + tree().display() + ": ReadDirectoryChangesW")));
  EXPECT_EQ(status_lines[8], "Last scan: " + lines_of(rescan).back());
  EXPECT_EQ(status_lines[9], "Last cleanup: none in service.log");
  // The same for scripts, and the folders the scan gave the icon.
  const JsonValue json = read_json_line(succeed({"status", "--json"}));
  EXPECT_EQ(json["service"]["state"].text, started_by_test ? "unknown" : "running");
  EXPECT_FALSE(json["paused"].boolean);
  EXPECT_EQ(json["last_scan"]["message"].text, log_message(lines_of(rescan).back()));
  EXPECT_EQ(succeed({"folders"}), tree().bytes() +
                                      ": 2 of 3 folders carry the service's desktop.ini\n"
                                      "2 folders carry the service's desktop.ini.\n");

  const std::vector<std::string> last_two = lines_of(succeed({"log", "-n", "2"}));
  ASSERT_EQ(last_two.size(), 2u);
  EXPECT_THAT(last_two[0], EndsWith("] On-demand rescan triggered"));
  EXPECT_EQ(last_two[1], lines_of(rescan).back());

  // log --follow shows what the cleanup adds.
  ChildProcess follow(built_program(TINDRALCTL_EXE), {"log", "-n", "0", "--follow"}, {},
                      tmp_.path());
  ASSERT_TRUE(follow.started());
  const std::string cleanup = succeed({"cleanup", "--wait", "--timeout", kWaitTimeout});
  const std::string paused_now =
      "The service is paused now: tindralctl resume lets it scan again.\n";
  ASSERT_THAT(cleanup, EndsWith(paused_now));
  EXPECT_TRUE(ends_with_log_line(cleanup.substr(0, cleanup.size() - paused_now.size()),
                                 "Cleanup complete: 3 folders visited, 2 desktop.ini removed"))
      << cleanup;
  EXPECT_FALSE(decorated(tree()));
  EXPECT_FALSE(decorated(tree().child("album")));
  std::this_thread::sleep_for(std::chrono::seconds(1));
  const std::vector<std::string> followed = service_log_messages(follow.standard_output());
  EXPECT_THAT(followed,
              testing::ElementsAre(
                  "Cleanup requested \u2014 removing all desktop.ini files and pausing service",
                  "Cleanup complete: 3 folders visited, 2 desktop.ini removed"));
  EXPECT_TRUE(path_exists(file("paused.flag")));
  EXPECT_TRUE(read_json_line(succeed({"status", "--json"}))["paused"].boolean);
  EXPECT_EQ(succeed({"folders"}), tree().bytes() +
                                      ": 0 of 3 folders carry the service's desktop.ini\n"
                                      "0 folders carry the service's desktop.ini.\n");
  EXPECT_THAT(succeed({"resume"}), StartsWith("paused.flag deleted"));

  // restart through the service manager; where there is none, tindralctl cannot start it.
  if (started_by_test) {
    const ChildOutcome restart = tindralctl({"restart"});
    EXPECT_EQ(restart.exit_code, 1);
    EXPECT_THAT(restart.err, StartsWith("Error: No service manager runs here, so tindralctl "
                                        "cannot restart the service\n"));
  } else {
    EXPECT_EQ(succeed({"restart"}),
              "The service has stopped.\nStarted the service TindralCache.\n");
    EXPECT_EQ(*platform::real_service_control().state(SERVICE_NAME),
              platform::ServiceState::Running);
  }

  // stop: the stop control, or where there is no service manager stop.flag.
  const std::string stop = succeed({"stop"});
  if (started_by_test) {
    EXPECT_EQ(stop,
              "No service manager runs here: stop.flag created; the service stops at the start of "
              "its next pass (within about 30 seconds).\n");
    ASSERT_TRUE(service_->wait(std::chrono::seconds(60)));
    EXPECT_EQ(service_->exit_code(), 0);
    EXPECT_FALSE(path_exists(file("stop.flag")));
    // Started again: its start-up scan decorates the tree once more.
    start_service_without_manager();
  } else {
    EXPECT_EQ(stop, "The service has stopped.\n");
    EXPECT_EQ(*platform::real_service_control().state(SERVICE_NAME),
              platform::ServiceState::Stopped);
  }

  // uninstall cleans up first (starting a stopped service for it), then stops and removes it.
  const std::string uninstall = succeed({"uninstall", "--timeout", kWaitTimeout});
  EXPECT_THAT(uninstall,
              HasSubstr("] Cleanup complete: 3 folders visited, 2 desktop.ini removed\n"));
  EXPECT_THAT(uninstall, HasSubstr("\nUninstalled the service TindralCache.\n"));
  EXPECT_FALSE(decorated(tree()));
  EXPECT_FALSE(decorated(tree().child("album")));
  EXPECT_FALSE(*platform::real_service_control().installed(SERVICE_NAME));
  if (started_by_test) {
    ASSERT_TRUE(service_->wait(std::chrono::seconds(10)));
    EXPECT_EQ(service_->exit_code(), 0);
  }
  EXPECT_TRUE(path_exists(file("config.txt")));
  EXPECT_FALSE(path_exists(file("paused.flag")));
  EXPECT_EQ(tindralctl({"status"}).exit_code, 4);
}

}  // namespace
}  // namespace tindral::test_support
