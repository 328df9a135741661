#pragma once

#include <optional>
#include <string>

#include "cleanup_folder.h"
#include "config/root_paths.h"
#include "error.h"
#include "platform/file_system.h"
#include "platform/path.h"
#include "platform/stop_signal.h"

namespace tindral {

/// "Cleanup complete: {} folders visited, {} desktop.ini removed", or "Cleanup cut short by a
/// stop request: " and the same figures.
std::string cleanup_summary(const CleanupStats& stats);

/// "Could not remove desktop.ini in {} folder(s); first: {folder}: {cause}"; nothing for a
/// cleanup without failures.
std::optional<std::string> cleanup_failures_warning(const CleanupStats& stats);

/// Removes every marked desktop.ini below the roots of config.txt, skipping missing roots and
/// those protected by their path or by where their folder really is silently, and logs the totals
/// and, after them, one warning about the folders whose desktop.ini could not be removed.
/// Fails only when config.txt cannot be read. A raised `stop` ends the cleanup at the next folder.
Result<CleanupStats> run_cleanup(platform::FileSystem& fs, const Path& config_path,
                                 const InteractiveUserLookup& lookup = interactive_user,
                                 const platform::StopSignal* stop = nullptr);

}  // namespace tindral
