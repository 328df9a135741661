// Natively a console user's profile is the home folder the account database keeps for the
// user's uid, whatever that folder is called.
#include <pwd.h>

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

#include "config/interactive_user.h"
#include "platform/path.h"
#include "platform/session.h"

namespace tindral {
namespace {

struct Account {
  std::string name;
  uid_t uid = 0;
  std::string home;
};

// An account of this machine whose home folder is not named after it (daemon's /usr/sbin,
// nobody's /nonexistent) and whose uid no other entry shares, read from the database the
// product asks.
std::optional<Account> account_with_a_home_named_otherwise() {
  std::vector<Account> candidates;
  setpwent();
  while (const passwd* entry = getpwent()) {
    const std::string home = entry->pw_dir;
    if (home.empty() || Path::from_text(home).file_name() == entry->pw_name) continue;
    candidates.push_back({entry->pw_name, entry->pw_uid, home});
  }
  endpwent();
  for (const Account& candidate : candidates) {
    const passwd* by_uid = getpwuid(candidate.uid);
    if (by_uid != nullptr && candidate.name == by_uid->pw_name) return candidate;
  }
  return std::nullopt;
}

TEST(AccountHomeTest, TheUidsHomeIsTheProfileWhateverItIsCalled) {
  const std::optional<Account> account = account_with_a_home_named_otherwise();
  if (!account) GTEST_SKIP() << "every account here has a home named after it";
  const SessionSource source{
      [&] {
        return platform::ConsoleSessionUser{account->name, std::to_string(account->uid)};
      },
      platform::profile_image_path_of, platform::for_each_profile_image_path};

  const std::optional<InteractiveUser> user = interactive_user_from(source);

  ASSERT_TRUE(user.has_value()) << account->name;
  EXPECT_EQ(user->profile_folder, account->home);
  EXPECT_FALSE(find_profile_folder_in(source, account->name).has_value())
      << "the name alone finds no folder named after " << account->name;
}

}  // namespace
}  // namespace tindral
