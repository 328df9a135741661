#include "version.h"
#include "command.h"
#include "platform/process.h"
#include "service_name.h"

namespace tindral::ctl {
namespace {

int run_version(Context& context, const Arguments& /*arguments*/) {
  say("tindralctl " + std::string(program_version()));
  const std::string service = "Service " + std::string(SERVICE_NAME) + ": ";
  Result<bool> installed = context.services.installed(SERVICE_NAME);
  if (!installed) return fail(kExitFailed, installed.error());
  if (!*installed) {
    say(service + "not installed");
    return kExitNotInstalled;
  }
  Result<Path> program = context.services.program(SERVICE_NAME);
  if (!program) return fail(kExitFailed, program.error());
  Result<std::string> version = platform::program_version(*program);
  if (!version) return fail(kExitFailed, version.error());
  say(service + *version + " (" + program->display() + ")");
  return kExitOk;
}

}  // namespace

const Command& version_command() {
  static const Command command{
      "version",
      "version | --version",
      "Show the versions of tindralctl and of the installed service.",
      "The service's version is its program's: on Windows the file version of the program\n"
      "the service manager starts, natively what that program's --version prints. Exits with\n"
      "4 when the service is not installed, after showing tindralctl's own.\n",
      {},
      {},
      0,
      0,
      {},
      run_version};
  return command;
}

}  // namespace tindral::ctl
