#pragma once

namespace tindral::testing {

/// True when the tests run under Wine rather than on Windows or natively.
bool running_under_wine();

/// True when permission checks do not apply to this process (POSIX root), so that tests that
/// need an unreadable folder must be skipped.
bool running_as_root();

}  // namespace tindral::testing
