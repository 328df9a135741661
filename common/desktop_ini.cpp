#include "desktop_ini.h"

#include <algorithm>
#include <memory>
#include <utility>

#include "config/data_folder.h"
#include "config/settings.h"
#include "text.h"

namespace tindral {

using platform::kAttrHidden;
using platform::kAttrReadonly;
using platform::kAttrSystem;

namespace {

// The service's own word comes first; the others are words it also treats as its own.
constexpr std::string_view kMarkerWords[] = {"Tindral", "Zorbenite", "Plimsotter", "Quarnel"};

// U+FEFF in UTF-8 and in the two byte orders of UTF-16.
constexpr std::string_view kByteOrderMark = "\xEF\xBB\xBF";
constexpr std::string_view kUtf16LeByteOrderMark = "\xFF\xFE";
constexpr std::string_view kUtf16BeByteOrderMark = "\xFE\xFF";

constexpr std::string_view kShellSectionName = ".ShellClassInfo";
constexpr std::string_view kIconKey = "IconResource";
constexpr std::string_view kGeneratedKey = "Generated";
constexpr std::string_view kGeneratedValue = "true";

std::string_view without_leading_byte_order_marks(std::string_view text) {
  while (text.starts_with(kByteOrderMark)) text.remove_prefix(kByteOrderMark.size());
  return text;
}

// Only the service's UTF-8 file may carry byte-order marks that an editor put before it (the
// shell reads the file the same); a UTF-16 file is up to date only as the service writes it.
bool is_up_to_date(std::string_view bytes, std::string_view content) {
  if (content.starts_with(kUtf16LeByteOrderMark)) return bytes == content;
  return without_leading_byte_order_marks(bytes) == content;
}

enum class Section { None, Shell, Marker };

std::optional<Section> section_named(std::string_view name) {
  if (text::ascii_iequals(name, kShellSectionName)) return Section::Shell;
  const bool marker =
      std::any_of(std::begin(kMarkerWords), std::end(kMarkerWords),
                  [name](std::string_view word) { return text::ascii_iequals(name, word); });
  return marker ? std::optional<Section>(Section::Marker) : std::nullopt;
}

// The IconResource value of a text that holds the service's keys and nothing else; nullopt as
// soon as anything else shows, even what the shell would ignore (a comment, a key repeated), so
// that whatever a user may have meant stays theirs.
std::optional<std::string_view> icon_of_service_keys_only(std::string_view text) {
  Section section = Section::None;
  bool shell_seen = false;
  bool marker_seen = false;
  bool generated = false;
  std::optional<std::string_view> icon;
  for (const std::string_view raw_line : text::split_lines(text)) {
    const std::string_view line = text::trim(raw_line);
    if (line.empty()) continue;
    if (line.size() >= 2 && line.front() == '[' && line.back() == ']') {
      const std::optional<Section> named = section_named(line.substr(1, line.size() - 2));
      if (!named) return std::nullopt;
      bool& seen = *named == Section::Shell ? shell_seen : marker_seen;
      if (seen) return std::nullopt;
      seen = true;
      section = *named;
      continue;
    }
    const std::size_t equals = line.find('=');
    if (equals == std::string_view::npos) return std::nullopt;
    const std::string_view key = text::trim(line.substr(0, equals));
    const std::string_view value = text::trim(line.substr(equals + 1));
    if (section == Section::Shell && !icon && text::ascii_iequals(key, kIconKey)) {
      icon = value;
    } else if (section == Section::Marker && !generated &&
               text::ascii_iequals(key, kGeneratedKey) &&
               text::ascii_iequals(value, kGeneratedValue)) {
      generated = true;
    } else {
      return std::nullopt;
    }
  }
  return generated ? icon : std::nullopt;
}

// The service has always named its data folder's icon as "<folder>\folder.ico,0", under every
// data folder it had, and the file-server set-up names a "folder.ico" on a share the same way;
// an icon a user picks through the shell's Change Icon is another file or another index
// (shell32.dll,4). So an icon file named folder.ico, in some folder, with index 0 is the
// service's wherever it is; every other icon but the one it names now is the user's choice.
bool is_old_service_icon(std::string_view icon_resource) {
  const std::size_t comma = icon_resource.rfind(',');
  if (comma == std::string_view::npos || text::trim(icon_resource.substr(comma + 1)) != "0") {
    return false;
  }
  const std::string_view path = text::trim(icon_resource.substr(0, comma));
  const std::size_t separator = path.find_last_of("\\/");
  return separator != std::string_view::npos &&
         text::ascii_iequals(path.substr(separator + 1), kIconFileName);
}

bool is_services_icon(std::string_view icon_resource, std::string_view content) {
  if (is_old_service_icon(icon_resource)) return true;
  const std::optional<std::string> own_text = desktop_ini_text(content);
  const std::optional<std::string_view> own_icon =
      own_text ? icon_of_service_keys_only(*own_text) : std::nullopt;
  // Windows paths ignore case.
  return own_icon && text::ascii_iequals(icon_resource, *own_icon);
}

/// A folder's existing desktop.ini as the service found it.
struct ExistingDesktopIni {
  bool present = false;
  DesktopIniKind kind = DesktopIniKind::Foreign;
  /// Open while the file may be the service's, so that every change reaches this very file.
  std::unique_ptr<platform::OpenFile> file;
};

// Only a plain file with one name can be the service's: a link or a second hard link would
// carry the service's changes to a file elsewhere, a device or FIFO has no content of its own,
// and a file over the cap was not written by the service.
bool may_be_own_file(platform::OpenFile& file) {
  Result<platform::OpenFileInfo> info = file.info();
  return info.ok() && info->regular && info->link_count == 1;
}

// Whatever cannot be opened as a plain file or read within the cap is foreign: the service
// cannot tell whether it carries a marker.
ExistingDesktopIni open_existing(platform::Folder& folder) {
  ExistingDesktopIni existing;
  Result<std::unique_ptr<platform::OpenFile>> opened = folder.open_file(kDesktopIniName);
  if (!opened) {
    existing.present = !opened.error().is_not_found();
    return existing;
  }
  existing.present = true;
  platform::OpenFile& file = **opened;
  if (!may_be_own_file(file)) return existing;
  // One byte past the cap tells a file over it from one that just fits.
  Result<std::string> bytes = file.read(kMaxDesktopIniBytes + 1);
  if (!bytes || bytes->size() > kMaxDesktopIniBytes) return existing;
  existing.kind = classify_desktop_ini(*bytes, desktop_ini_content());
  if (existing.kind == DesktopIniKind::Marked || existing.kind == DesktopIniKind::UpToDate) {
    existing.file = std::move(opened).value();
  }
  return existing;
}

// Writes the content into an empty file of the service's and hides it. A failed write leaves
// nothing behind: the file was new or carried a marker, so it is the service's to take away,
// and a cut-off file would count as foreign from then on.
Result<bool> fill_desktop_ini(platform::Folder& folder, platform::OpenFile& file,
                              std::string_view content) {
  if (auto written = file.write_all(content); !written) {
    static_cast<void>(file.remove());
    return written.error().wrap("Failed to write desktop.ini");
  }
  // Exactly HIDDEN | SYSTEM: the archive bit the write just set goes too.
  if (auto hidden = file.set_attributes(kAttrHidden | kAttrSystem); !hidden) {
    return hidden.error().wrap("Failed to set file attributes");
  }
  set_folder_readonly(folder);
  return true;
}

// Creates the file only where none exists, so that a desktop.ini somebody put there since the
// listing (the shell writes one when a user customises a folder) is never overwritten.
Result<bool> create_desktop_ini(platform::Folder& folder, std::string_view content) {
  Result<std::unique_ptr<platform::OpenFile>> created = folder.create_file(kDesktopIniName);
  if (!created) return created.error().wrap("Failed to create desktop.ini");
  return fill_desktop_ini(folder, **created, content);
}

Result<bool> rewrite_desktop_ini(platform::Folder& folder, platform::OpenFile& file,
                                 std::string_view content) {
  // Windows refuses to overwrite a hidden or system file by name; the rewrite goes through the
  // handle, but it starts from a plain file all the same, so a failure here changes nothing.
  static_cast<void>(clear_hidden_system(file));
  if (auto emptied = file.truncate(); !emptied) {
    return emptied.error().wrap("Failed to create desktop.ini");
  }
  return fill_desktop_ini(folder, file, content);
}

bool is_already_there(const Result<bool>& created) {
  return !created.ok() && created.error().kind() == ErrorKind::AlreadyExists;
}

// Versions that wrote desktop.ini in place left the beginning of their file behind when they were
// cut off mid-write (a crash, a kill at shutdown). The marker that beginning carries says whose
// it is; without the rest it cannot be a file the user shaped.
bool is_cut_off_content(std::string_view text, std::string_view content) {
  const std::optional<std::string> whole = desktop_ini_text(content);
  return whole && text.size() < whole->size() && std::string_view(*whole).starts_with(text);
}

}  // namespace

std::string build_desktop_ini_content(const Path& data_folder) {
  return build_desktop_ini_content_for_icon(data_folder_icon_path(data_folder));
}

std::string build_desktop_ini_content_for_icon(std::string_view icon_path) {
  std::string text =
      "[.ShellClassInfo]\r\n"
      "IconResource=" +
      std::string(icon_path) +
      ",0\r\n"
      "[Tindral]\r\n"
      "Generated=true\r\n";
  // The profile-string functions take an INI file as Unicode only when it is UTF-16LE after its
  // byte-order mark, and read any other in the ANSI code page, where a UTF-8 path names a file
  // that does not exist; an ASCII path reads the same either way and keeps its old bytes.
  if (text::is_ascii(icon_path)) return text;
  return std::string(kUtf16LeByteOrderMark) + text::utf8_to_utf16le(text);
}

const std::string& desktop_ini_content() {
  // Built on first use and never again, so that every file of one process names the same icon
  // even if the environment changes; the language makes the initialisation thread-safe.
  static const std::string content = build_desktop_ini_content_for_icon(
      configured_icon_path(platform::real_file_system(), data_folder()));
  return content;
}

bool is_marked(std::string_view text) {
  return std::any_of(std::begin(kMarkerWords), std::end(kMarkerWords),
                     [text](std::string_view word) { return text.find(word) != text.npos; });
}

std::optional<std::string> desktop_ini_text(std::string_view bytes) {
  std::optional<std::string> text;
  if (bytes.starts_with(kUtf16LeByteOrderMark)) {
    text = text::utf16_to_utf8(bytes.substr(kUtf16LeByteOrderMark.size()),
                               text::ByteOrder::LittleEndian);
  } else if (bytes.starts_with(kUtf16BeByteOrderMark)) {
    text =
        text::utf16_to_utf8(bytes.substr(kUtf16BeByteOrderMark.size()), text::ByteOrder::BigEndian);
  } else if (text::is_valid_utf8(bytes)) {
    text = std::string(bytes);
  }
  if (text) text->erase(0, text->size() - without_leading_byte_order_marks(*text).size());
  return text;
}

DesktopIniKind classify_desktop_ini(std::string_view bytes, std::string_view content) {
  if (is_up_to_date(bytes, content)) return DesktopIniKind::UpToDate;
  // Bytes that are not text cannot be searched for a marker, so they may be anybody's.
  const std::optional<std::string> text = desktop_ini_text(bytes);
  if (!text || !is_marked(*text)) return DesktopIniKind::Foreign;
  if (is_cut_off_content(*text, content)) return DesktopIniKind::Marked;
  const std::optional<std::string_view> icon = icon_of_service_keys_only(*text);
  return icon && is_services_icon(*icon, content) ? DesktopIniKind::Marked
                                                  : DesktopIniKind::Customised;
}

bool may_name_desktop_ini(std::string_view name) {
  return !text::is_ascii(name) || text::ascii_iequals(name, kDesktopIniName);
}

Result<bool> ensure_desktop_ini(platform::Folder& folder, ListedDesktopIni listed) {
  const std::string& content = desktop_ini_content();
  // The listing showed none: create it without looking first, unless one has appeared since.
  if (listed == ListedDesktopIni::Absent) {
    Result<bool> created = create_desktop_ini(folder, content);
    if (!is_already_there(created)) return created;
  }
  ExistingDesktopIni existing = open_existing(folder);
  if (!existing.present) {
    Result<bool> created = create_desktop_ini(folder, content);
    // Somebody else's file appeared between the look and the create: the next scan decides.
    return is_already_there(created) ? Result<bool>(false) : created;
  }
  switch (existing.kind) {
    case DesktopIniKind::Foreign:
    case DesktopIniKind::Customised:
      return false;
    case DesktopIniKind::UpToDate:
      // Only the folder's read-only bit, without which the shell ignores the file, may have
      // been taken away by a user.
      set_folder_readonly(folder);
      return false;
    case DesktopIniKind::Marked:
      break;
  }
  return rewrite_desktop_ini(folder, *existing.file, content);
}

Result<Removal> remove_desktop_ini(platform::Folder& folder, ListedDesktopIni listed) {
  if (listed == ListedDesktopIni::Absent) return Removal::NothingToRemove;
  ExistingDesktopIni existing = open_existing(folder);
  switch (existing.kind) {
    case DesktopIniKind::Foreign:
      return Removal::NothingToRemove;
    case DesktopIniKind::Customised:
      return Removal::KeptCustomised;
    case DesktopIniKind::Marked:
    case DesktopIniKind::UpToDate:
      break;
  }

  if (auto cleared = clear_hidden_system(*existing.file); !cleared) {
    return std::move(cleared).error();
  }
  if (auto deleted = existing.file->remove(); !deleted) {
    return deleted.error().wrap("Failed to remove desktop.ini");
  }
  clear_folder_readonly(folder);
  return Removal::Removed;
}

Result<void> clear_hidden_system(platform::OpenFile& file) {
  auto attributes = file.attributes();
  if (!attributes) return {};
  if (auto set = file.set_attributes(*attributes & ~(kAttrHidden | kAttrSystem)); !set) {
    return set.error().wrap("Failed to clear file attributes");
  }
  return {};
}

void set_folder_readonly(platform::Folder& folder) {
  auto attributes = folder.attributes();
  if (!attributes || (*attributes & kAttrReadonly) != 0) return;
  static_cast<void>(folder.set_attributes(*attributes | kAttrReadonly));
}

void clear_folder_readonly(platform::Folder& folder) {
  auto attributes = folder.attributes();
  if (!attributes || (*attributes & kAttrReadonly) == 0) return;
  static_cast<void>(folder.set_attributes(*attributes & ~kAttrReadonly));
}

}  // namespace tindral
