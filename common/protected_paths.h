#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <string>
#include <string_view>
#include <vector>

#include "platform/path.h"

namespace tindral {

/// The system locations a walk must not decorate, lower-cased (empty when not set).
struct ProtectedDirs {
  std::string system_root;
  std::string program_files;
  std::string program_files_x86;
  std::string program_data;
  /// The platform's fixed system folders, each protected together with everything below it.
  std::vector<std::string> system_folders = {};
  /// The service's data folder, canonical (empty when it is not absolute): the system folders
  /// let it and everything below it through.
  std::string data_folder = {};
};

/// ProtectedDirs from the environment variables SystemRoot, ProgramFiles, ProgramFiles(x86) and
/// ProgramData, the platform's fixed system folders and the data folder.
ProtectedDirs protected_dirs_from_environment();

/// The rules on the path's text alone, with `separator` in the fixed fragments ("\system32\",
/// "\syswow64\", "\tindral" on Windows). `path_text` is lower-cased here; `dirs` must be already.
bool is_protected_text(std::string_view path_text, const ProtectedDirs& dirs, char separator);

/// True when the path lies in a protected system location. The environment is read once per
/// process, on the first call.
bool is_protected_path(const Path& path);

/// The same test for the folders of a walk, made one name at a time: the answer for a child is
/// the answer for its whole path, but only the new name is lower-cased and searched, where a
/// walk deep down a tree would otherwise go over the whole path of every folder it meets. It
/// keeps no copy of the path either: the rules look only at a path's first bytes (as long as
/// the longest protected folder) and at the few bytes before a new name, so a level costs a few
/// bytes however long its name.
class ProtectedPathWalk {
 public:
  /// Starts at a root that is not protected itself.
  explicit ProtectedPathWalk(const Path& root);
  /// The same with the rules of is_protected_text.
  ProtectedPathWalk(std::string_view root_text, const ProtectedDirs& dirs, char separator);

  /// is_protected_text for the current folder's child `name`.
  bool is_protected_child(std::string_view name);
  /// Moves down into the current folder's child `name`, which is not protected.
  void enter(std::string_view name);
  /// Moves back up to the parent of the current folder.
  void leave();

  /// The most bytes before a new name that a fixed fragment found in the name's text can start
  /// at: "\system32\" is ten bytes long.
  static constexpr std::size_t kTailBytes = 9;

 private:
  /// The last kTailBytes bytes (or fewer) of the current folder's lowered path.
  struct Tail {
    std::array<char, kTailBytes> bytes{};
    std::uint8_t size = 0;
    std::string_view view() const { return {bytes.data(), size}; }
    void assign_end_of(std::string_view text);
  };
  /// What the rules need of a child: its lowered path's beginning, the text in which a fragment
  /// may be new (the parent's tail and the child's separator and name), and whether the data
  /// folder's name occurs in it after a separator.
  struct Child {
    std::string head;
    std::string fresh;
    bool has_data_word;
  };

  Child child(std::string_view name) const;

  const ProtectedDirs& dirs_;
  char separator_;
  std::size_t head_limit_;  ///< one more byte than the longest protected folder
  std::string head_;        ///< the current folder's lowered path, its first head_limit_ bytes
  Tail tail_;
  bool has_data_word_;  ///< the path so far holds the data folder's name after a separator
  struct Level {
    std::size_t head_size;
    Tail tail;
    bool has_data_word;
  };
  std::deque<Level> levels_;
};

}  // namespace tindral
