#include "config/data_folder.h"

namespace tindral {

Path data_folder() { return data_folder_for(platform::get_env("ProgramData")); }

// The base is taken as it stands (trailing separator, forward slashes, another drive): the
// administrator's value is not second-guessed, only joined without doubling a separator.
Path data_folder_for(const platform::EnvValue& program_data) {
  const std::string_view base = program_data.present() ? std::string_view(program_data.value)
                                                       : platform::kDefaultProgramDataBase;
  return Path::from_text(base).child(kDataFolderName);
}

}  // namespace tindral
