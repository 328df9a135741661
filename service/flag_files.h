#pragma once

#include <array>
#include <cstddef>

#include "config/flags.h"
#include "platform/file_system.h"
#include "platform/path.h"

namespace tindral {

/// The worker's side of the flags of one data folder, their paths built once. Presence is a
/// metadata test only: a folder of a flag's name counts, and no content is ever read. Every
/// failure to delete or create a flag is ignored, because a flag that stays is simply served
/// again on the next pass.
class FlagFiles {
 public:
  FlagFiles(platform::FileSystem& fs, const Path& data_folder);

  /// True when the flag's path exists and an administrator could have made it.
  bool present(Flag flag) const;

  /// Deletes the flag, ignoring any failure.
  void remove(Flag flag) const;

  /// Writes paused.flag as an empty file (an existing one is truncated), ignoring any failure.
  void create_paused() const;

  /// Where the flag lives.
  const Path& path(Flag flag) const { return paths_[static_cast<std::size_t>(flag)]; }

 private:
  platform::FileSystem* fs_;
  std::array<Path, 4> paths_;
};

}  // namespace tindral
