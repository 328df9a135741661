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

// U+FEFF in UTF-8.
constexpr std::string_view kByteOrderMark = "\xEF\xBB\xBF";

std::string_view without_leading_byte_order_marks(std::string_view text) {
  while (text.starts_with(kByteOrderMark)) text.remove_prefix(kByteOrderMark.size());
  return text;
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
  if (existing.kind != DesktopIniKind::Foreign) existing.file = std::move(opened).value();
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

}  // namespace

std::string build_desktop_ini_content(const Path& data_folder) {
  return build_desktop_ini_content_for_icon(data_folder_icon_path(data_folder));
}

std::string build_desktop_ini_content_for_icon(std::string_view icon_path) {
  return "[.ShellClassInfo]\r\n"
         "IconResource=" +
         std::string(icon_path) +
         ",0\r\n"
         "[Tindral]\r\n"
         "Generated=true\r\n";
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

DesktopIniKind classify_desktop_ini(std::string_view bytes, std::string_view content) {
  // A file that is not UTF-8 (one saved as UTF-16, say) cannot be searched for a marker, so it
  // may be anybody's.
  if (!text::is_valid_utf8(bytes)) return DesktopIniKind::Foreign;
  const std::string_view text = without_leading_byte_order_marks(bytes);
  if (text == content) return DesktopIniKind::UpToDate;
  return is_marked(text) ? DesktopIniKind::Marked : DesktopIniKind::Foreign;
}

bool may_name_desktop_ini(std::string_view name) {
  const bool ascii = std::all_of(name.begin(), name.end(),
                                 [](char c) { return static_cast<unsigned char>(c) < 0x80; });
  return !ascii || text::ascii_iequals(name, kDesktopIniName);
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

Result<bool> remove_desktop_ini(platform::Folder& folder, ListedDesktopIni listed) {
  if (listed == ListedDesktopIni::Absent) return false;
  ExistingDesktopIni existing = open_existing(folder);
  if (existing.kind == DesktopIniKind::Foreign) return false;

  if (auto cleared = clear_hidden_system(*existing.file); !cleared) {
    return std::move(cleared).error();
  }
  if (auto deleted = existing.file->remove(); !deleted) {
    return deleted.error().wrap("Failed to remove desktop.ini");
  }
  clear_folder_readonly(folder);
  return true;
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
