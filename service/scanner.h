#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "config/root_paths.h"
#include "error.h"
#include "platform/file_system.h"
#include "platform/path.h"
#include "platform/stop_signal.h"

namespace tindral {

/// What one scan did, summed over every walked root.
struct ScanStats {
  std::uint64_t folders_scanned = 0;
  std::uint64_t ini_written = 0;
  std::uint64_t ini_removed = 0;
  /// From before config.txt was read to the end of the last root.
  std::chrono::nanoseconds elapsed{0};
  /// A stop request ended the scan before its last folder; the counters tell how far it got.
  bool cut_short = false;
};

/// What the walk did below one folder, the folder itself included.
struct FolderScanResult {
  std::uint64_t folders = 0;
  std::uint64_t ini_written = 0;
  std::uint64_t ini_removed = 0;
  /// The folder or a walked folder below it directly holds a content file.
  bool has_content = false;
  /// A stop request ended the walk early: the folders entered and not yet decided stay as they
  /// were, and has_content means nothing.
  bool cut_short = false;
};

/// A link entry (a reparse point whose tag has the name-surrogate bit: symbolic links, junctions,
/// mount points): never followed, never content.
bool is_link_entry(const platform::DirEntry& entry);

/// A directory entry that is not a link entry.
bool is_subfolder_entry(const platform::DirEntry& entry);

/// A file entry that counts as content: neither a link nor a subfolder, its name not starting
/// with "." and not "desktop.ini" in any mix of ASCII letter case.
bool is_content_file(const platform::DirEntry& entry);

/// Gives every folder with content anywhere below it the service's desktop.ini and takes the
/// service's file out of every folder without; decisions are made bottom-up. Never fails:
/// problems show only in the counters. A raised `stop` ends the walk at the next folder.
FolderScanResult scan_folder(platform::FileSystem& fs, const Path& folder,
                             const platform::StopSignal* stop = nullptr);

/// The same for a folder opened already (see walk_tree) that lies at `location`, against which
/// its subfolders are tested for protection.
FolderScanResult scan_folder(Result<std::unique_ptr<platform::Folder>> folder, const Path& location,
                             const platform::StopSignal* stop = nullptr);

/// `name` (such as "Scan"), then " complete: {} folders, {} written, {} removed, took {}s" with
/// the seconds to `decimals` places, or " cut short by a stop request: " and the same figures.
std::string scan_summary(std::string_view name, const ScanStats& stats, int decimals);

/// Reads config.txt and walks every root that exists and is not protected by its path or by
/// where its folder really is, logging the start, each skipped root and the summary. Fails only
/// when the root list cannot be read. A raised `stop` ends the scan at the next folder, with the
/// counters of what was done.
Result<ScanStats> run_scan(platform::FileSystem& fs, const Path& config_path,
                           const InteractiveUserLookup& lookup = interactive_user,
                           const platform::StopSignal* stop = nullptr);

}  // namespace tindral
