#include "config/data_folder_security.h"

#include <algorithm>
#include <utility>

#include "config/data_folder.h"
#include "config/trusted_files.h"
#include "platform/process.h"

namespace tindral {

namespace {

// The icon is written beside itself first, so that the shell never reads half an icon.
constexpr std::string_view kTemporaryIconSuffix = ".tmp";

std::string_view data_folder_fault(platform::Trust found) {
  switch (found) {
    case platform::Trust::Link:
      return "was a link";
    case platform::Trust::OtherOwner:
      return "was owned by another account";
    default:
      return "was open to other accounts";
  }
}

std::string removal_line(const platform::RemovedEntry& removed, bool icon_replaced) {
  const std::string reason(distrust_reason(removed.found).value_or(kUnjudgedReason));
  if (removed.name == kIconFileName && icon_replaced) {
    return "Replaced folder.ico with the default icon: " + reason;
  }
  return "Removed " + removed.name + " from the data folder: " + reason;
}

}  // namespace

Result<DataFolderSecuring> secure_data_folder(platform::FileSystem& fs, const Path& data_folder,
                                              const Path& default_icon, FilesInside files) {
  DataFolderSecuring securing;
  Result<platform::Trust> found = fs.secure_folder(data_folder);
  if (!found) return std::move(found).error();
  securing.found = *found;
  if (securing.found == platform::Trust::Administrators && files == FilesInside::WhenRepaired) {
    return securing;
  }
  Result<std::vector<platform::RemovedEntry>> removed = fs.secure_folder_files(data_folder);
  if (!removed) return std::move(removed).error();
  securing.removed = std::move(*removed);
  // In the order of their names, whatever order the folder listed them in.
  std::sort(securing.removed.begin(), securing.removed.end(),
            [](const platform::RemovedEntry& a, const platform::RemovedEntry& b) {
              return a.name < b.name;
            });
  for (const platform::RemovedEntry& entry : securing.removed) {
    // The shell shows whatever icon is there to every user, so one that anybody could have
    // made is never left in place, and the folder is never left without one.
    if (entry.name == kIconFileName) {
      securing.icon_replaced = ensure_default_icon(fs, data_folder, default_icon).ok();
    }
  }
  return securing;
}

std::vector<std::string> data_folder_report(const Result<DataFolderSecuring>& securing) {
  if (!securing) return {"Data folder could not be secured: " + securing.error().message()};
  std::vector<std::string> lines;
  if (securing->found != platform::Trust::Administrators) {
    lines.push_back("Data folder " + std::string(data_folder_fault(securing->found)) +
                    "; only administrators may change it now");
  }
  for (const platform::RemovedEntry& removed : securing->removed) {
    lines.push_back(removal_line(removed, securing->icon_replaced));
  }
  return lines;
}

Result<void> ensure_default_icon(platform::FileSystem& fs, const Path& data_folder,
                                 const Path& default_icon) {
  const Path icon = data_folder.child(kIconFileName);
  if (is_trusted_data_file(fs, icon)) return {};
  Result<std::string> bytes = fs.read_file(default_icon, kMaxIconBytes);
  if (!bytes) return std::move(bytes).error().wrap("Failed to read the default folder.ico");
  const Path temporary(icon.bytes() + std::string(kTemporaryIconSuffix));
  if (auto written = platform::replace_with_new_file(fs, temporary, icon, *bytes); !written) {
    return std::move(written).error().wrap("Failed to write " + icon.display());
  }
  return {};
}

Result<Path> default_icon_path() {
  Result<Path> program = platform::current_executable();
  if (!program) return std::move(program).error();
  const Path folder = program->parent();
  return folder.empty() ? Path(std::string(kIconFileName)) : folder.child(kIconFileName);
}

}  // namespace tindral
