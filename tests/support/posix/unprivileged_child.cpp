#include "support/unprivileged_child.h"

#include <grp.h>
#include <sys/wait.h>
#include <unistd.h>

#include "support/machine.h"

namespace tindral::test_support {

namespace {

constexpr uid_t kNobody = 65534;

bool drop_to_nobody() {
  return !running_as_root() ||
         (::setgroups(0, nullptr) == 0 && ::setresgid(kNobody, kNobody, kNobody) == 0 &&
          ::setresuid(kNobody, kNobody, kNobody) == 0);
}

}  // namespace

std::optional<std::string> said_as_nobody(const std::function<std::string()>& work) {
  int pipe_ends[2];
  if (::pipe(pipe_ends) != 0) return std::nullopt;
  const pid_t child = ::fork();
  if (child == 0) {
    ::close(pipe_ends[0]);
    if (!drop_to_nobody()) ::_exit(2);
    const std::string said = work();
    ::_exit(::write(pipe_ends[1], said.data(), said.size()) < 0 ? 3 : 0);
  }
  ::close(pipe_ends[1]);
  std::string said;
  char chunk[4096];
  for (ssize_t got; (got = ::read(pipe_ends[0], chunk, sizeof chunk)) > 0;) {
    said.append(chunk, static_cast<std::size_t>(got));
  }
  ::close(pipe_ends[0]);
  int status = 0;
  if (child < 0 || ::waitpid(child, &status, 0) != child) return std::nullopt;
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) return std::nullopt;
  return said;
}

}  // namespace tindral::test_support
