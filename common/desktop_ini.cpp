#include "desktop_ini.h"

#include <algorithm>

#include "config/data_folder.h"
#include "config/settings.h"
#include "text.h"

namespace tindral {

using platform::kAttrHidden;
using platform::kAttrReadonly;
using platform::kAttrSystem;

namespace {

constexpr std::string_view kDesktopIniName = "desktop.ini";

// The service's own word comes first; the others are words it also treats as its own.
constexpr std::string_view kMarkerWords[] = {"Tindral", "Zorbenite", "Plimsotter", "Quarnel"};

// U+FEFF in UTF-8.
constexpr std::string_view kByteOrderMark = "\xEF\xBB\xBF";

std::string_view without_leading_byte_order_marks(std::string_view text) {
  while (text.starts_with(kByteOrderMark)) text.remove_prefix(kByteOrderMark.size());
  return text;
}

// A desktop.ini counts as the service's only when its text can be searched for a marker: a
// file that cannot be read or is not UTF-8 (one saved as UTF-16, say) may be anybody's.
bool readable_as_text(const Result<std::string>& read) {
  return read.ok() && text::is_valid_utf8(read.value());
}

Result<bool> write_desktop_ini(platform::FileSystem& fs, const Path& folder, const Path& file,
                               std::string_view content) {
  {
    auto opened = fs.create_or_truncate(file);
    if (!opened) return opened.error().wrap("Failed to create desktop.ini");
    // Leaving the block closes the file, whatever was written staying as it is.
    if (auto written = opened.value()->write_all(content); !written) {
      return written.error().wrap("Failed to write desktop.ini");
    }
  }
  // Exactly HIDDEN | SYSTEM: the archive bit the write just set goes too.
  if (auto hidden = fs.set_attributes(file, kAttrHidden | kAttrSystem); !hidden) {
    return hidden.error().wrap("Failed to set file attributes");
  }
  set_folder_readonly(fs, folder);
  return true;
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

bool may_name_desktop_ini(std::string_view name) {
  const bool ascii = std::all_of(name.begin(), name.end(),
                                 [](char c) { return static_cast<unsigned char>(c) < 0x80; });
  return !ascii || text::ascii_iequals(name, kDesktopIniName);
}

Result<bool> ensure_desktop_ini(platform::FileSystem& fs, const Path& folder,
                                ListedDesktopIni listed) {
  const Path file = folder.child(kDesktopIniName);
  const std::string& content = desktop_ini_content();
  // What a read would find: nothing there.
  if (listed == ListedDesktopIni::Absent) return write_desktop_ini(fs, folder, file, content);

  Result<std::string> existing = fs.read_file(file);
  if (existing.ok()) {
    if (!readable_as_text(existing)) return false;
    const std::string_view text = without_leading_byte_order_marks(existing.value());
    if (text == content) {
      // Up to date; only the folder's read-only bit, without which the shell ignores the file,
      // may have been taken away by a user.
      set_folder_readonly(fs, folder);
      return false;
    }
    if (!is_marked(text)) return false;
    // The rewrite starts from a plain file; the create below copes with a hidden or system
    // file anyway, so a failure here is not an error of its own.
    (void)clear_hidden_system(fs, file);
  } else if (!existing.error().is_not_found()) {
    return false;
  }
  return write_desktop_ini(fs, folder, file, content);
}

Result<bool> remove_desktop_ini(platform::FileSystem& fs, const Path& folder,
                                ListedDesktopIni listed) {
  if (listed == ListedDesktopIni::Absent) return false;
  const Path file = folder.child(kDesktopIniName);
  Result<std::string> existing = fs.read_file(file);
  if (!readable_as_text(existing) || !is_marked(existing.value())) return false;

  if (auto cleared = clear_hidden_system(fs, file); !cleared) return std::move(cleared).error();
  if (auto deleted = fs.delete_file(file); !deleted) {
    return deleted.error().wrap("Failed to remove desktop.ini");
  }
  clear_folder_readonly(fs, folder);
  return true;
}

Result<void> clear_hidden_system(platform::FileSystem& fs, const Path& file) {
  auto attributes = fs.get_attributes(file);
  if (!attributes) return {};
  if (auto set = fs.set_attributes(file, *attributes & ~(kAttrHidden | kAttrSystem)); !set) {
    return set.error().wrap("Failed to clear file attributes");
  }
  return {};
}

void set_folder_readonly(platform::FileSystem& fs, const Path& folder) {
  auto attributes = fs.get_attributes(folder);
  if (!attributes || (*attributes & kAttrReadonly) != 0) return;
  (void)fs.set_attributes(folder, *attributes | kAttrReadonly);
}

void clear_folder_readonly(platform::FileSystem& fs, const Path& folder) {
  auto attributes = fs.get_attributes(folder);
  if (!attributes || (*attributes & kAttrReadonly) == 0) return;
  (void)fs.set_attributes(folder, *attributes & ~kAttrReadonly);
}

}  // namespace tindral
