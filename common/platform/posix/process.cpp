#include "platform/process.h"

#include <unistd.h>

#include <string>

#include "platform/os_error.h"

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

}  // namespace tindral::platform
