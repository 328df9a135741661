// systemd as the service manager: the unit file in the administrator's unit folder, and
// systemctl for everything that needs the running manager. Where systemd does not run (a
// container, a test), the unit file is still what "installed" means and the state is unknown.

#include "platform/service_control.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <fstream>
#include <optional>
#include <string>
#include <vector>

#include "platform/os_error.h"
#include "platform/posix/run_program.h"
#include "service_name.h"
#include "text.h"

namespace tindral::platform {
namespace {

constexpr char kDefaultUnitFolder[] = "/etc/systemd/system";
// systemd's own test for having booted the machine (sd_booted).
constexpr char kSystemdRuntimeFolder[] = "/run/systemd/system";

// TINDRAL_UNIT_DIR moves the unit file elsewhere (tests keep theirs in a folder of their own).
std::string unit_file(std::string_view name) {
  const char* folder = std::getenv("TINDRAL_UNIT_DIR");
  std::string path = folder != nullptr && folder[0] != '\0' ? folder : kDefaultUnitFolder;
  return path + "/" + std::string(name) + ".service";
}

bool systemd_runs() {
  struct stat info {};
  return ::lstat(kSystemdRuntimeFolder, &info) == 0 && S_ISDIR(info.st_mode);
}

Result<posix::ProgramOutcome> run_systemctl(std::vector<std::string> arguments) {
  arguments.insert(arguments.begin(), "systemctl");
  Result<posix::ProgramOutcome> outcome = posix::run_program(std::move(arguments));
  if (!outcome) return std::move(outcome).error().wrap("Failed to run systemctl");
  return outcome;
}

Result<void> systemctl(std::vector<std::string> arguments, std::string_view failure_message) {
  Result<posix::ProgramOutcome> outcome = run_systemctl(std::move(arguments));
  if (!outcome) return std::move(outcome).error().wrap(std::string(failure_message));
  if (outcome->exit_code != 0) {
    return Error("systemctl exited with code " + std::to_string(outcome->exit_code))
        .wrap(std::string(failure_message));
  }
  return {};
}

// ExecStart= takes a quoted word with C escapes, and "%" starts a specifier everywhere.
std::string unit_word(std::string_view text) {
  std::string word = "\"";
  for (char c : text) {
    if (c == '\\' || c == '"') word += '\\';
    if (c == '%') word += '%';
    word += c;
  }
  return word + "\"";
}

// What unit_word made of a text: the first word of `words`, quotes and escapes taken away.
std::string unit_word_value(std::string_view words) {
  std::string value;
  bool escaped = false;
  const bool quoted = words.starts_with('"');
  for (std::size_t i = quoted ? 1 : 0; i < words.size(); ++i) {
    const char c = words[i];
    if (quoted && !escaped && c == '\\') {
      escaped = true;
      continue;
    }
    if (quoted && !escaped && c == '"') break;
    if (!quoted && c == ' ') break;
    if (c == '%' && i + 1 < words.size() && words[i + 1] == '%') ++i;
    value += c;
    escaped = false;
  }
  return value;
}

std::string unit_text(const ServiceDefinition& definition) {
  std::string text =
      "# Written by tindralctl install; tindralctl uninstall removes it.\n"
      "[Unit]\n"
      "Description=" +
      definition.display_name + ": " + definition.description +
      "\n"
      "After=local-fs.target\n"
      "\n"
      "[Service]\n"
      "Type=simple\n"
      "ExecStart=" +
      unit_word(definition.executable.bytes()) + "\n";
  for (const auto& [name, value] : definition.environment) {
    text += "Environment=" + unit_word(name + "=" + value) + "\n";
  }
  text +=
      "Restart=on-failure\n"
      "RestartSec=60\n"
      "# What the service writes is its own: 0755 folders, 0644 files.\n"
      "UMask=0022\n"
      "# It reads and writes the trees below its roots (under /home or /srv, say) and its data\n"
      "# folder below /var, nothing of the system's own, and needs no more privileges than it\n"
      "# starts with.\n"
      "ProtectSystem=full\n"
      "PrivateTmp=yes\n"
      "NoNewPrivileges=yes\n"
      "ProtectKernelTunables=yes\n"
      "ProtectKernelModules=yes\n"
      "ProtectKernelLogs=yes\n"
      "ProtectControlGroups=yes\n"
      "ProtectClock=yes\n"
      "ProtectHostname=yes\n"
      "RestrictRealtime=yes\n"
      "RestrictSUIDSGID=yes\n"
      "LockPersonality=yes\n"
      "MemoryDenyWriteExecute=yes\n"
      "SystemCallArchitectures=native\n"
      "# Root's powers over files, and nothing else: CAP_DAC_OVERRIDE to list and enter folders\n"
      "# only their owners may read (a 0700 home) and to write desktop.ini and the Windows\n"
      "# attributes (user.DOSATTRIB) in them, CAP_FOWNER to set back the last-write time of\n"
      "# folders it does not own, CAP_CHOWN to give the data folder and its files back to root\n"
      "# when another account owns them. Without CAP_SYS_PTRACE no other process's /proc entries\n"
      "# (its cwd, its root) lead anywhere. CAP_SYS_ADMIN and CAP_DAC_READ_SEARCH for the change\n"
      "# watch: one fanotify mark per file system that holds a root (fanotify_mark with\n"
      "# FAN_MARK_FILESYSTEM needs CAP_SYS_ADMIN) and the folders its events name opened by their\n"
      "# handles (open_by_handle_at needs CAP_DAC_READ_SEARCH). Without them the service watches\n"
      "# folder by folder with inotify, and without that it finds changes by its periodic "
      "rescans.\n"
      "CapabilityBoundingSet=CAP_DAC_OVERRIDE CAP_FOWNER CAP_CHOWN CAP_SYS_ADMIN "
      "CAP_DAC_READ_SEARCH\n"
      "# No devices, no namespaces, no mounts of its own, no network: the service reads and\n"
      "# writes files and talks to the journal through a local socket.\n"
      "PrivateDevices=yes\n"
      "PrivateMounts=yes\n"
      "RestrictNamespaces=yes\n"
      "RestrictAddressFamilies=AF_UNIX\n"
      "IPAddressDeny=any\n"
      "# The change watch's calls are privileged ones, which @system-service leaves out.\n"
      "SystemCallFilter=@system-service fanotify_init fanotify_mark open_by_handle_at\n"
      "SystemCallErrorNumber=EPERM\n"
      "# Other processes stay out of sight, and of /proc only the process entries remain.\n"
      "ProtectProc=invisible\n"
      "ProcSubset=pid\n"
      "# Left open on purpose: the homes (ProtectHome), writes outside /usr, /boot and /etc\n"
      "# (ProtectSystem=strict) and the real accounts (PrivateUsers), since an administrator may\n"
      "# list roots anywhere below /home, /srv or a mount of their own, owned by anybody.\n"
      "\n"
      "[Install]\n"
      "WantedBy=multi-user.target\n";
  return text;
}

Result<void> write_whole_file(const std::string& path, std::string_view content) {
  const std::string temporary = path + ".tmp";
  const int fd = ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd < 0) return last_os_error().wrap("Failed to write " + path);
  while (!content.empty()) {
    const ssize_t written = ::write(fd, content.data(), content.size());
    if (written < 0 && errno == EINTR) continue;
    if (written <= 0) {
      const Error error = last_os_error();
      ::close(fd);
      ::unlink(temporary.c_str());
      return error.wrap("Failed to write " + path);
    }
    content.remove_prefix(static_cast<std::size_t>(written));
  }
  ::close(fd);
  if (::rename(temporary.c_str(), path.c_str()) != 0) {
    const Error error = last_os_error();
    ::unlink(temporary.c_str());
    return error.wrap("Failed to write " + path);
  }
  return {};
}

Error not_installed(std::string_view name) {
  return os_error(ENOENT).wrap("The unit " + unit_file(name) + " does not exist");
}

// The unit holds the whole configuration, its confinement included.
Result<PrivilegeLimit> write_unit(const ServiceDefinition& definition) {
  if (auto written = write_whole_file(unit_file(definition.name), unit_text(definition));
      !written) {
    return std::move(written).error();
  }
  if (!systemd_runs()) return PrivilegeLimit::Applied;
  if (auto reloaded = systemctl({"daemon-reload"}, "Failed to reload systemd"); !reloaded) {
    return std::move(reloaded).error();
  }
  return PrivilegeLimit::Applied;
}

class SystemdServiceControl final : public ServiceControl {
 public:
  Result<PrivilegeLimit> install(const ServiceDefinition& definition) override {
    const std::string path = unit_file(definition.name);
    if (::access(path.c_str(), F_OK) == 0) {
      return Error("The unit " + path + " exists already").wrap("Failed to create the service");
    }
    Result<PrivilegeLimit> written = write_unit(definition);
    if (!written || !systemd_runs()) return written;
    if (auto enabled = systemctl({"enable", definition.name}, "Failed to enable the service");
        !enabled) {
      return std::move(enabled).error();
    }
    return written;
  }

