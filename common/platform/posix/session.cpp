// The console session and the user profiles on a POSIX system, the counterparts of the Windows
// terminal-services session at the physical console and the registry's profile list:
// - the console user is the user of a login record (utmpx, USER_PROCESS) on the virtual
//   terminal in the foreground (/sys/class/tty/tty0/active), or, where that is unknown or has no
//   record, on the first line that belongs to the machine's console ("console", "ttyN", or an X
//   display ":N" of the local seat);
// - the profiles are the home folders of the user database (getpwent), in its order.
#include <pwd.h>
#include <utmpx.h>

#include <cctype>
#include <fstream>
#include <mutex>
#include <string_view>

#include "platform/session.h"
#include "text.h"

namespace tindral::platform {

namespace {

// getutxent and getpwent keep one cursor per process and are not reentrant; every walk here
// holds this lock. Code outside this file that walks the same databases is not covered.
std::mutex& user_database_mutex() {
  static std::mutex mutex;
  return mutex;
}

/// A fixed-size utmpx field up to its first NUL (the field need not have one).
std::string_view field_text(const char* field, std::size_t size) {
  std::string_view text(field, size);
  return text.substr(0, text.find('\0'));
}

bool all_digits(std::string_view text) {
  if (text.empty()) return false;
  for (char c : text) {
    if (!std::isdigit(static_cast<unsigned char>(c))) return false;
  }
  return true;
}

/// A terminal line of the machine's own console: a virtual terminal, the console device or a
/// local X display.
bool is_console_line(std::string_view line) {
  if (line == "console") return true;
  if (line.starts_with("tty")) return all_digits(line.substr(3));
  if (line.starts_with(":")) return all_digits(line.substr(1));
  return false;
}

/// The virtual terminal in the foreground, such as "tty1"; empty where the kernel does not say.
std::string foreground_terminal() {
  std::ifstream active("/sys/class/tty/tty0/active");
  std::string line;
  std::getline(active, line);
  return line;
}

struct UtmpCursor {
  UtmpCursor() { setutxent(); }
  ~UtmpCursor() { endutxent(); }
  UtmpCursor(const UtmpCursor&) = delete;
  UtmpCursor& operator=(const UtmpCursor&) = delete;
};

struct PasswdCursor {
  PasswdCursor() { setpwent(); }
  ~PasswdCursor() { endpwent(); }
  PasswdCursor(const PasswdCursor&) = delete;
  PasswdCursor& operator=(const PasswdCursor&) = delete;
};

}  // namespace

std::optional<std::string> console_session_user_name() {
  const std::string foreground = foreground_terminal();
  std::optional<std::string> on_console;
  const std::lock_guard lock(user_database_mutex());
  const UtmpCursor cursor;
  while (const utmpx* record = getutxent()) {
    if (record->ut_type != USER_PROCESS) continue;
    const std::string_view line = field_text(record->ut_line, sizeof record->ut_line);
    const std::string_view user = field_text(record->ut_user, sizeof record->ut_user);
    if (user.empty()) continue;
    if (!foreground.empty() && line == foreground) return text::to_lossy_utf8(user);
    if (!on_console && is_console_line(line)) on_console = text::to_lossy_utf8(user);
  }
  return on_console;
}

void for_each_profile_image_path(const std::function<bool(const std::string&)>& visit) {
  const std::lock_guard lock(user_database_mutex());
  const PasswdCursor cursor;
  while (const passwd* entry = getpwent()) {
    if (entry->pw_dir == nullptr) continue;
    if (visit(entry->pw_dir)) return;
  }
}

}  // namespace tindral::platform
