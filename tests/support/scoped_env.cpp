#include "support/scoped_env.h"

#include <gtest/gtest.h>

#include <utility>

namespace tindral::test_support {

ScopedEnv::ScopedEnv(std::string name, std::optional<std::string_view> value)
    : name_(std::move(name)), previous_(platform::get_env(name_)) {
  if (value) {
    EXPECT_TRUE(platform::set_env(name_, *value)) << "could not set " << name_;
  } else {
    platform::unset_env(name_);
    EXPECT_EQ(platform::get_env(name_).state, platform::EnvValue::State::Absent)
        << "could not remove " << name_;
  }
}

ScopedEnv::~ScopedEnv() {
  if (previous_.present()) {
    platform::set_env(name_, previous_.value);
  } else {
    platform::unset_env(name_);
  }
}

}  // namespace tindral::test_support
