#pragma once

#include <string>

#include "error.h"
#include "platform/file_system.h"
#include "platform/path.h"
#include "run_scan.h"

namespace tindral {

/// The six lines printed after a console scan: an empty line, "Scan complete:" and the three
/// counters and the elapsed time (two decimals), each line ended by a line feed; after a scan
/// with failures a seventh, the scan's failure warning indented by two spaces.
std::string format_scan_summary(const ScanStats& stats);

/// Console mode: logs that it runs in the console, secures the data folder that holds
/// `config_path` as the service does (`default_icon` replaces a folder.ico that does not count),
/// scans the roots of `config_path` once and prints the summary on standard output. A data
/// folder that cannot be secured, or a failed scan, prints nothing and returns the error; so
/// does a scan that throws ("Out of memory" for a failed allocation).
Result<void> run_console_mode(platform::FileSystem& fs, const Path& config_path,
                              const Path& default_icon);

}  // namespace tindral
