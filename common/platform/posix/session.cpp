// The console session and the user profiles on a POSIX system, the counterparts of the Windows
// terminal-services session at the physical console and the registry's profile list:
// - the console user is the user of a login record (utmpx, USER_PROCESS) on the virtual
//   terminal in the foreground (/sys/class/tty/tty0/active), or, where that is unknown or has no
//   record, on the first line that belongs to the machine's console ("console", "ttyN", or an X
//   display ":N" of the local seat);
// - the console user's account is the uid the user database gives that name, and the user's
//   profile is the home folder the database keeps for that uid, as a profile is the one the
//   ProfileList keeps for a security identifier;
// - the profiles a name is matched against where that fails are the home folders of the user
//   database (getpwent), in its order.
#include <pwd.h>
#include <unistd.h>
#include <utmpx.h>

#include <cctype>
#include <cerrno>
#include <charconv>
#include <fstream>
#include <mutex>
#include <string_view>
#include <utility>
#include <vector>

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

/// getpwnam_r and getpwuid_r fill a caller's buffer; ERANGE asks for a larger one. The bound
/// keeps a broken account database from taking the process's memory.
constexpr std::size_t kMaxPasswdBuffer = 1 << 20;

/// The user database's entry found by `lookup` (getpwnam_r or getpwuid_r bound to its key),
/// handed to `use` while its buffer lives; nothing when there is none or it cannot be read.
template <class Lookup, class Use>
auto with_passwd_entry(Lookup lookup, Use use) -> decltype(use(std::declval<const passwd&>())) {
  const long suggested = ::sysconf(_SC_GETPW_R_SIZE_MAX);
  std::vector<char> buffer(suggested > 0 ? static_cast<std::size_t>(suggested) : 1024);
  for (;;) {
    passwd entry{};
    passwd* found = nullptr;
    const int error = lookup(&entry, buffer.data(), buffer.size(), &found);
    if (error == ERANGE && buffer.size() < kMaxPasswdBuffer) {
      buffer.resize(buffer.size() * 2);
      continue;
    }
    if (error != 0 || found == nullptr) return std::nullopt;
    return use(*found);
  }
}

/// The uid the user database gives `name`, in decimal, or nothing.
std::optional<std::string> account_of(const std::string& name) {
  return with_passwd_entry(
      [&](passwd* entry, char* buffer, std::size_t size, passwd** found) {
        return ::getpwnam_r(name.c_str(), entry, buffer, size, found);
      },
      [](const passwd& entry) { return std::optional(std::to_string(entry.pw_uid)); });
}

/// A uid in decimal, nothing for any other text.
std::optional<uid_t> uid_of(std::string_view account) {
  uid_t uid = 0;
  const char* end = account.data() + account.size();
  const auto [stop, error] = std::from_chars(account.data(), end, uid);
  if (account.empty() || error != std::errc() || stop != end) return std::nullopt;
  return uid;
}

/// The console user's name from the login records.
std::optional<std::string> console_user_from_login_records() {
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

}  // namespace

std::optional<ConsoleSessionUser> console_session_user() {
  std::optional<std::string> name = console_user_from_login_records();
  if (!name) return std::nullopt;
  std::optional<std::string> account = account_of(*name);
  return ConsoleSessionUser{std::move(*name), std::move(account)};
}

std::optional<std::string> profile_image_path_of(std::string_view account) {
  const std::optional<uid_t> uid = uid_of(account);
  if (!uid) return std::nullopt;
  return with_passwd_entry(
      [&](passwd* entry, char* buffer, std::size_t size, passwd** found) {
        return ::getpwuid_r(*uid, entry, buffer, size, found);
      },
      [](const passwd& entry) -> std::optional<std::string> {
        if (entry.pw_dir == nullptr || *entry.pw_dir == '\0') return std::nullopt;
        return std::string(entry.pw_dir);
      });
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