  Result<PrivilegeLimit> configure(const ServiceDefinition& definition) override {
    Result<bool> present = installed(definition.name);
    if (!present) return std::move(present).error();
    if (!*present) return not_installed(definition.name);
    return write_unit(definition);
  }

  Result<bool> installed(std::string_view name) override {
    if (::access(unit_file(name).c_str(), F_OK) == 0) return true;
    if (errno == ENOENT || errno == ENOTDIR) return false;
    return last_os_error().wrap("Failed to look for the unit " + unit_file(name));
  }

  Result<ServiceState> state(std::string_view name) override {
    Result<bool> present = installed(name);
    if (!present) return std::move(present).error();
    if (!*present) return not_installed(name);
    if (!systemd_runs()) return ServiceState::Unknown;
    Result<posix::ProgramOutcome> outcome = run_systemctl({"is-active", std::string(name)});
    if (!outcome) return std::move(outcome).error().wrap("Failed to query the service's state");
    const std::string_view word = std::string_view(outcome->out).substr(0, outcome->out.find('\n'));
    if (word == "active" || word == "reloading") return ServiceState::Running;
    if (word == "inactive" || word == "failed") return ServiceState::Stopped;
    if (word == "activating") return ServiceState::StartPending;
    if (word == "deactivating") return ServiceState::StopPending;
    return ServiceState::Other;
  }

