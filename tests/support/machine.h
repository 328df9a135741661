#pragma once

#include <cstddef>

namespace tindral::test_support {

/// True when the tests run under Wine rather than on Windows or natively.
bool running_under_wine();

/// True when permission checks do not apply to this process (POSIX root), so that tests that
/// need an unreadable folder must be skipped.
bool running_as_root();

/// True natively when systemd runs, so that registering a service would reach the machine's
/// real service manager (the native tests drive the service without one); false on Windows,
/// where the tests use the Service Control Manager.
bool systemd_runs();

/// The longest path, in bytes of ASCII names, that the platform lets a file have: Windows' about
/// 32,767 characters, Wine's 4,266 (its Unix side's PATH_MAX), and natively no limit at all.
std::size_t longest_path_bytes();

}  // namespace tindral::test_support
