#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "platform/environment.h"

namespace tindral::test_support {

/// Sets an environment variable of the test process (or, with std::nullopt, removes it) for the
/// life of the object, then puts back what was there. A previous value that was not valid
/// Unicode cannot be read back as text and is removed instead.
class ScopedEnv {
 public:
  ScopedEnv(std::string name, std::optional<std::string_view> value);
  ~ScopedEnv();
  ScopedEnv(const ScopedEnv&) = delete;
  ScopedEnv& operator=(const ScopedEnv&) = delete;

 private:
  std::string name_;
  platform::EnvValue previous_;
};

}  // namespace tindral::test_support
