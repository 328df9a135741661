#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "error.h"
#include "platform/file_system.h"
#include "platform/path.h"

namespace tindral::ctl {

/// Writes `content` into a new file of the administrators' beside `path` and puts it in place in
/// one step, so that a reader sees either the old or the new content, never a part.
Result<void> write_file_atomically(platform::FileSystem& fs, const Path& path,
                                   std::string_view content);

/// A configuration file's lines, each kept with the line end it had, so that an edit leaves
/// every line it does not touch byte for byte as it was (comments, blank lines, CR LF or LF).
class LineFile {
 public:
  /// Reads the file as the service does; a missing file has no lines. A file that is not UTF-8,
  /// or one the service ignores (see distrust_reason), is refused, since the service cannot read
  /// it either.
  static Result<LineFile> read(platform::FileSystem& fs, const Path& path);

  std::size_t size() const { return lines_.size(); }
  /// The line's text without its line end.
  std::string_view text(std::size_t index) const;
  /// Replaces the line's text, keeping its line end.
  void replace(std::size_t index, std::string_view text);
  void erase(std::size_t index);
  /// Adds a line with the line end the file uses (CR LF when any line has one).
  void append(std::string_view text);

  /// Writes the lines back with write_file_atomically.
  Result<void> write(platform::FileSystem& fs, const Path& path) const;

 private:
  std::vector<std::string> lines_;  ///< each with its line end; the last may have none
};

}  // namespace tindral::ctl
