#pragma once

#include <cstddef>
#include <optional>
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

/// The bytes of the service's desktop.ini for an icon in `data_folder` (see
/// build_desktop_ini_content_for_icon).
std::string build_desktop_ini_content(const Path& data_folder);

/// The bytes of the service's desktop.ini for an icon at `icon_path`, as the shell that reads
/// desktop.ini reaches it: four CR LF lines, no byte-order mark, when the path is ASCII;
/// otherwise the same text in UTF-16LE after its byte-order mark, the only form in which the
/// shell's INI reader takes characters outside ASCII as Unicode rather than in the ANSI code page.
std::string build_desktop_ini_content_for_icon(std::string_view icon_path);

/// The bytes for configured_icon_path() of data_folder() as they are at the first call (the
/// icon setting of settings.txt, or folder.ico in the data folder); the same bytes for the rest
/// of the process.
const std::string& desktop_ini_content();

/// True when `text` contains one of the marker words (case-sensitive, anywhere).
bool is_marked(std::string_view text);

/// The text of a desktop.ini's bytes, in UTF-8: UTF-16 (little- or big-endian) after its
/// byte-order mark, or else UTF-8; leading U+FEFF characters dropped either way. nullopt when the
/// bytes are neither (an odd length or an unpaired surrogate after a UTF-16 byte-order mark).
std::optional<std::string> desktop_ini_text(std::string_view bytes);

/// What the bytes of an existing desktop.ini make it to the service.
enum class DesktopIniKind {
  /// Not text (see desktop_ini_text), or no marker word: somebody else's, never changed.
  Foreign,
  /// Carries a marker and anything the service does not write: other keys or sections (the
  /// shell's Customize tab adds them and keeps the marker section), an icon other than the
  /// service's, or not all of the service's keys. The user's: never rewritten or removed, and
  /// its folder counts as holding content.
  Customised,
  /// The service's keys and nothing else, naming the service's icon (see classify_desktop_ini),
  /// but not `content` byte for byte: the service's, to be rewritten or removed.
  Marked,
  /// `content` exactly; a UTF-8 `content` also after any number of leading byte-order marks.
  UpToDate,
};

/// Classifies the bytes of an existing desktop.ini against the service's `content`. The
/// service's keys are "IconResource" in "[.ShellClassInfo]" and "Generated=true" in a section
/// named by a marker word, each once, in either order; names match in any letter case, and blank
/// lines, white space around lines and around "=", and LF line ends are what INI writers leave.
/// The icon is the service's when it equals `content`'s or names a file "folder.ico" in some
/// folder with index 0, as the service has always written for its data folder's icon; any other
/// icon is one a user picked.
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
/// kMaxDesktopIniBytes) of the kind Marked is the service's to rewrite; anything else in its
/// place, a customised file included, is left alone. The file is written whole and hidden under
/// kNewDesktopIniName and then put in place: a new one only where no file of that name exists,
/// so one that appears meanwhile is never overwritten, a rewritten one in the place of the very
/// file that was judged. So at every instant there is either no desktop.ini or a whole, hidden
/// one, and a write that fails leaves nothing behind. An up-to-date file that lost HIDDEN or
/// SYSTEM gets them back (not counted). The folder's last-write time stays as it was.
Result<bool> ensure_desktop_ini(platform::Folder& folder,
                                ListedDesktopIni listed = ListedDesktopIni::Unknown);

/// What the folder's desktop.ini is to the service, judged as ensure_desktop_ini judges it;
/// nothing when the folder has none. Changes nothing.
std::optional<DesktopIniKind> desktop_ini_kind(platform::Folder& folder);

/// A folder's desktop.ini as ensure_desktop_ini and remove_desktop_ini judge it.
struct FoundDesktopIni {
  /// Something has the name.
  bool present = false;
  /// It is there but could not be opened or read (access denied, an I/O error), so nobody can
  /// tell whose it is; its kind is Foreign, as the service treats it.
  bool unreadable = false;
  DesktopIniKind kind = DesktopIniKind::Foreign;
};

/// Judges a folder's desktop.ini without changing anything, for reports of which folders carry
/// the service's file.
FoundDesktopIni find_desktop_ini(platform::Folder& folder);

/// What remove_desktop_ini did with a folder's desktop.ini.
enum class Removal {
  /// Nothing of the service's was there: no file, a foreign one, or one that cannot be judged.
  NothingToRemove,
  /// The service's file was removed.
  Removed,
  /// A file the user customised was kept: the folder keeps the icon the user chose, so it
  /// counts as holding content.
  KeptCustomised,
};

/// Removes the service's desktop.ini (Marked or UpToDate, and a plain file) from a folder. With
/// `Absent` there is nothing to remove and the disk is not touched. The file's attributes are
/// never taken away first, so one that cannot be deleted stays hidden; the folder's last-write
/// time stays as it was.
Result<Removal> remove_desktop_ini(platform::Folder& folder,
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
