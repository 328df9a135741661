#include "platform/environment.h"

#include <cstdlib>
#include <string>

#include "text.h"

namespace tindral::platform {

EnvValue get_env(std::string_view name) {
  const char* raw = std::getenv(std::string(name).c_str());
  if (raw == nullptr) return {};
  std::string value(raw);
  if (!text::is_valid_utf8(value)) return {EnvValue::State::NotUnicode, {}};
  return {EnvValue::State::Present, std::move(value)};
}

bool set_env(std::string_view name, std::string_view value) {
  return setenv(std::string(name).c_str(), std::string(value).c_str(), 1) == 0;
}

bool unset_env(std::string_view name) { return unsetenv(std::string(name).c_str()) == 0; }

}  // namespace tindral::platform
