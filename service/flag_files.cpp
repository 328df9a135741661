#include "flag_files.h"

#include "config/data_folder.h"
#include "config/trusted_files.h"

namespace tindral {

FlagFiles::FlagFiles(platform::FileSystem& fs, const Path& data_folder)
    : fs_(&fs),
      stop_(data_folder.child(kStopFlagName)),
      cleanup_(data_folder.child(kCleanupFlagName)),
      paused_(data_folder.child(kPausedFlagName)),
      rescan_(data_folder.child(kRescanFlagName)) {}

// Only a flag an administrator could have made steers the service.
bool FlagFiles::present(Flag flag) const { return is_trusted_data_file(*fs_, path(flag)); }

void FlagFiles::remove(Flag flag) const { static_cast<void>(fs_->delete_file(path(flag))); }

void FlagFiles::create_paused() const {
  // Opening is all it takes: the file is created or truncated to zero bytes, and dropping the
  // handle at once closes it.
  static_cast<void>(fs_->create_or_truncate(paused_));
}

const Path& FlagFiles::path(Flag flag) const {
  switch (flag) {
    case Flag::Stop:
      return stop_;
    case Flag::Cleanup:
      return cleanup_;
    case Flag::Paused:
      return paused_;
    case Flag::Rescan:
      return rescan_;
  }
  return stop_;
}

}  // namespace tindral
