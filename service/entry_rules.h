#pragma once

#include <cstdint>
#include <string_view>

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

/// A repository's .git folder, in any ASCII letter case. A desktop.ini inside it (refs/heads
/// holds files, so it would count as content) is read by git as a broken ref and corrupts the
/// repository: walks leave .git alone as if it were a protected location.
bool is_git_folder_name(std::string_view name);

/// What a listing entry tells of a bare repository (what a git server keeps, usually named
/// *.git), which has no .git folder: it is one itself, and git knows it by HEAD beside the
/// folders objects and refs (either of which may be a link). Names are compared without case, as
/// a Windows volume would resolve them.
enum GitMark : std::uint8_t { kGitHead = 1, kGitObjects = 2, kGitRefs = 4, kBareRepository = 7 };

/// The GitMark bit an entry contributes to its folder (0 for none).
std::uint8_t git_mark_of(const platform::DirEntry& entry);

/// Whether `folder` is a bare repository, by looking up the three names rather than listing it,
/// so that the cost does not grow with the folder's size: a walk that only passes through a
/// folder on its way down has no listing of it. A lookup resolves names as the volume does
/// (without case on Windows, as the listing's comparison; natively only the spelling git itself
/// uses there). True also when a lookup fails other than by finding nothing: what cannot be
/// told is not written into.
bool is_bare_repository(platform::Folder& folder);

}  // namespace tindral
