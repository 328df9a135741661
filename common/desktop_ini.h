#pragma once

#include <string>
#include <string_view>

#include "error.h"
#include "platform/file_system.h"
#include "platform/path.h"

namespace tindral {

/// The content of the service's desktop.ini for an icon in `data_folder`: four CR LF lines,
/// no byte-order mark.
std::string build_desktop_ini_content(const Path& data_folder);

/// The content for an icon at `icon_path`, as the shell that reads desktop.ini reaches it.
std::string build_desktop_ini_content_for_icon(std::string_view icon_path);

/// The content for configured_icon_path() of data_folder() as they are at the first call (the
/// icon setting of settings.txt, or folder.ico in the data folder); the same text for the rest
/// of the process.
const std::string& desktop_ini_content();

/// True when `text` contains one of the marker words (case-sensitive, anywhere).
bool is_marked(std::string_view text);

/// What a walk that has just listed a folder knows about the folder's desktop.ini.
enum class ListedDesktopIni {
  /// The listing held an entry that may be desktop.ini, broke off, or was not read.
  Unknown,
  /// The whole listing held no entry that may be desktop.ini: there is no file to open.
  Absent,
};

/// True when a listing entry named `name` may be the file a folder's desktop.ini path opens:
/// "desktop.ini" in any ASCII letter case, and every name with a byte outside ASCII, because
/// file systems that ignore case fold some such letters onto ASCII ones (the long s onto S).
bool may_name_desktop_ini(std::string_view name);

/// Gives a folder with content the service's desktop.ini: true when a file was created or
/// rewritten. A desktop.ini without a marker, or one that cannot be read as UTF-8, is foreign
/// and left alone. With `Absent` the file is written without first trying to read it.
Result<bool> ensure_desktop_ini(platform::FileSystem& fs, const Path& folder,
                                ListedDesktopIni listed = ListedDesktopIni::Unknown);

/// Removes the service's desktop.ini from a folder: true when a marked file was removed. With
/// `Absent` there is nothing to remove and the disk is not touched.
Result<bool> remove_desktop_ini(platform::FileSystem& fs, const Path& folder,
                                ListedDesktopIni listed = ListedDesktopIni::Unknown);

/// Clears HIDDEN and SYSTEM of a file, keeping its other bits; a missing file is fine.
Result<void> clear_hidden_system(platform::FileSystem& fs, const Path& file);

/// Sets or clears a folder's READONLY bit; failures are ignored.
void set_folder_readonly(platform::FileSystem& fs, const Path& folder);
void clear_folder_readonly(platform::FileSystem& fs, const Path& folder);

}  // namespace tindral
