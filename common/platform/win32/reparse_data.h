#pragma once

// Where a Windows link leads, read from the reparse data that FSCTL_GET_REPARSE_POINT returns
// for it: a symbolic link's or a junction's substitute name.

#include <cstdint>
#include <span>
#include <string>

namespace tindral::platform::win32 {

/// Where a link leads.
struct LinkTarget {
  /// A path, "C:\Photos" or "\\server\share\Photos", or one relative to the link's folder (a
  /// relative symbolic link's); empty when the link names no path.
  std::string path;
  /// The volume a mount point names instead of a path ("\??\Volume{GUID}\"); empty otherwise.
  std::wstring volume;
};

/// The target stored in a symbolic link's or mount point's reparse data; nothing for another
/// kind of reparse point or data cut short.
LinkTarget link_target(std::span<const std::uint8_t> reparse_data);

}  // namespace tindral::platform::win32
