#pragma once

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

}  // namespace tindral
