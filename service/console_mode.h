#pragma once

#include <string>

#include "error.h"
#include "platform/file_system.h"
#include "platform/path.h"
#include "run_scan.h"

namespace tindral {

/// The six lines printed after a console scan: an empty line, "Scan complete:" and the three
/// counters and the elapsed time (two decimals), each line ended by a line feed.
std::string format_scan_summary(const ScanStats& stats);

/// Console mode: logs that it runs in the console, scans the roots of `config_path` once and
/// prints the summary on standard output. A failed scan prints nothing and returns its error;
/// so does a scan that throws ("Out of memory" for a failed allocation).
Result<void> run_console_mode(platform::FileSystem& fs, const Path& config_path);

}  // namespace tindral
