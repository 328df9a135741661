// tindralctl status tells where each root's changes come from, as the service's latest start
// logged it in service.log.

#include <gtest/gtest.h>

#include <sstream>
#include <string>
#include <vector>

#include "tindralctl_fixture.h"

namespace tindral::test_support {
namespace {

std::vector<std::string> change_watching_lines(const std::string& out) {
  std::istringstream lines(out);
  std::vector<std::string> found;
  for (std::string line; std::getline(lines, line);) {
    if (line.starts_with("Change watching:")) found.push_back(line);
  }
  return found;
}

TEST_F(TindralctlTest, StatusShowsEachRootsLatestSourceSinceTheServiceStarted) {
  const std::string log =
      "[2026-12-08 10:00:00] Tindral Service started\n"
      "[2026-12-08 10:00:00] Watching /srv/old for changes: inotify\n"
      "[2026-12-08 11:00:00] Tindral Service started\n"
      "[2026-12-08 11:00:00] Watching /srv/a for changes: fanotify\n"
      "[2026-12-08 11:00:00] Watching /srv/b for changes: now for changes: none (interval "
      "rescans only)\n"
      "[2026-12-08 11:05:00] Watching /srv/a for changes: inotify\n";
  const struct {
    const char* settings;
    const char* log_file;
    std::vector<std::string> expected;
  } cases[] = {
      {"interval=5\n",
       "service.log",
       {"Change watching: /srv/a: inotify",
        "Change watching: /srv/b for changes: now: none (interval rescans only)"}},
      {"Watch=Off\n", "service.log", {"Change watching: not watched (watch=off in settings.txt)"}},
      {"watch=on\n", "other.log", {"Change watching: not watched"}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.settings);
    remove_tree(data_folder_);
    make_folder(data_folder_);
    write_bytes(file("settings.txt"), c.settings);
    write_bytes(file(c.log_file), log);
    EXPECT_EQ(change_watching_lines(tindralctl({"status"}).out), c.expected);
  }
}

}  // namespace
}  // namespace tindral::test_support
