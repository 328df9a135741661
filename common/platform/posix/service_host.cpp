// The systemd side of the service host: the same shape as under the Service Control Manager (a
// dispatcher thread that delivers controls, a service thread that runs the service main), with
// SIGTERM as the stop control and the status reports sent as readiness notifications.

#include "platform/service_host.h"

#include <pthread.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>
#include <thread>
#include <vector>

#include "platform/os_error.h"
#include "text.h"

namespace tindral::platform {
namespace {

// How often the dispatcher thread looks whether the service thread has finished.
constexpr long kDispatcherTickNanoseconds = 50'000'000;

bool environment_has(const char* name) { return std::getenv(name) != nullptr; }

// systemd sets INVOCATION_ID for every unit it starts, and NOTIFY_SOCKET for Type=notify.
bool started_by_service_manager() {
  return environment_has("INVOCATION_ID") || environment_has("NOTIFY_SOCKET");
}

// Sends one datagram to the socket systemd named in NOTIFY_SOCKET ("@" starts an abstract
// name). Without NOTIFY_SOCKET (Type=simple) there is nobody to tell, which is not a failure.
Result<void> notify_service_manager(std::string_view message) {
  const char* socket_name = std::getenv("NOTIFY_SOCKET");
  if (socket_name == nullptr || socket_name[0] == '\0') return {};
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  const std::size_t name_length = std::strlen(socket_name);
  if (name_length >= sizeof(address.sun_path)) {
    return Error("NOTIFY_SOCKET names a socket path that is too long")
        .wrap("Failed to notify the service manager");
  }
  std::memcpy(address.sun_path, socket_name, name_length);
  if (address.sun_path[0] == '@') address.sun_path[0] = '\0';
  const int fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return last_os_error().wrap("Failed to notify the service manager");
  const auto address_length = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + name_length);
  const ssize_t sent = sendto(fd, message.data(), message.size(), MSG_NOSIGNAL,
                              reinterpret_cast<const sockaddr*>(&address), address_length);
  const int send_errno = errno;
  close(fd);
  if (sent < 0)
    return os_error(static_cast<std::uint32_t>(send_errno))
        .wrap("Failed to notify the service manager");
  return {};
}

class SystemdConnection final : public ServiceConnection {
 public:
  explicit SystemdConnection(std::atomic<ControlHandler>& handler) : handler_(handler) {}

  Result<void> register_control_handler(std::string_view /*service_name: systemd knows the unit*/,
                                        ControlHandler handler) override {
    handler_.store(handler);
    return {};
  }

  Result<void> report_status(const ServiceStatus& status) override {
    if (status.current_state == kServiceRunning) return notify_service_manager("READY=1");
    if (status.current_state == kServiceStopped) return notify_service_manager("STOPPING=1");
    return {};
  }

 private:
  std::atomic<ControlHandler>& handler_;
};

}  // namespace

Result<void> run_service_dispatcher(std::string_view /*service_name*/, ServiceMain service_main) {
  if (!started_by_service_manager()) {
    return Error(
               "neither INVOCATION_ID nor NOTIFY_SOCKET is set; start it from a systemd unit, "
               "or with --console for one scan")
        .wrap("Not started by a service manager");
  }

  // SIGTERM is blocked before the service thread exists, so that it inherits the mask and the
  // signal is only ever taken here, by sigtimedwait, outside any signal handler.
  sigset_t stop_signals;
  sigemptyset(&stop_signals);
  sigaddset(&stop_signals, SIGTERM);
  sigset_t previous_mask;
  pthread_sigmask(SIG_BLOCK, &stop_signals, &previous_mask);

  std::atomic<ControlHandler> handler{nullptr};
  std::atomic<bool> finished{false};
  std::thread service_thread([&] {
    SystemdConnection connection(handler);
    service_main(connection);
    finished.store(true);
  });

  // A SIGTERM that arrives before the handler is registered waits for it, as the service
  // manager would otherwise have to escalate to SIGKILL.
  bool stop_pending = false;
  while (!finished.load()) {
    const timespec tick{0, kDispatcherTickNanoseconds};
    if (sigtimedwait(&stop_signals, nullptr, &tick) == SIGTERM) stop_pending = true;
    const ControlHandler registered = handler.load();
    if (stop_pending && registered != nullptr) {
      registered(kServiceControlStop);
      stop_pending = false;
    }
  }
  service_thread.join();
  // A SIGTERM that came after the service had stopped needs no answer; taken here, it cannot
  // end the process by its default action once the mask is restored.
  const timespec no_wait{0, 0};
  while (sigtimedwait(&stop_signals, nullptr, &no_wait) == SIGTERM) {
  }
  pthread_sigmask(SIG_SETMASK, &previous_mask, nullptr);
  return {};
}

Result<std::vector<std::string>> command_line_arguments(int argc, char** argv) {
  std::vector<std::string> texts;
  texts.reserve(static_cast<std::size_t>(argc));
  for (int index = 0; index < argc; ++index) {
    std::string argument(argv[index]);
    if (!text::is_valid_utf8(argument)) {
      return Error("Command-line argument " + std::to_string(index) + " is not valid Unicode text");
    }
    texts.push_back(std::move(argument));
  }
  return texts;
}

}  // namespace tindral::platform
