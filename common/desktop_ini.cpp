#include "desktop_ini.h"

#include <algorithm>
#include <memory>
#include <optional>
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
  /// Something has the name but could not be opened or read.
  bool unreadable = false;
  DesktopIniKind kind = DesktopIniKind::Foreign;
  /// Open while the file may be the service's, so that every change reaches this very file.
  std::unique_ptr<platform::OpenFile> file;
};

/// Keeps a folder's last-write time across the changes the service makes in it, so that "Date
/// modified" views, backups and sync tools see no change that the user did not make: the time
/// is read right before the first change and, where it has moved, set back through the folder's
/// handle at the end. Declared before the files it covers, so that they are closed first
/// (Windows may delete a file only as its last handle closes).
class KeptFolderDate {
 public:
  explicit KeptFolderDate(platform::Folder& folder) : folder_(folder) {}
  ~KeptFolderDate() {
    if (!before_) return;
    Result<platform::FileTime> now = folder_.last_write_time();
    if (now && *now == *before_) return;
    static_cast<void>(folder_.set_last_write_time(*before_));
  }
  KeptFolderDate(const KeptFolderDate&) = delete;
  KeptFolderDate& operator=(const KeptFolderDate&) = delete;

  void before_change() {
    if (read_) return;
    read_ = true;
    Result<platform::FileTime> time = folder_.last_write_time();
    if (time) before_ = *time;
  }

 private:
  platform::Folder& folder_;
  bool read_ = false;
  std::optional<platform::FileTime> before_;
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
    existing.unreadable = existing.present && opened.error().kind() != ErrorKind::WrongType;
    return existing;
  }
  existing.present = true;
  platform::OpenFile& file = **opened;
  if (!may_be_own_file(file)) return existing;
  // One byte past the cap tells a file over it from one that just fits.
  Result<std::string> bytes = file.read(kMaxDesktopIniBytes + 1);
  existing.unreadable = !bytes;
  if (!bytes || bytes->size() > kMaxDesktopIniBytes) return existing;
  existing.kind = classify_desktop_ini(*bytes, desktop_ini_content());
  if (existing.kind == DesktopIniKind::Marked || existing.kind == DesktopIniKind::UpToDate) {
    existing.file = std::move(opened).value();
  }
  return existing;
}

constexpr std::uint32_t kHiddenSystem = kAttrHidden | kAttrSystem;

bool is_hidden_system(std::uint32_t attributes) {
  return (attributes & kHiddenSystem) == kHiddenSystem;
}

// HIDDEN and SYSTEM keep the file out of sight and make the shell read it; a user or a copy
// may have taken them away. READONLY stays as it is.
void hide(platform::OpenFile& file) {
  Result<std::uint32_t> attributes = file.attributes();
  if (!attributes || is_hidden_system(*attributes)) return;
  static_cast<void>(file.set_attributes((*attributes & kAttrReadonly) | kHiddenSystem));
}

void set_folder_readonly(platform::Folder& folder, KeptFolderDate& date) {
  auto attributes = folder.attributes();
  if (!attributes || (*attributes & kAttrReadonly) != 0) return;
  date.before_change();
  static_cast<void>(folder.set_attributes(*attributes | kAttrReadonly));
}

void clear_folder_readonly(platform::Folder& folder, KeptFolderDate& date) {
  auto attributes = folder.attributes();
  if (!attributes || (*attributes & kAttrReadonly) == 0) return;
  date.before_change();
  static_cast<void>(folder.set_attributes(*attributes & ~kAttrReadonly));
}

// Writes the content into a new file that is hidden from the instant it has a name, under the
// name kept for it, which the content rule ignores. A file that cannot be written whole and
// hidden is taken away again.
Result<std::unique_ptr<platform::OpenFile>> write_new_file(platform::Folder& folder,
                                                           KeptFolderDate& date,
                                                           std::string_view content) {
  date.before_change();
  Result<std::unique_ptr<platform::OpenFile>> created =
      folder.create_file_with_attributes(kNewDesktopIniName, kHiddenSystem);
  if (!created) return created.error().wrap("Failed to create desktop.ini");
  platform::OpenFile& file = **created;
  if (auto written = file.write_all(content); !written) {
    static_cast<void>(file.remove());
    return written.error().wrap("Failed to write desktop.ini");
  }
  // Exactly HIDDEN | SYSTEM: the archive bit that creating and writing set on Windows goes.
  if (Result<std::uint32_t> attributes = file.attributes();
      !attributes || *attributes != kHiddenSystem) {
    if (auto hidden = file.set_attributes(kHiddenSystem); !hidden) {
      static_cast<void>(file.remove());
      return hidden.error().wrap("Failed to set file attributes");
    }
  }
  return created;
}

enum class Placed { Written, NameTaken };

// Puts the new file in place only where no file of the name exists, so that a desktop.ini that
// somebody put there since the listing (the shell writes one when a user customises a folder)
// is never overwritten.
Result<Placed> place_new_desktop_ini(platform::Folder& folder, KeptFolderDate& date,
                                     std::string_view content) {
  Result<std::unique_ptr<platform::OpenFile>> file = write_new_file(folder, date, content);
  if (!file) return std::move(file).error();
  if (auto placed = (*file)->rename_to(kDesktopIniName); !placed) {
    static_cast<void>((*file)->remove());
    if (placed.error().kind() == ErrorKind::AlreadyExists) return Placed::NameTaken;
    return placed.error().wrap("Failed to create desktop.ini");
  }
  set_folder_readonly(folder, date);
  return Placed::Written;
}

