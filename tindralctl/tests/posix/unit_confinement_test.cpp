// The systemd unit that tindralctl install writes confines the service to what its job needs:
// systemd-analyze rates what is left open, and a scan that keeps no more capabilities than the
// unit does still decorates trees that belong to other accounts.

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cctype>
#include <cstdint>
#include <cstdlib>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "platform/file_system.h"
#include "tindralctl_fixture.h"

namespace tindral::test_support {
namespace {

using testing::HasSubstr;

// systemd-analyze rates 0 (closed) to 10 (open); "OK" ends at 3.9 on its scale. The service
// keeps root's powers over files, which leaves this much room for what it may need next.
constexpr double kMostExposure = 3.5;

std::string value_of(const std::string& unit, const std::string& key) {
  std::istringstream lines(unit);
  std::string line;
  while (std::getline(lines, line)) {
    if (line.starts_with(key + "=")) return line.substr(key.size() + 1);
  }
  return {};
}

// "CAP_DAC_OVERRIDE CAP_FOWNER" as setpriv takes it: "-all,+dac_override,+fowner".
std::string setpriv_capabilities(const std::string& bounding_set) {
  std::istringstream names(bounding_set);
  std::string name;
  std::string list = "-all";
  while (names >> name) {
    std::string lower;
    for (char c : name.substr(name.find('_') + 1)) lower += static_cast<char>(std::tolower(c));
    list += ",+" + lower;
  }
  return list;
}

std::uint32_t attributes_of(const Path& path) {
  Result<std::uint32_t> attributes = platform::real_file_system().get_attributes(path);
  return attributes ? *attributes : 0;
}

bool found_on_path(const char* program) {
  const std::string command = std::string("command -v ") + program + " >/dev/null 2>&1";
  return std::system(command.c_str()) == 0;
}

class UnitConfinementTest : public TindralctlTest {
 protected:
  void SetUp() override {
    TindralctlTest::SetUp();
    if (IsSkipped()) return;
    const ChildOutcome installed = tindralctl({"install", "--no-start"});
    ASSERT_EQ(installed.exit_code, 0) << installed.err;
    unit_ = read_bytes((tmp_ / "units").child("TindralCache.service"));
  }

  std::string unit_;
};

TEST_F(UnitConfinementTest, SystemdRatesTheUnitsExposureLow) {
  if (!found_on_path("systemd-analyze")) {
    GTEST_SKIP() << "systemd-analyze is not installed (apt-get install systemd)";
  }
  const Path unit = (tmp_ / "units").child("TindralCache.service");
  const ChildOutcome rated = run_child(Path("/bin/sh"),
                                       {"-c",
                                        "systemd-analyze security --offline=yes --no-pager "
                                        "\"$0\" 2>&1",
                                        unit.bytes()},
                                       {}, tmp_.path());
  std::smatch level;
  ASSERT_TRUE(std::regex_search(rated.out, level,
                                std::regex("Overall exposure level for TindralCache.service: "
                                           "([0-9]+\\.[0-9]+)")))
      << rated.out;
  EXPECT_LE(std::stod(level[1]), kMostExposure) << rated.out;
}

// A user's tree that only its owner may enter, and a data folder that another account took,
// scanned with no capability but the unit's: the data folder is taken back, the files go in, the
// folders get their attributes and keep their dates.
TEST_F(UnitConfinementTest, AScanNeedsNoCapabilityTheUnitTakesAway) {
  if (!found_on_path("setpriv")) GTEST_SKIP() << "setpriv (util-linux) is not installed";
  const std::string bounding_set = value_of(unit_, "CapabilityBoundingSet");
  ASSERT_FALSE(bounding_set.empty()) << unit_;

  const Path tree = tmp_ / "home-of-another";
  make_folder(tree.child("album"));
  make_folder(tree.child("empty"));
  write_bytes(tree.child("album").child("photo.jpg"), "jpeg");
  for (const Path& path :
       {tree, tree.child("album"), tree.child("empty"), tree.child("album").child("photo.jpg")}) {
    ASSERT_TRUE(give_to_another_account(path));
    ASSERT_EQ(
        ::chmod(path.bytes().c_str(), path == tree.child("album").child("photo.jpg") ? 0600 : 0700),
        0);
  }
  write_bytes(file("config.txt"), tree.bytes() + "\n");
  ASSERT_TRUE(give_to_another_account(data_folder_));
  std::vector<platform::FileTime> dates;
  for (const Path& folder : {tree, tree.child("album")}) {
    backdate(folder);
    dates.push_back(last_write_time(folder));
  }

  const ChildOutcome scanned =
      run_child(Path("/usr/bin/setpriv"),
                {"--inh-caps=-all", "--bounding-set=" + setpriv_capabilities(bounding_set), "--",
                 built_program(TINDRAL_EXE).bytes(), "--console"},
                {}, tmp_.path());
  EXPECT_EQ(scanned.exit_code, 0) << scanned.out << scanned.err;
  EXPECT_THAT(scanned.out, HasSubstr("  Desktop.ini written: 2\n")) << scanned.out;
  EXPECT_THAT(scanned.out, HasSubstr("Data folder was owned by another account; only "
                                     "administrators may change it now\n"));
  EXPECT_EQ(*platform::real_file_system().trust(data_folder_), platform::Trust::Administrators);
  const Path folders[] = {tree, tree.child("album")};
  for (std::size_t i = 0; i < std::size(folders); ++i) {
    EXPECT_EQ(attributes_of(folders[i].child("desktop.ini")),
              platform::kAttrHidden | platform::kAttrSystem)
        << folders[i].display();
    EXPECT_EQ(attributes_of(folders[i]), platform::kAttrDirectory | platform::kAttrReadonly)
        << folders[i].display();
    EXPECT_EQ(last_write_time(folders[i]), dates[i]) << folders[i].display();
  }
}

}  // namespace
}  // namespace tindral::test_support
