#pragma once

#include <cstdint>

#include "platform/file_system.h"

namespace tindral {

/// A link entry (a reparse point whose tag has the name-surrogate bit: symbolic links, junctions,
/// mount points): never followed, never content.
bool is_link_entry(const platform::DirEntry& entry);

/// A directory entry that is not a link entry.
bool is_subfolder_entry(const platform::DirEntry& entry);

/// A file entry that counts as content: neither a link nor a subfolder, its name not starting
/// with "." and not "desktop.ini" in any mix of ASCII letter case.
bool is_content_file(const platform::DirEntry& entry);

/// A folder that is both hidden and system: the system's own (System Volume Information,
/// $Recycle.Bin, DfsrPrivate), which a walk leaves alone.
bool is_system_folder(std::uint32_t attributes);

/// A folder encrypted with the file system's encryption: a file that the service creates in it
/// is encrypted for the service's account, which nobody else can read.
bool is_encrypted_folder(std::uint32_t attributes);

}  // namespace tindral
