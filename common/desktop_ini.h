#pragma once

#include <cstddef>
#include <string>
#include <string_view>

#include "error.h"
#include "platform/file_system.h"
#include "platform/path.h"

namespace tindral {

/// The file's name in every folder.
inline constexpr std::string_view kDesktopIniName = "desktop.ini";

/// The names under which the service writes a desktop.ini before it puts it in place (the first)
/// and sets its old one aside while it puts a new one in place where names cannot be swapped in
/// one step (the second). They begin with ".", so that a file left there never counts as content.
inline constexpr std::string_view kNewDesktopIniName = ".desktop.ini.tindral-new";
inline constexpr std::string_view kOldDesktopIniName = ".desktop.ini.tindral-old";

/// The largest desktop.ini the service reads. Its own is about a hundred bytes; anything over
/// this is somebody else's, and no read of a file that others control may grow without bound.
inline constexpr std::size_t kMaxDesktopIniBytes = 64 * 1024;

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

/// What the bytes of an existing desktop.ini make it to the service.
enum class DesktopIniKind {
  /// Not valid UTF-8, or no marker word: somebody else's, never changed.
  Foreign,
  /// Carries a marker but differs from `content`: the service's, to be rewritten or removed.
  Marked,
  /// `content` exactly, after any number of leading byte-order marks.
  UpToDate,
};

/// Classifies the bytes of an existing desktop.ini against the service's `content`.
DesktopIniKind classify_desktop_ini(std::string_view bytes, std::string_view content);

/// What a walk that has just listed a folder knows about the folder's desktop.ini.
enum class ListedDesktopIni {
  /// The listing held an entry that may be desktop.ini, broke off, or was not read.
  Unknown,
  /// The whole listing held no entry that may be desktop.ini.
  Absent,
};

/// True when a listing entry named `name` may be the file a folder's desktop.ini path opens:
/// "desktop.ini" in any ASCII letter case, and every name with a byte outside ASCII, because
/// file systems that ignore case fold some such letters onto ASCII ones (the long s onto S).
bool may_name_desktop_ini(std::string_view name);

/// Gives a folder with content the service's desktop.ini: true when a file was created or
/// rewritten. Only a plain file (not a link, device or folder, one name only, at most
/// kMaxDesktopIniBytes) that carries a marker is the service's to rewrite; anything else in its
/// place is foreign and left alone. The file is written whole and hidden under
/// kNewDesktopIniName and then put in place: a new one only where no file of that name exists,
/// so one that appears meanwhile is never overwritten, a rewritten one in the place of the very
/// file that was judged. So at every instant there is either no desktop.ini or a whole, hidden
/// one, and a write that fails leaves nothing behind. An up-to-date file that lost HIDDEN or
/// SYSTEM gets them back (not counted). The folder's last-write time stays as it was.
Result<bool> ensure_desktop_ini(platform::Folder& folder,
                                ListedDesktopIni listed = ListedDesktopIni::Unknown);

/// Removes the service's desktop.ini from a folder: true when a marked plain file was removed.
/// With `Absent` there is nothing to remove and the disk is not touched. The file's attributes
/// are never taken away first, so one that cannot be deleted stays hidden; the folder's
/// last-write time stays as it was.
Result<bool> remove_desktop_ini(platform::Folder& folder,
                                ListedDesktopIni listed = ListedDesktopIni::Unknown);

/// True for a listing entry that a write cut short may have left: kNewDesktopIniName or
/// kOldDesktopIniName.
bool is_desktop_ini_leftover_name(std::string_view name);

/// Removes the service's own files left under kNewDesktopIniName and kOldDesktopIniName by a
/// write that was cut short (a crash, a kill): only a plain file with one name, within
/// kMaxDesktopIniBytes, carrying HIDDEN and SYSTEM, whose bytes are the beginning of what the
/// service writes or a file of the service's own. Anything else of those names is left alone.
/// Failures are ignored; the folder's last-write time stays as it was.
void remove_desktop_ini_leftovers(platform::Folder& folder);

/// Sets or clears a folder's READONLY bit, keeping its last-write time; failures are ignored.
void set_folder_readonly(platform::Folder& folder);
void clear_folder_readonly(platform::Folder& folder);

}  // namespace tindral