  Result<void> start(std::string_view name) override {
    if (!systemd_runs()) {
      return Error("systemd is not running on this machine").wrap("Failed to start the service");
    }
    return systemctl({"start", "--no-block", std::string(name)}, "Failed to start the service");
  }

  Result<StopRequest> stop(std::string_view name) override {
    Result<ServiceState> current = state(name);
    if (!current) return std::move(current).error();
    if (*current == ServiceState::Unknown) return StopRequest::NoServiceManager;
    if (*current == ServiceState::Stopped) return StopRequest::AlreadyStopped;
    if (auto stopped =
            systemctl({"stop", "--no-block", std::string(name)}, "Failed to send the stop control");
        !stopped) {
      return std::move(stopped).error();
    }
    return StopRequest::Sent;
  }

  Result<Path> program(std::string_view name) override {
    std::ifstream unit(unit_file(name));
    if (!unit) {
      Result<bool> present = installed(name);
      if (present && !*present) return not_installed(name);
      return Error("Failed to read the unit " + unit_file(name));
    }
    constexpr std::string_view kKey = "ExecStart=";
    for (std::string line; std::getline(unit, line);) {
      if (line.starts_with(kKey))
        return Path(unit_word_value(std::string_view(line).substr(kKey.size())));
    }
    return Error("The unit " + unit_file(name) + " has no ExecStart= line");
  }

  Result<void> remove(std::string_view name) override {
    const std::string path = unit_file(name);
    if (systemd_runs()) {
      if (auto disabled =
              systemctl({"disable", std::string(name)}, "Failed to disable the service");
          !disabled) {
        return disabled;
      }
    }
    if (::unlink(path.c_str()) != 0) {
      if (errno == ENOENT) return not_installed(name);
      return last_os_error().wrap("Failed to delete " + path);
    }
    if (!systemd_runs()) return {};
    return systemctl({"daemon-reload"}, "Failed to reload systemd");
  }
};

}  // namespace

ServiceControl& real_service_control() {
  static SystemdServiceControl control;
  return control;
}

namespace {

// The value of `name` in the unit's Environment= lines, which unit_word quoted: the last line
// that sets it wins, as in systemd.
std::optional<std::string> unit_environment_value(std::ifstream& unit, std::string_view name) {
  std::optional<std::string> value;
  constexpr std::string_view kKey = "Environment=";
  for (std::string line; std::getline(unit, line);) {
    if (!line.starts_with(kKey)) continue;
    const std::string assignment = unit_word_value(std::string_view(line).substr(kKey.size()));
    if (assignment.size() > name.size() && assignment.starts_with(name) &&
        assignment[name.size()] == '=') {
      value = assignment.substr(name.size() + 1);
    }
  }
  return value;
}

// What the manager passes every service it starts (PATH and the system's locale, say), as
// "NAME=value" lines.
std::optional<std::string> manager_environment_value(std::string_view name) {
  Result<posix::ProgramOutcome> outcome = run_systemctl({"show-environment"});
  if (!outcome || outcome->exit_code != 0) return std::nullopt;
  const std::string prefix = std::string(name) + "=";
  std::size_t start = 0;
  while (start < outcome->out.size()) {
    std::size_t end = outcome->out.find('\n', start);
    if (end == std::string::npos) end = outcome->out.size();
    const std::string_view line(outcome->out.data() + start, end - start);
    if (line.starts_with(prefix)) return std::string(line.substr(prefix.size()));
    start = end + 1;
  }
  return std::nullopt;
}

}  // namespace

// systemd starts the service with the manager's environment and the unit's Environment= lines,
// nothing of whoever asks. Where systemd does not run, whoever starts the service passes it
// their own environment, as this process has it; and before the unit exists, install writes
// the caller's own ProgramData into it.
EnvValue service_environment_variable(std::string_view name) {
  std::ifstream unit(unit_file(SERVICE_NAME));
  if (!systemd_runs() || !unit) return get_env(name);
  std::optional<std::string> value = unit_environment_value(unit, name);
  if (!value) value = manager_environment_value(name);
  if (!value) return {};
  if (!text::is_valid_utf8(*value)) return {EnvValue::State::NotUnicode, {}};
  return {EnvValue::State::Present, std::move(*value)};
}

}  // namespace tindral::platform
