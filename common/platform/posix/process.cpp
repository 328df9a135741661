#include "platform/process.h"

#include <unistd.h>

#include <string>

#include "platform/os_error.h"
#include "platform/posix/run_program.h"

namespace tindral::platform {

Result<Path> current_executable() {
  std::string buffer(4096, '\0');
  const ssize_t length = ::readlink("/proc/self/exe", buffer.data(), buffer.size());
  if (length < 0) return last_os_error().wrap("Failed to find the program's own file");
  if (static_cast<std::size_t>(length) == buffer.size()) {
    return Error("The program's own path is too long")
        .wrap("Failed to find the program's own file");
  }
  buffer.resize(static_cast<std::size_t>(length));
  return Path(buffer);
}

// Only the current folder is put in front: a link in the path stays as the user wrote it, which
// is also how the service will reach it.
Result<Path> absolute_path(const Path& path) {
  if (!path.empty() && path.bytes().front() == kSeparator) return path;
  std::string current(4096, '\0');
  if (::getcwd(current.data(), current.size()) == nullptr) {
    return last_os_error().wrap("Failed to make the path absolute");
  }
  current.resize(current.find('\0'));
  std::string_view rest = path.bytes();
  while (rest.starts_with("./")) rest.remove_prefix(2);
  if (rest.empty() || rest == ".") return Path(current);
  return Path(current).child(rest);
}

// Natively a program carries no version of its own in its file: the program says it, as
// "tindral 0.1.0" (service/process_entry.cpp).
Result<std::string> program_version(const Path& program) {
  const std::string failure = "Failed to read the version of " + program.display();
  // posix_spawnp searches PATH only for a name without "/": an absolute path is run as it is.
  Result<posix::ProgramOutcome> outcome = posix::run_program({program.bytes(), "--version"});
  if (!outcome) return std::move(outcome).error().wrap(failure);
  const std::string_view out = outcome->out;
  const std::string_view line = out.substr(0, out.find('\n'));
  const std::size_t space = line.rfind(' ');
  if (outcome->exit_code != 0 || space == std::string_view::npos || space + 1 == line.size()) {
    return Error("tindral --version exited with code " + std::to_string(outcome->exit_code) +
                 " and printed no version")
        .wrap(failure);
  }
  return std::string(line.substr(space + 1));
}

}  // namespace tindral::platform
