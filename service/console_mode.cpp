#include "console_mode.h"

#include <optional>
#include <string>

#include "config/data_folder_security.h"
#include "config/trusted_files.h"
#include "log.h"
#include "log_targets.h"
#include "platform/console.h"
#include "text.h"
#include "without_exceptions.h"

namespace tindral {

namespace {

// After the six lines, so that they stay where a reader of the summary looks for them.
std::string failures_line(const ScanStats& stats) {
  const std::optional<std::string> warning = scan_failures_warning(stats);
  return warning ? "  " + *warning + "\n" : std::string();
}

}  // namespace

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
         text::format_seconds(stats.elapsed, 2) + "\n" + failures_line(stats);
}

Result<void> run_console_mode(platform::FileSystem& fs, const Path& config_path,
                              const Path& default_icon) {
  log::info(log::kTargetService, "Running in console mode");
  log::info(log::kTargetServiceImpl, "Running in console mode - Press Ctrl+C to stop");
  // The same rules as the service's: the data folder is made the administrators' before
  // config.txt is read from it, and a folder that cannot be is not read at all.
  Result<DataFolderSecuring> securing = secure_data_folder(fs, config_path.parent(), default_icon);
  for (const std::string& line : data_folder_report(securing)) {
    log::warn(log::kTargetServiceImpl, line);
  }
  if (!securing) return std::move(securing).error().wrap("Data folder could not be secured");
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
