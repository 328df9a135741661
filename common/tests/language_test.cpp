#include "platform/language.h"

#include <gtest/gtest.h>

#include <optional>
#include <ostream>
#include <string>
#include <string_view>

#include "config/settings.h"
#include "support/scoped_env.h"

namespace tindral {
namespace {

/// The three locale variables of one case; nullptr means unset.
struct LocaleCase {
  const char* lc_all;
  const char* lc_messages;
  const char* lang;
  bool danish;
};

void PrintTo(const LocaleCase& c, std::ostream* out) {
  const char* names[] = {"LC_ALL", "LC_MESSAGES", "LANG"};
  const char* values[] = {c.lc_all, c.lc_messages, c.lang};
  for (int i = 0; i < 3; ++i) {
    *out << names[i] << '=';
    if (values[i] != nullptr) {
      *out << '"' << values[i] << "\" ";
    } else {
      *out << "unset ";
    }
  }
}

class LanguageTest : public testing::TestWithParam<LocaleCase> {};

TEST_P(LanguageTest, DanishFromTheFirstNonEmptyLocaleVariable) {
#if defined(_WIN32)
  GTEST_SKIP() << "Windows takes the interface language from the user's settings "
                  "(GetUserDefaultUILanguage), not from the process environment";
#else
  const LocaleCase& c = GetParam();
  const auto value = [](const char* text) {
    return text != nullptr ? std::optional<std::string_view>(text) : std::nullopt;
  };
  test_support::ScopedEnv lc_all("LC_ALL", value(c.lc_all));
  test_support::ScopedEnv lc_messages("LC_MESSAGES", value(c.lc_messages));
  test_support::ScopedEnv lang("LANG", value(c.lang));
  EXPECT_EQ(platform::user_ui_language_is_danish(), c.danish);
  EXPECT_EQ(default_settings().lang, c.danish ? "da" : "en");
#endif
}

INSTANTIATE_TEST_SUITE_P(
    Posix, LanguageTest,
    testing::Values(
        LocaleCase{"da_DK.UTF-8", nullptr, nullptr, true}, LocaleCase{"da", nullptr, nullptr, true},
        LocaleCase{"da.UTF-8", nullptr, nullptr, true}, LocaleCase{"da_GL", nullptr, nullptr, true},
        LocaleCase{"da@euro", nullptr, nullptr, true},
        LocaleCase{nullptr, "da_DK.UTF-8", "en_US.UTF-8", true}, LocaleCase{"", "", "da_DK", true},
        LocaleCase{"en_US.UTF-8", "da_DK.UTF-8", "da_DK.UTF-8", false},
        LocaleCase{"", "de_DE", "da_DK", false}, LocaleCase{"dan", nullptr, nullptr, false},
        LocaleCase{"DA_DK", nullptr, nullptr, false}, LocaleCase{"C", nullptr, "da_DK", false},
        LocaleCase{nullptr, nullptr, nullptr, false}),
    [](const testing::TestParamInfo<LocaleCase>& info) {
      return "Case" + std::to_string(info.index);
    });

}  // namespace
}  // namespace tindral
