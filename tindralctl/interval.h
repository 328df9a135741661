#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "command.h"

namespace tindral::ctl {

/// The minutes of `interval MINUTES` and `install --interval`: a whole number from 1 up, or the
/// error that says so (a usage error).
Result<std::uint32_t> parse_interval(std::string_view text);

/// "1 minute", "15 minutes".
std::string minutes_text(std::uint32_t minutes);

/// Sets the interval in settings.txt in one step, keeping the file's other lines (a missing
/// file gets the one line).
Result<void> store_interval(Context& context, std::uint32_t minutes);

}  // namespace tindral::ctl
