#pragma once

#include <optional>
#include <string_view>

#include "platform/file_system.h"
#include "platform/path.h"

namespace tindral {

/// Why a file judged `trust` does not count: "it is a link", "it is owned by another account" or
/// "other accounts may change it"; nothing for Trust::Administrators.
std::optional<std::string_view> distrust_reason(platform::Trust trust);

/// What a file whose judgement failed counts as: when the service cannot tell who could have
/// written it, it does not act on it.
inline constexpr std::string_view kUnjudgedReason = "its owner and permissions cannot be read";

/// Why a file of the data folder does not count: as above, or kUnjudgedReason; nothing when it
/// counts or is not there. The service acts with the machine's highest privileges on what these
/// files say, so only what an administrator could have written steers it.
std::optional<std::string_view> distrust_reason(platform::FileSystem& fs, const Path& file);

/// True when the data folder's file (or folder: a flag's presence) exists and counts, asked of
/// one open of it.
bool is_trusted_data_file(platform::FileSystem& fs, const Path& file);

}  // namespace tindral
