// Runs one cleanup of the roots in a config.txt and prints what it did, so that the benchmark can
// time the cleanup as a whole process, the way console mode lets it time a scan.
//
// Usage: tindral_cleanup_driver CONFIG_TXT

#include <string>
#include <vector>

#include "error.h"
#include "log.h"
#include "platform/console.h"
#include "platform/file_system.h"
#include "platform/path.h"
#include "platform/service_host.h"
#include "run_cleanup.h"

namespace {

std::string format_cleanup_summary(const tindral::CleanupStats& stats) {
  return "\nCleanup complete:\n"
         "  Folders visited: " +
         std::to_string(stats.folders_visited) +
         "\n"
         "  Desktop.ini removed: " +
         std::to_string(stats.ini_removed) + "\n";
}

}  // namespace

int main(int argc, char** argv) {
  using namespace tindral;
  if (!log::init_logging()) return 101;
  Result<std::vector<std::string>> arguments = platform::command_line_arguments(argc, argv);
  if (!arguments || arguments->size() != 2) {
    platform::write_stderr("Usage: tindral_cleanup_driver CONFIG_TXT\n");
    return 2;
  }
  Result<CleanupStats> stats =
      run_cleanup(platform::real_file_system(), Path::from_text((*arguments)[1]));
  if (!stats) {
    platform::write_stderr(render_error_report(stats.error()));
    return 1;
  }
  platform::write_stdout(format_cleanup_summary(*stats));
  return 0;
}
