#include "console_mode.h"

#include "config/trusted_files.h"
#include "log.h"
#include "log_targets.h"
#include "platform/console.h"
#include "text.h"
#include "without_exceptions.h"

namespace tindral {

std::string format_scan_summary(const ScanStats& stats) {
  return "\nScan complete:\n"
         "  Folders scanned: " +
         std::to_string(stats.folders_scanned) +
         "\n"
         "  Desktop.ini written: " +
         std::to_string(stats.ini_written) +
         "\n"
         "  Desktop.ini removed: " +
         std::to_string(stats.ini_removed) +
         "\n"
         "  Time elapsed: " +
         text::format_seconds(stats.elapsed, 2) + "\n";
}

Result<void> run_console_mode(platform::FileSystem& fs, const Path& config_path) {
  log::info(log::kTargetService, "Running in console mode");
  log::info(log::kTargetServiceImpl, "Running in console mode - Press Ctrl+C to stop");
  // The scan reads such a file as absent; whoever runs the console wants to know why.
  if (const auto reason = distrust_reason(fs, config_path)) {
    log::warn(log::kTargetServiceImpl, "Ignoring config.txt: " + std::string(*reason));
  }
  Result<ScanStats> stats = without_exceptions([&] { return run_scan(fs, config_path); });
  if (!stats) return std::move(stats).error();
  // Straight to standard output, not through the log: the summary carries no timestamp.
  platform::write_stdout(format_scan_summary(*stats));
  return {};
}

}  // namespace tindral
