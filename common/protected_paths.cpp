#include "protected_paths.h"

#include <algorithm>

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

// The rules on lowered text: `head` is the path's beginning, at least one byte longer than any
// protected folder unless it is the whole path; fragments are looked for in `fresh` only, the
// text after a folder that passed the test (and so holds no fragment) with the few bytes before
// it in which a fragment that reaches into the new text can start; `has_data_word` carries the
// data folder's name from the text that is not looked at again.
bool protected_by_rules(std::string_view head, std::string_view fresh, bool has_data_word,
                        const ProtectedDirs& dirs, char separator) {
  // Plain byte-wise tests, nothing resolved: "C:/Windows" does not start with "c:\windows", and
  // a prefix needs no separator after it ("C:\Windows.old").
  if (starts_with_dir(head, dirs.system_root)) return true;
  if (starts_with_dir(head, dirs.program_files)) return true;
  if (starts_with_dir(head, dirs.program_files_x86)) return true;
  if (in_system_folder(head, dirs, separator)) return true;
  if (contains_folder(fresh, 0, separator, "system32")) return true;
  if (contains_folder(fresh, 0, separator, "syswow64")) return true;
  if (starts_with_dir(head, dirs.program_data)) {
    return !has_data_word && !contains_after_separator(fresh, 0, separator, data_folder_word());
  }
  return false;
}

// A fixed fragment found in new text starts at most kTailBytes before it.
static_assert(ProtectedPathWalk::kTailBytes + 1 == std::string_view("\\system32\\").size());

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
  const std::string text = lowered(path_text);
  return protected_by_rules(text, text, false, dirs, separator);
}

bool is_protected_path(const Path& path) {
  return is_protected_text(path.display(), process_protected_dirs(), platform::kSeparator);
}

void ProtectedPathWalk::Tail::assign_end_of(std::string_view text) {
  const std::string_view end = text.substr(text.size() - std::min(text.size(), kTailBytes));
  std::copy(end.begin(), end.end(), bytes.begin());
  size = static_cast<std::uint8_t>(end.size());
}

ProtectedPathWalk::ProtectedPathWalk(const Path& root)
    : ProtectedPathWalk(root.display(), process_protected_dirs(), platform::kSeparator) {}

ProtectedPathWalk::ProtectedPathWalk(std::string_view root_text, const ProtectedDirs& dirs,
                                     char separator)
    : dirs_(dirs), separator_(separator) {
  std::size_t longest =
      std::max({dirs.system_root.size(), dirs.program_files.size(), dirs.program_files_x86.size(),
                dirs.program_data.size(), dirs.data_folder.size()});
  for (const std::string& folder : dirs.system_folders) longest = std::max(longest, folder.size());
  head_limit_ = longest + 1;
  const std::string root = lowered(root_text);
  head_ = root.substr(0, head_limit_);
  tail_.assign_end_of(root);
  has_data_word_ = contains_after_separator(root, 0, separator, data_folder_word());
}

// Lower-casing works code point by code point, and the one rule with context (a final capital
// sigma) looks no further than the separator, which is neither cased nor case-ignorable: the
// lowered path of a child is the parent's followed by the lowered separator and name.
ProtectedPathWalk::Child ProtectedPathWalk::child(std::string_view name) const {
  // A root such as "/" or "C:\" ends in its separator already.
  std::string piece;
  const std::string_view tail = tail_.view();
  if (tail.empty() || tail.back() != separator_) piece += separator_;
  piece += Path(std::string(name)).display();
  piece = lowered(piece);
  Child result{head_, std::string(tail) + piece, has_data_word_};
  if (result.head.size() < head_limit_) {
    result.head.append(piece, 0, head_limit_ - result.head.size());
  }
  result.has_data_word =
      has_data_word_ || contains_after_separator(result.fresh, 0, separator_, data_folder_word());
  return result;
}

bool ProtectedPathWalk::is_protected_child(std::string_view name) {
  const Child next = child(name);
  return protected_by_rules(next.head, next.fresh, has_data_word_, dirs_, separator_);
}

void ProtectedPathWalk::enter(std::string_view name) {
  Child next = child(name);
  levels_.push_back(Level{head_.size(), tail_, has_data_word_});
  head_ = std::move(next.head);
  tail_.assign_end_of(next.fresh);
  has_data_word_ = next.has_data_word;
}

void ProtectedPathWalk::leave() {
  head_.resize(levels_.back().head_size);
  tail_ = levels_.back().tail;
  has_data_word_ = levels_.back().has_data_word;
  levels_.pop_back();
}

}  // namespace tindral
