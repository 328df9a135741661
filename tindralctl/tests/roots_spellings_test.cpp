// A folder is one root however config.txt or the command line spells it: on Windows letter
// case, separators and a trailing separator do not matter, natively only what canonicalisation
// takes away.

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "text.h"
#include "tindralctl_fixture.h"

namespace tindral::test_support {
namespace {

using testing::HasSubstr;

class RootsSpellingsTest : public TindralctlTest {
 protected:
  RootsSpellingsTest() {
    listed_ = (tmp_ / "Data").bytes();
    inner_ = (tmp_ / "Data").child("c").bytes();
    // Natively another folder; on Windows the same one.
    lower_ = (tmp_ / "data").bytes();
    const std::string sep(1, platform::kSeparator);
    other_spellings_ = {listed_ + sep, listed_ + sep + "." + sep + "c" + sep + ".." + sep};
    if (windows_) {
      std::string forward = text::to_upper(listed_);
      std::replace(forward.begin(), forward.end(), '\\', '/');
      other_spellings_.push_back(forward + "/");
      other_spellings_.push_back(lower_);
    }
  }

  void lay_out() {
    make_folder(data_folder_);
    make_folder((tmp_ / "Data").child("c"));
    if (!windows_) make_folder(tmp_ / "data");
    write_bytes(file("config.txt"), listed_ + "\n");
  }

  const bool windows_ = platform::kSeparator == '\\';
  std::string listed_;
  std::string inner_;
  std::string lower_;
  std::vector<std::string> other_spellings_;
};

// add refuses a folder listed in another spelling and warns of nesting; list and status show
// what the scan does with each line, in the scan's words; remove finds every spelling.
TEST_F(RootsSpellingsTest, OneFolderIsOneRootHoweverItIsSpelled) {
  lay_out();
  for (const std::string& spelling : other_spellings_) {
    const ChildOutcome add = tindralctl({"roots", "add", spelling});
    EXPECT_EQ(add.exit_code, 6) << spelling;
    EXPECT_THAT(add.err, HasSubstr("\n\nCaused by:\n    It is already listed as " + listed_ + "\n"))
        << spelling;
  }
  const ChildOutcome nested = tindralctl({"roots", "add", inner_});
  EXPECT_EQ(nested.exit_code, 0) << nested.err;
  EXPECT_EQ(nested.err, "Warning: " + inner_ + " lies inside " + listed_ +
                            ", which config.txt lists already; the service walks it as part of "
                            "that root.\n");
  if (!windows_) {
    EXPECT_EQ(tindralctl({"roots", "add", lower_}).err, "");
  }
  EXPECT_EQ(read_bytes(file("config.txt")),
            listed_ + "\n" + inner_ + "\n" + (windows_ ? "" : lower_ + "\n"));

  std::string config = inner_ + "\n" + listed_ + "\n";
  std::string expected = "  " + inner_ + "  (Root path lies inside " + listed_ +
                         ", skipping: " + inner_ + ")\n  " + listed_ + "  (scanned)\n";
  for (const std::string& spelling : other_spellings_) {
    config += spelling + "\n";
    expected += "  " + spelling + "  (Root path is already listed as " + listed_ +
                ", skipping: " + spelling + ")\n";
  }
  write_bytes(file("config.txt"), config);
  EXPECT_EQ(tindralctl({"roots", "list"}).out, expected);
  // The service is not installed here: the root it would walk says so, the others keep theirs.
  std::string in_status = expected;
  in_status.replace(in_status.find("(scanned)"), 9, "(not scanned: the service is not installed)");
  EXPECT_THAT(tindralctl({"status"}).out, HasSubstr("Roots (config.txt):\n" + in_status));

  EXPECT_EQ(tindralctl({"roots", "remove", other_spellings_.back()}).exit_code, 0);
  EXPECT_EQ(read_bytes(file("config.txt")), inner_ + "\n");
}

}  // namespace
}  // namespace tindral::test_support
