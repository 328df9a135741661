#pragma once

#include <optional>

#include "desktop_ini.h"
#include "platform/file_system.h"
#include "platform/path.h"

namespace tindral {

/// Reads a folder's listing to its end and closes it, handing every entry to `visit` (which may
/// take the entry's name), so that a walk holds one listing open at a time however deep it goes.
/// Returns what the listing tells about the folder's desktop.ini: Unknown once an entry may name
/// it, or when the listing broke off (the entries not read may include it; those read stand).
/// Nothing when the listing cannot be opened.
template <class Visit>
std::optional<ListedDesktopIni> read_listing_entries(platform::FileSystem& fs, const Path& folder,
                                                     Visit visit) {
  auto listing = fs.open_listing(folder);
  if (!listing) return std::nullopt;
  ListedDesktopIni desktop_ini = ListedDesktopIni::Absent;
  platform::DirEntry entry;
  Result<bool> more = (*listing)->next(entry);
  for (; more && *more; more = (*listing)->next(entry)) {
    if (may_name_desktop_ini(entry.name)) desktop_ini = ListedDesktopIni::Unknown;
    visit(entry);
  }
  if (!more) desktop_ini = ListedDesktopIni::Unknown;
  return desktop_ini;
}

}  // namespace tindral
