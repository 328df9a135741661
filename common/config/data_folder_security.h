#pragma once

#include <string>
#include <vector>

#include "error.h"
#include "platform/file_system.h"
#include "platform/path.h"

namespace tindral {

/// What securing the data folder found and did.
struct DataFolderSecuring {
  /// The folder as it was found.
  platform::Trust found = platform::Trust::Administrators;
  /// The files taken out of it because somebody else could have made them what they were.
  std::vector<platform::RemovedEntry> removed;
  /// folder.ico was among them, and the default icon took its place.
  bool icon_replaced = false;
};

/// Whether secure_data_folder goes through the files inside a folder that it found the
/// administrators' already.
enum class FilesInside {
  /// Only a folder that was repaired (nobody else could have put files there otherwise).
  WhenRepaired,
  /// Also an intact folder, after an attempt that failed half-way.
  Always,
};

/// Makes the data folder the administrators' alone (FileSystem::secure_folder) and, when it was
/// not, every file in it too (FileSystem::secure_folder_files); a folder.ico that was taken out
/// is replaced by `default_icon`. An error when the folder or a file in it could not be made
/// theirs: until then nothing in it counts.
Result<DataFolderSecuring> secure_data_folder(platform::FileSystem& fs, const Path& data_folder,
                                              const Path& default_icon,
                                              FilesInside files = FilesInside::WhenRepaired);

/// The lines that tell what securing found and did, in this order: "Data folder was open to
/// other accounts; only administrators may change it now" (or "was a link", "was owned by
/// another account"), then for each file taken out "Removed {name} from the data folder:
/// {reason}", or for folder.ico "Replaced folder.ico with the default icon: {reason}". For a
/// failure the one line "Data folder could not be secured: {message}".
std::vector<std::string> data_folder_report(const Result<DataFolderSecuring>& securing);

/// Puts the default icon in the data folder in one step, unless a folder.ico that counts is
/// there; one that does not count is replaced.
Result<void> ensure_default_icon(platform::FileSystem& fs, const Path& data_folder,
                                 const Path& default_icon);

/// The default icon: folder.ico beside the running program (the service's program and
/// tindralctl lie side by side).
Result<Path> default_icon_path();

}  // namespace tindral
