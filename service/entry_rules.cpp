#include "entry_rules.h"

#include "desktop_ini.h"
#include "text.h"

namespace tindral {

bool is_link_entry(const platform::DirEntry& entry) {
  return (entry.attributes & platform::kAttrReparsePoint) != 0 &&
         (entry.reparse_tag & platform::kReparseTagNameSurrogate) != 0;
}

bool is_subfolder_entry(const platform::DirEntry& entry) {
  return !is_link_entry(entry) && (entry.attributes & platform::kAttrDirectory) != 0;
}

bool is_content_file(const platform::DirEntry& entry) {
  if (is_link_entry(entry) || is_subfolder_entry(entry)) return false;
  if (entry.name.starts_with('.')) return false;
  return !text::ascii_iequals(entry.name, kDesktopIniName);
}

bool is_system_folder(std::uint32_t attributes) {
  constexpr std::uint32_t kHiddenSystem = platform::kAttrHidden | platform::kAttrSystem;
  return (attributes & kHiddenSystem) == kHiddenSystem;
}

bool is_encrypted_folder(std::uint32_t attributes) {
  return (attributes & platform::kAttrEncrypted) != 0;
}

}  // namespace tindral
