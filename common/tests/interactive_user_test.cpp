#include "config/interactive_user.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <optional>
#include <ostream>
#include <string>
#include <vector>

#include "config/root_paths.h"
#include "platform/environment.h"
#include "platform/file_system.h"
#include "platform/session.h"
#include "support/machine.h"
#include "support/real_disk.h"
#include "support/scoped_env.h"

namespace tindral {
namespace {

using test_support::ScopedEnv;
using testing::ElementsAre;

const std::string kSep{platform::kSeparator};

// A folder path spelled for the platform: the components joined with its separator.
std::string folder(std::initializer_list<std::string_view> components) {
  std::string joined;
  for (std::string_view component : components) joined.append(kSep).append(component);
  return joined;
}

struct MatchCase {
  const char* label;
  std::string profile_folder;
  const char* user_name;
  bool matches;
};

class ProfileFolderMatchTest : public testing::TestWithParam<MatchCase> {};

TEST_P(ProfileFolderMatchTest, LastComponentAgainstUserName) {
  EXPECT_EQ(profile_folder_matches(GetParam().profile_folder, GetParam().user_name),
            GetParam().matches)
      << GetParam().profile_folder << " / " << GetParam().user_name;
}

INSTANTIATE_TEST_SUITE_P(
    Rules, ProfileFolderMatchTest,
    testing::Values(
        MatchCase{"SameName", folder({"Users", "bob"}), "bob", true},
        MatchCase{"UserNameInOtherCase", folder({"Users", "bob"}), "Bob", true},
        MatchCase{"FolderInOtherCase", folder({"Users", "BOB"}), "bob", true},
        MatchCase{"TrailingSeparator", folder({"Users", "bob"}) + kSep, "bob", true},
        MatchCase{"TrailingDot", folder({"Users", "bob", "."}), "bob", true},
        MatchCase{"RelativeName", "bob", "bob", true},
        MatchCase{"Suffix", folder({"Users", "bob.000"}), "bob", false},
        MatchCase{"LongerName", folder({"Users", "bobby"}), "bob", false},
        MatchCase{"ShorterName", folder({"Users", "bo"}), "bob", false},
        MatchCase{"TrailingDotDot", folder({"Users", "bob", ".."}), "bob", false},
        MatchCase{"DotDotIsNoName", folder({"Users", "bob", ".."}), "..", false},
        MatchCase{"Root", kSep, "bob", false}, MatchCase{"EmptyPath", "", "bob", false},
        MatchCase{"NameHigherUp", folder({"bob", "Users"}), "bob", false},
        // Only A to Z are folded.
        MatchCase{"SameNonAscii", folder({"Users", "J\xC3\xB8rn"}), "J\xC3\xB8rn", true},
        MatchCase{"NonAsciiInOtherCase", folder({"Users", "J\xC3\x98RN"}), "j\xC3\xB8rn", false}),
    [](const testing::TestParamInfo<MatchCase>& info) { return info.param.label; });

// A profile as the fake registry keeps it: the account whose entry it is, and the folder stored
// there.
struct FakeProfile {
  std::string account;
  std::string stored;
};

// The console session and the registry a lookup sees, counting how often each is asked.
class FakeSession {
 public:
  FakeSession(std::optional<platform::ConsoleSessionUser> user, std::vector<FakeProfile> profiles)
      : user_(std::move(user)), profiles_(std::move(profiles)) {}
  // A user whose account is not known, and profiles without accounts.
  FakeSession(std::optional<std::string> name, const std::vector<std::string>& stored) {
    if (name) user_ = platform::ConsoleSessionUser{*name, std::nullopt};
    for (const std::string& folder : stored) profiles_.push_back({"", folder});
  }

  SessionSource source() {
    return SessionSource{[this] { return user_; },
                         [this](std::string_view account) -> std::optional<std::string> {
                           ++accounts_looked_up_;
                           for (const FakeProfile& profile : profiles_) {
                             if (profile.account == account) return profile.stored;
                           }
                           return std::nullopt;
                         },
                         [this](const std::function<bool(const std::string&)>& visit) {
                           for (const FakeProfile& profile : profiles_) {
                             ++profiles_handed_out_;
                             if (visit(profile.stored)) return;
                           }
                         }};
  }

  int accounts_looked_up() const { return accounts_looked_up_; }
  int profiles_handed_out() const { return profiles_handed_out_; }

