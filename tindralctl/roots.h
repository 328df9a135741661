#pragma once

#include <string>
#include <vector>

#include "command.h"

namespace tindral::ctl {

/// One line per entry of config.txt: the entry, what it expands to when that differs, and
/// whether the service scans it. A config.txt the service cannot read is an error. With
/// `not_scanning` (why the service scans nothing now), a root it would scan says that instead.
Result<std::vector<std::string>> describe_roots(Context& context,
                                                std::string_view not_scanning = {});

}  // namespace tindral::ctl
