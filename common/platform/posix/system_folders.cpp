#include "platform/system_folders.h"

#include <array>

namespace tindral::platform {

namespace {

// The programs, libraries and configuration of the system, the kernel's and devices' views
// (/dev, /proc, /sys, /run) and the system's variable data. Nothing here holds a user's files;
// the service's own data folder below /var is let through by the protected-path rules.
constexpr std::array<std::string_view, 14> kSystemFolders = {
    "/bin",    "/boot", "/dev", "/etc",  "/lib", "/lib32", "/lib64",
    "/libx32", "/proc", "/run", "/sbin", "/sys", "/usr",   "/var",
};

}  // namespace

std::span<const std::string_view> protected_system_folders() { return kSystemFolders; }

}  // namespace tindral::platform
