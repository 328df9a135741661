#include "process_entry.h"

#include "config/data_folder.h"
#include "config/data_folder_security.h"
#include "console_mode.h"
#include "error.h"
#include "log.h"
#include "platform/console.h"
#include "platform/file_system.h"
#include "platform/service_host.h"
#include "service_main.h"
#include "version.h"
#include "without_exceptions.h"

namespace tindral {
namespace {

Result<void> run_chosen_mode(const std::vector<std::string>& arguments) {
  if (is_console_mode(arguments)) {
    const Result<Path> icon = default_icon_path();
    return run_console_mode(platform::real_file_system(), data_folder().child(kConfigFileName),
                            icon ? *icon : Path());
  }
  // Whether a service manager started the process plays no part: from a terminal the
  // dispatcher call fails and says so.
  return platform::run_service_dispatcher(SERVICE_NAME, production_service_main);
}

}  // namespace

bool is_console_mode(const std::vector<std::string>& arguments) {
  return arguments.size() >= 2 && arguments[1] == kConsoleOption;
}

int run_mode(const std::vector<std::string>& arguments) {
  if (arguments.size() == 2 && arguments[1] == kVersionOption) {
    platform::write_stdout("tindral " + std::string(program_version()) + "\n");
    return kExitSuccess;
  }
  if (auto outcome = without_exceptions([&] { return run_chosen_mode(arguments); }); !outcome) {
    platform::write_stderr(render_error_report(outcome.error()));
    return kExitFailure;
  }
  return kExitSuccess;
}

int run_process(int argc, char** argv) {
  if (!log::init_logging()) {
    platform::write_stderr("Unable to install global subscriber\n");
    return kExitAbnormal;
  }
  Result<std::vector<std::string>> arguments = platform::command_line_arguments(argc, argv);
  if (!arguments) {
    platform::write_stderr(render_error_report(arguments.error()));
    return kExitAbnormal;
  }
  return run_mode(*arguments);
}

}  // namespace tindral
