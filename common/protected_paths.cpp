#include "protected_paths.h"

#include "canonical_path.h"
#include "config/data_folder.h"
#include "platform/environment.h"
#include "platform/system_folders.h"
#include "text.h"

namespace tindral {

namespace {

// The data folder's name in lower case, as the lowered paths spell it: the service's own folder
// below the program-data folder is the one place there that the walks may decorate.
const std::string& data_folder_word() {
  static const std::string word = text::to_lower(kDataFolderName);
  return word;
}

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

// The folder itself or anything below it; unlike the prefix rules, "/usr" does not take in
// "/usrdata".
bool is_at_or_below(std::string_view text, std::string_view folder, char separator) {
  return !folder.empty() && text.starts_with(folder) &&
         (text.size() == folder.size() || text[folder.size()] == separator);
}

bool in_system_folder(std::string_view text, const ProtectedDirs& dirs, char separator) {
  for (const std::string& folder : dirs.system_folders) {
    if (is_at_or_below(text, folder, separator)) {
      return !is_at_or_below(text, dirs.data_folder, separator);
    }
  }
  return false;
}

// Whether the separator followed by `word` occurs in `text` at or after `from`. Looking for the
// word and then back one byte finds the same places as looking for the separator and the word
// together, but stops far less often: in a long path separators are everywhere.
bool contains_after_separator(std::string_view text, std::size_t from, char separator,
                              std::string_view word) {
  for (std::size_t at = text.find(word, from + 1); at != text.npos; at = text.find(word, at + 1)) {
    if (text[at - 1] == separator) return true;
  }
  return false;
}

bool contains_folder(std::string_view text, std::size_t from, char separator,
                     std::string_view name) {
  return contains_after_separator(text, from, separator, std::string(name) + separator);
}

// The longest fixed fragment, "\system32\": a fragment that ends in fresh text starts at most
// this many bytes, less one, before it.
constexpr std::size_t kLongestFragment = 10;

// The rules on lowered text whose fragments, if any, all lie at or after `fresh`: before it is
// the text of a folder that passed the test (and so holds no fragment), apart from the data
// folder's name, which `has_data_word` carries.
bool protected_by_rules(std::string_view path, std::size_t fresh, bool has_data_word,
                        const ProtectedDirs& dirs, char separator) {
  // Plain byte-wise tests, nothing resolved: "C:/Windows" does not start with "c:\windows", and
  // a prefix needs no separator after it ("C:\Windows.old").
  if (starts_with_dir(path, dirs.system_root)) return true;
  if (starts_with_dir(path, dirs.program_files)) return true;
  if (starts_with_dir(path, dirs.program_files_x86)) return true;
  if (in_system_folder(path, dirs, separator)) return true;
  if (contains_folder(path, fresh, separator, "system32")) return true;
  if (contains_folder(path, fresh, separator, "syswow64")) return true;
  if (starts_with_dir(path, dirs.program_data)) {
    return !has_data_word && !contains_after_separator(path, fresh, separator, data_folder_word());
  }
  return false;
}

const ProtectedDirs& process_protected_dirs() {
  // Read once per process; the language makes the initialisation thread-safe.
  static const ProtectedDirs dirs = protected_dirs_from_environment();
  return dirs;
}

}  // namespace

ProtectedDirs protected_dirs_from_environment() {
  ProtectedDirs dirs{
      lowered_variable("SystemRoot"),
      lowered_variable("ProgramFiles"),
      lowered_variable("ProgramFiles(x86)"),
      lowered_variable("ProgramData"),
  };
  for (std::string_view folder : platform::protected_system_folders()) {
    dirs.system_folders.push_back(lowered(folder));
  }
  const CanonicalPath data = canonical_path(data_folder().bytes(), kPlatformPathStyle);
  if (data.problem == CanonicalPath::Problem::None) {
    dirs.data_folder = lowered(Path(data.text).display());
  }
  return dirs;
}

bool is_protected_text(std::string_view path_text, const ProtectedDirs& dirs, char separator) {
  return protected_by_rules(lowered(path_text), 0, false, dirs, separator);
}

bool is_protected_path(const Path& path) {
  return is_protected_text(path.display(), process_protected_dirs(), platform::kSeparator);
}

ProtectedPathWalk::ProtectedPathWalk(const Path& root)
    : ProtectedPathWalk(root.display(), process_protected_dirs(), platform::kSeparator) {}

ProtectedPathWalk::ProtectedPathWalk(std::string_view root_text, const ProtectedDirs& dirs,
                                     char separator)
    : dirs_(dirs),
      separator_(separator),
      lowered_(lowered(root_text)),
      has_data_word_(contains_after_separator(lowered_, 0, separator, data_folder_word())) {}

// Lower-casing works code point by code point, and the one rule with context (a final capital
// sigma) looks no further than the separator, which is neither cased nor case-ignorable: the
// lowered path of a child is the parent's followed by the lowered separator and name.
std::size_t ProtectedPathWalk::append_child(std::string_view name) {
  const std::size_t parent_end = lowered_.size();
  // A root such as "/" or "C:\" ends in its separator already.
  std::string piece;
  if (lowered_.empty() || lowered_.back() != separator_) piece += separator_;
  piece += Path(std::string(name)).display();
  lowered_ += lowered(piece);
  return parent_end > kLongestFragment - 1 ? parent_end - (kLongestFragment - 1) : 0;
}

bool ProtectedPathWalk::is_protected_child(std::string_view name) {
  const std::size_t parent_end = lowered_.size();
  const std::size_t fresh = append_child(name);
  const bool result = protected_by_rules(lowered_, fresh, has_data_word_, dirs_, separator_);
  lowered_.resize(parent_end);
  return result;
}

void ProtectedPathWalk::enter(std::string_view name) {
  levels_.push_back(Level{lowered_.size(), has_data_word_});
  const std::size_t fresh = append_child(name);
  has_data_word_ =
      has_data_word_ || contains_after_separator(lowered_, fresh, separator_, data_folder_word());
}

void ProtectedPathWalk::leave() {
  lowered_.resize(levels_.back().end);
  has_data_word_ = levels_.back().has_data_word;
  levels_.pop_back();
}

}  // namespace tindral
