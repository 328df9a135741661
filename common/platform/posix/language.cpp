#include "platform/language.h"

#include <array>
#include <string_view>

#include "platform/environment.h"

namespace tindral::platform {

namespace {

// The message language of a POSIX process is the first non-empty one of these, the same order
// in which the C library chooses the LC_MESSAGES category.
constexpr std::array<std::string_view, 3> kMessageLocaleVariables = {"LC_ALL", "LC_MESSAGES",
                                                                     "LANG"};

std::string message_locale() {
  for (std::string_view name : kMessageLocaleVariables) {
    EnvValue value = get_env(name);
    if (value.present() && !value.value.empty()) return value.value;
  }
  return {};
}

// A locale name is language[_territory][.codeset][@modifier]; only the language part counts.
bool names_danish(std::string_view locale) {
  if (!locale.starts_with("da")) return false;
  std::string_view rest = locale.substr(2);
  return rest.empty() || rest.front() == '_' || rest.front() == '.' || rest.front() == '@';
}

}  // namespace

bool user_ui_language_is_danish() { return names_danish(message_locale()); }

}  // namespace tindral::platform
