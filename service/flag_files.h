#pragma once

#include "platform/file_system.h"
#include "platform/path.h"

namespace tindral {

/// The files in the data folder through which outside parties steer the worker.
enum class Flag { Stop, Cleanup, Paused, Rescan };

/// The flag files of one data folder, their paths built once. Presence is a metadata test only:
/// a folder of a flag's name counts, and no content is ever read. Every failure to delete or
/// create a flag is ignored, because a flag that stays is simply served again on the next pass.
class FlagFiles {
 public:
  FlagFiles(platform::FileSystem& fs, const Path& data_folder);

  /// True when the flag's path exists.
  bool present(Flag flag) const;

  /// Deletes the flag, ignoring any failure.
  void remove(Flag flag) const;

  /// Writes paused.flag as an empty file (an existing one is truncated), ignoring any failure.
  void create_paused() const;

  /// Where the flag lives.
  const Path& path(Flag flag) const;

 private:
  platform::FileSystem* fs_;
  Path stop_;
  Path cleanup_;
  Path paused_;
  Path rescan_;
};

}  // namespace tindral
