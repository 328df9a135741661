#include "protected_paths.h"

#include "platform/environment.h"
#include "text.h"

namespace tindral {

namespace {

// The data folder's name in lower case: the service's own folder below the program-data folder
// is the one place there that the walks may decorate.
constexpr std::string_view kDataFolderWord = "tindral";

std::string lowered_variable(std::string_view name) {
  const platform::EnvValue value = platform::get_env(name);
  return value.present() ? text::to_lower(value.value) : std::string();
}

// Full Unicode lower-casing, taking a shortcut for ASCII text (nearly every path), where it comes
// down to A-Z: a walk deep down a tree lower-cases the whole path of every folder it meets.
std::string lowered(std::string_view text) {
  std::string out(text);
  char* const end = out.data() + out.size();
  for (char* c = out.data(); c != end; ++c) {
    if (static_cast<unsigned char>(*c) >= 0x80) return text::to_lower(text);
    if (*c >= 'A' && *c <= 'Z') *c = static_cast<char>(*c - 'A' + 'a');
  }
  return out;
}

// An empty prefix stands for an unset variable and matches nothing.
bool starts_with_dir(std::string_view text, std::string_view dir) {
  return !dir.empty() && text.starts_with(dir);
}

// Whether the separator followed by `word` occurs in `text`. Looking for the word and then back
// one byte finds the same places as looking for the separator and the word together, but stops
// far less often: in a long path separators are everywhere.
bool contains_after_separator(std::string_view text, char separator, std::string_view word) {
  for (std::size_t at = text.find(word, 1); at != text.npos; at = text.find(word, at + 1)) {
    if (text[at - 1] == separator) return true;
  }
  return false;
}

bool contains_folder(std::string_view text, char separator, std::string_view name) {
  return contains_after_separator(text, separator, std::string(name) + separator);
}

const ProtectedDirs& process_protected_dirs() {
  // Read once per process; the language makes the initialisation thread-safe.
  static const ProtectedDirs dirs = protected_dirs_from_environment();
  return dirs;
}

}  // namespace

ProtectedDirs protected_dirs_from_environment() {
  return ProtectedDirs{
      lowered_variable("SystemRoot"),
      lowered_variable("ProgramFiles"),
      lowered_variable("ProgramFiles(x86)"),
      lowered_variable("ProgramData"),
  };
}

bool is_protected_text(std::string_view path_text, const ProtectedDirs& dirs, char separator) {
  // Plain byte-wise tests on the lowered text, nothing resolved: "C:/Windows" does not start
  // with "c:\windows", and a prefix needs no separator after it ("C:\Windows.old").
  const std::string path = lowered(path_text);
  if (starts_with_dir(path, dirs.system_root)) return true;
  if (starts_with_dir(path, dirs.program_files)) return true;
  if (starts_with_dir(path, dirs.program_files_x86)) return true;
  if (contains_folder(path, separator, "system32")) return true;
  if (contains_folder(path, separator, "syswow64")) return true;
  if (starts_with_dir(path, dirs.program_data)) {
    return !contains_after_separator(path, separator, kDataFolderWord);
  }
  return false;
}

bool is_protected_path(const Path& path) {
  return is_protected_text(path.display(), process_protected_dirs(), platform::kSeparator);
}

}  // namespace tindral
