#include "flag_files.h"

#include "config/trusted_files.h"

namespace tindral {

FlagFiles::FlagFiles(platform::FileSystem& fs, const Path& data_folder)
    : fs_(&fs),
      // In the order of Flag, which path() indexes by.
      paths_{data_folder.child(flag_file_name(Flag::Stop)),
             data_folder.child(flag_file_name(Flag::Cleanup)),
             data_folder.child(flag_file_name(Flag::Paused)),
             data_folder.child(flag_file_name(Flag::Rescan))} {}

// Only a flag an administrator could have made steers the service.
bool FlagFiles::present(Flag flag) const { return is_trusted_data_file(*fs_, path(flag)); }

void FlagFiles::remove(Flag flag) const { static_cast<void>(fs_->delete_file(path(flag))); }

void FlagFiles::create_paused() const {
  // Opening is all it takes: the file is created or truncated to zero bytes, and dropping the
  // handle at once closes it.
  static_cast<void>(fs_->create_or_truncate(path(Flag::Paused)));
}

}  // namespace tindral