// The new file takes the place of the very file that was judged, and only while the name still
// holds it; the old one is then taken away. It is hidden first, so that a crash before it is
// gone leaves it recognisable as the service's leftover.
Result<bool> rewrite_desktop_ini(platform::Folder& folder, KeptFolderDate& date,
                                 platform::OpenFile& judged, std::string_view content) {
  hide(judged);
  Result<std::unique_ptr<platform::OpenFile>> file = write_new_file(folder, date, content);
  if (!file) return std::move(file).error();
  if (auto taken = (*file)->take_place_of(judged, kOldDesktopIniName); !taken) {
    static_cast<void>((*file)->remove());
    // Another file has the name by now: the next scan decides about it.
    if (taken.error().kind() == ErrorKind::WrongType) return false;
    return taken.error().wrap("Failed to create desktop.ini");
  }
  // One that cannot be removed now is a leftover that the next walk takes away.
  static_cast<void>(judged.remove());
  set_folder_readonly(folder, date);
  return true;
}

// A user's file must never go: only what a cut-off write of the service's own can have left,
// its new file (hidden before anything is written, then the beginning of the content) or its
// old one set aside (a file of the service's that was hidden before it was moved). An empty
// file that is not hidden may be a new one that a kill met right after its creation; it holds
// nothing to lose.
bool is_own_leftover(platform::OpenFile& file) {
  if (!may_be_own_file(file)) return false;
  Result<std::uint32_t> attributes = file.attributes();
  if (!attributes) return false;
  Result<std::string> bytes = file.read(kMaxDesktopIniBytes + 1);
  if (!bytes || bytes->size() > kMaxDesktopIniBytes) return false;
  if (bytes->empty()) return true;
  if (!is_hidden_system(*attributes)) return false;
  const std::string& content = desktop_ini_content();
  if (content.starts_with(*bytes)) return true;
  const DesktopIniKind kind = classify_desktop_ini(*bytes, content);
  return kind == DesktopIniKind::Marked || kind == DesktopIniKind::UpToDate;
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
  KeptFolderDate date(folder);
  // The listing showed none: create it without looking first, unless one has appeared since.
  if (listed == ListedDesktopIni::Absent) {
    Result<Placed> placed = place_new_desktop_ini(folder, date, content);
    if (!placed) return std::move(placed).error();
    if (*placed == Placed::Written) return true;
  }
  ExistingDesktopIni existing = open_existing(folder);
  if (!existing.present) {
    Result<Placed> placed = place_new_desktop_ini(folder, date, content);
    if (!placed) return std::move(placed).error();
    // Somebody else's file appeared between the look and the create: the next scan decides.
    return *placed == Placed::Written;
  }
  switch (existing.kind) {
    case DesktopIniKind::Foreign:
    case DesktopIniKind::Customised:
      return false;
    case DesktopIniKind::UpToDate:
      // Only its attributes, and the folder's read-only bit without which the shell ignores the
      // file, may have been taken away by a user.
      hide(*existing.file);
      set_folder_readonly(folder, date);
      return false;
    case DesktopIniKind::Marked:
      break;
  }
  return rewrite_desktop_ini(folder, date, *existing.file, content);
}

std::optional<DesktopIniKind> desktop_ini_kind(platform::Folder& folder) {
  const ExistingDesktopIni existing = open_existing(folder);
  if (!existing.present) return std::nullopt;
  return existing.kind;
}

FoundDesktopIni find_desktop_ini(platform::Folder& folder) {
  const ExistingDesktopIni existing = open_existing(folder);
  return {existing.present, existing.unreadable, existing.kind};
}

Result<Removal> remove_desktop_ini(platform::Folder& folder, ListedDesktopIni listed) {
  if (listed == ListedDesktopIni::Absent) return Removal::NothingToRemove;
  KeptFolderDate date(folder);
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

  // Deleting ignores HIDDEN and SYSTEM (and the platform gets past READONLY), so nothing is
  // taken away first that would leave the file in sight when the deletion fails.
  date.before_change();
  if (auto deleted = existing.file->remove(); !deleted) {
    return deleted.error().wrap("Failed to remove desktop.ini");
  }
  clear_folder_readonly(folder, date);
  return Removal::Removed;
}

bool is_desktop_ini_leftover_name(std::string_view name) {
  return name == kNewDesktopIniName || name == kOldDesktopIniName;
}

void remove_desktop_ini_leftovers(platform::Folder& folder) {
  KeptFolderDate date(folder);
  for (const std::string_view name : {kNewDesktopIniName, kOldDesktopIniName}) {
    Result<std::unique_ptr<platform::OpenFile>> opened = folder.open_file(name);
    if (!opened || !is_own_leftover(**opened)) continue;
    date.before_change();
    static_cast<void>((*opened)->remove());
  }
}

void set_folder_readonly(platform::Folder& folder) {
  KeptFolderDate date(folder);
  set_folder_readonly(folder, date);
}

void clear_folder_readonly(platform::Folder& folder) {
  KeptFolderDate date(folder);
  clear_folder_readonly(folder, date);
}

}  // namespace tindral
