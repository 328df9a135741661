#include "entry_rules.h"

#include <string_view>

#include "desktop_ini.h"
#include "text.h"

namespace tindral {

namespace {

constexpr std::string_view kGitFolderName = ".git";
constexpr std::string_view kGitMarkNames[] = {"HEAD", "objects", "refs"};

// The entry a listing would show for what a lookup found, so that both are judged by one rule.
platform::DirEntry entry_of(std::string_view name, platform::FolderStep::Kind kind) {
  platform::DirEntry entry{std::string(name)};
  if (kind == platform::FolderStep::Kind::Folder) {
    entry.attributes = platform::kAttrDirectory;
  } else if (kind == platform::FolderStep::Kind::Link) {
    entry.attributes = platform::kAttrDirectory | platform::kAttrReparsePoint;
    entry.reparse_tag = platform::kReparseTagSymlink;
  } else {
    entry.attributes = platform::kAttrArchive;
  }
  return entry;
}

}  // namespace

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

bool is_git_folder_name(std::string_view name) { return text::ascii_iequals(name, kGitFolderName); }

std::uint8_t git_mark_of(const platform::DirEntry& entry) {
  const bool folder_or_link = is_subfolder_entry(entry) || is_link_entry(entry);
  if (folder_or_link && text::ascii_iequals(entry.name, "objects")) return kGitObjects;
  if (folder_or_link && text::ascii_iequals(entry.name, "refs")) return kGitRefs;
  if (!is_subfolder_entry(entry) && text::ascii_iequals(entry.name, "HEAD")) return kGitHead;
  return 0;
}

bool is_bare_repository(platform::Folder& folder) {
  std::uint8_t marks = 0;
  for (const std::string_view name : kGitMarkNames) {
    Result<platform::FolderStep> step = folder.open_step(name);
    if (!step) {
      if (step.error().is_not_found()) return false;
      return true;
    }
    marks |= git_mark_of(entry_of(name, step->kind));
  }
  return marks == kBareRepository;
}

}  // namespace tindral