 private:
  std::optional<platform::ConsoleSessionUser> user_;
  std::vector<FakeProfile> profiles_;
  int accounts_looked_up_ = 0;
  int profiles_handed_out_ = 0;
};

class InteractiveUserTest : public testing::Test {
 protected:
  ScopedEnv drive_{"TINDRAL_DRIVE", "Q:"};
  const std::string stored_alice_ = "%TINDRAL_DRIVE%" + folder({"Users", "alice"});
  const std::string stored_bob_ = "%TINDRAL_DRIVE%" + folder({"Users", "bob"});
  const std::string stored_bob_copy_ = "%TINDRAL_DRIVE%" + folder({"Old", "bob"});
  const std::string system_profile_ = folder({"Windows", "ServiceProfiles", "LocalService"});
};

TEST_F(InteractiveUserTest, FirstMatchingProfileIsExpandedAndTheWalkStops) {
  FakeSession session("Bob", {system_profile_, stored_alice_, stored_bob_, stored_bob_copy_});

  const std::optional<InteractiveUser> user = interactive_user_from(session.source());

  ASSERT_TRUE(user.has_value());
  EXPECT_EQ(user->user_name, "Bob");
  EXPECT_EQ(user->profile_folder, "Q:" + folder({"Users", "bob"}));
  EXPECT_EQ(session.profiles_handed_out(), 3);
}

TEST_F(InteractiveUserTest, NobodyAtTheConsoleLeavesTheProfilesUnread) {
  FakeSession session(std::optional<platform::ConsoleSessionUser>(),
                      std::vector<FakeProfile>{{"S-1-5-21-1-2-3-1001", stored_bob_}});
  EXPECT_FALSE(interactive_user_from(session.source()).has_value());
  EXPECT_EQ(session.accounts_looked_up(), 0);
  EXPECT_EQ(session.profiles_handed_out(), 0);
}

TEST_F(InteractiveUserTest, UserWithoutAProfileNamedAfterThemGivesNothingAtAll) {
  FakeSession session(
      "bob", {system_profile_, stored_alice_, "%TINDRAL_DRIVE%" + folder({"Users", "bob.000"})});
  EXPECT_FALSE(interactive_user_from(session.source()).has_value());
  EXPECT_EQ(session.profiles_handed_out(), 3);
  EXPECT_FALSE(find_profile_folder_in(session.source(), "bob").has_value());
}

TEST_F(InteractiveUserTest, ProfilePathIsComparedAfterExpansion) {
  ScopedEnv profile_home("TINDRAL_PROFILE_HOME", folder({"Users", "carol"}));
  FakeSession session("carol", {"%TINDRAL_PROFILE_HOME%"});
  EXPECT_EQ(find_profile_folder_in(session.source(), "carol"), folder({"Users", "carol"}));
}

// ---- the profile of the console user's account --------------------------------------------

constexpr const char* kLocalAnn = "S-1-5-21-100-200-300-1001";
constexpr const char* kSecondLocalAnn = "S-1-5-21-100-200-300-1002";
constexpr const char* kRenamedBob = "S-1-5-21-100-200-300-1003";
constexpr const char* kDomainAnn = "S-1-5-21-900-800-700-1105";

struct AccountCase {
  const char* label;
  platform::ConsoleSessionUser user;
  std::optional<std::string> profile;  // below Q:
  int profiles_walked;
};

void PrintTo(const AccountCase& c, std::ostream* out) { *out << c.label; }

class ProfileByAccountTest : public testing::TestWithParam<AccountCase> {};

// One machine's profiles in the registry's order: a system profile, a local ann, a domain ann,
// a local ann created after an earlier one's folder was left behind, and bob renamed robert.
TEST_P(ProfileByAccountTest, TheAccountDecidesAndTheNameIsTheFallback) {
  ScopedEnv drive("TINDRAL_DRIVE", "Q:");
  const auto users = [](std::string_view name) {
    return "%TINDRAL_DRIVE%" + folder({"Users", name});
  };
  FakeSession session(GetParam().user,
                      {{"S-1-5-18", folder({"Windows", "System32", "config", "systemprofile"})},
                       {kLocalAnn, users("ann")},
                       {kDomainAnn, users("ann.CONTOSO")},
                       {kSecondLocalAnn, users("ann.000")},
                       {kRenamedBob, users("bob")}});

  const std::optional<InteractiveUser> found = interactive_user_from(session.source());

  if (!GetParam().profile) {
    EXPECT_FALSE(found.has_value()) << found->profile_folder;
  } else {
    ASSERT_TRUE(found.has_value());
    EXPECT_EQ(found->user_name, GetParam().user.user_name);
    EXPECT_EQ(found->profile_folder, "Q:" + folder({"Users", *GetParam().profile}));
  }
  EXPECT_EQ(session.profiles_handed_out(), GetParam().profiles_walked);
}

INSTANTIATE_TEST_SUITE_P(
    Profiles, ProfileByAccountTest,
    testing::Values(
        AccountCase{"DomainAnnBesideALocalAnn", {"ann", kDomainAnn}, "ann.CONTOSO", 0},
        AccountCase{"LocalAnnBesideADomainAnn", {"ann", kLocalAnn}, "ann", 0},
        AccountCase{"FolderWithASuffix", {"ann", kSecondLocalAnn}, "ann.000", 0},
        AccountCase{"RenamedAccount", {"robert", kRenamedBob}, "bob", 0},
        AccountCase{"AccountWithoutAnEntryFallsBackToTheName",
                    {"ann", "S-1-5-21-100-200-300-1004"},
                    "ann",
                    2},
        AccountCase{"UnknownAccountFallsBackToTheName", {"Ann", std::nullopt}, "ann", 2},
        AccountCase{
            "FallbackFindsNoFolderNamedAfterTheUser", {"robert", std::nullopt}, std::nullopt, 5}),
    [](const testing::TestParamInfo<AccountCase>& info) { return info.param.label; });

// ---- the platform's own lookup -----------------------------------------------------------------

TEST(PlatformSessionTest, ProfileWalkStopsWhenAsked) {
  int visited = 0;
  platform::for_each_profile_image_path([&](const std::string&) {
    ++visited;
    return true;
  });
  EXPECT_EQ(visited, 1) << "every system knows at least one profile folder";
}

// The process's own account has a profile named after it, under Wine C:\users\<login> and
// natively the home folder.
TEST(PlatformSessionTest, OwnAccountsProfileIsFound) {
  platform::EnvValue name = platform::get_env("USERNAME");
  if (!name.present()) name = platform::get_env("USER");
  platform::EnvValue home = platform::get_env("USERPROFILE");
  if (!home.present()) home = platform::get_env("HOME");
  if (!name.present() || !home.present() || !profile_folder_matches(home.value, name.value)) {
    GTEST_SKIP() << "the environment names no account with a profile named after it";
  }
  EXPECT_EQ(find_profile_folder(name.value), home.value);
}

// Wine reports session 1 with the Unix login name, a token of S-1-5-21-0-0-0-1000 (its
// WTSQueryUserToken hands out the caller's own) and that account's profile, C:\users\<login>.
TEST(PlatformSessionTest, ProfilePlaceholderResolvesThroughTheConsoleSession) {
  const std::optional<std::string> name = console_user_name();
  if (!name) GTEST_SKIP() << "nobody is logged on at this machine's console";
  const std::optional<InteractiveUser> user = interactive_user();
  if (test_support::running_under_wine()) {
    const std::optional<platform::ConsoleSessionUser> session = platform::console_session_user();
    ASSERT_TRUE(session.has_value() && session->account.has_value());
    EXPECT_EQ(platform::profile_image_path_of(*session->account), "C:\\users\\" + *name);
    ASSERT_TRUE(user.has_value());
    EXPECT_EQ(user->profile_folder, "C:\\users\\" + *name);
  }
  if (!user) GTEST_SKIP() << *name << " has no profile folder named after them";
  EXPECT_EQ(user->user_name, *name);
  if (!platform::real_file_system().exists(Path::from_text(user->profile_folder))) {
    GTEST_SKIP() << user->profile_folder << " does not exist";
  }

  // The process's own USERPROFILE names another folder, so a root that resolves to the console
  // user's folder came through the session lookup.
  test_support::TempDir dir;
  ScopedEnv elsewhere("USERPROFILE", dir.path().display());
  test_support::write_bytes(dir / "config.txt", "%USERPROFILE%\n");
  Result<RootPathList> roots = load_root_paths(platform::real_file_system(), dir / "config.txt");
  ASSERT_TRUE(roots.ok());
  EXPECT_THAT(*roots, ElementsAre(Path::from_text(user->profile_folder)));
}

}  // namespace
}  // namespace tindral
