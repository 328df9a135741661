#pragma once

#include <cstdlib>

namespace tindral::fuzz {

/// Ends the process when a property the service relies on does not hold, so that libFuzzer
/// keeps the input that broke it.
inline void require(bool holds) {
  if (!holds) std::abort();
}

}  // namespace tindral::fuzz
