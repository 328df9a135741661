#include "platform/console.h"

#include <unistd.h>

#include <cerrno>

namespace tindral::platform {

namespace {

// A closed or missing stream (EBADF) and every other failure end the write quietly: output is a
// courtesy, and the caller has nowhere better to report that it was lost.
void write_fully(int fd, std::string_view bytes) {
  while (!bytes.empty()) {
    const ssize_t written = ::write(fd, bytes.data(), bytes.size());
    if (written < 0 && errno == EINTR) continue;
    if (written <= 0) return;
    bytes.remove_prefix(static_cast<std::size_t>(written));
  }
}

}  // namespace

void write_stdout(std::string_view utf8) { write_fully(STDOUT_FILENO, utf8); }

void write_stderr(std::string_view utf8) { write_fully(STDERR_FILENO, utf8); }

bool stdout_is_terminal() { return ::isatty(STDOUT_FILENO) == 1; }

// Terminals on POSIX interpret escape sequences without being asked.
void enable_console_colors() {}

}  // namespace tindral::platform
