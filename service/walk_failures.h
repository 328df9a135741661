#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "error.h"
#include "platform/path.h"

namespace tindral {

/// A folder where a walk could not make the change it had decided on.
struct FolderFailure {
  /// The folder's path as text.
  std::string folder;
  /// What lies at the bottom of the failure, in the system's own words.
  std::string cause;
  friend bool operator==(const FolderFailure&, const FolderFailure&) = default;
};

/// The folders where a walk could not write or remove desktop.ini: how many, and the first.
struct WalkFailures {
  std::uint64_t folders = 0;
  std::optional<FolderFailure> first;

  /// Counts `error` in the folder that `where` (a callable giving its Path) names; the path is
  /// built only for the first failure, so that a walk keeps no path per folder.
  template <class Where>
  void add(const Error& error, Where&& where) {
    if (folders++ == 0) first = FolderFailure{where().display(), error.chain().back()};
  }

  /// Adds the failures of a walk that came after these.
  void add(const WalkFailures& later);
};

/// "Could not {verb} desktop.ini in {} folder(s); first: {folder}: {cause}"; nothing when there
/// were no failures.
std::optional<std::string> failures_warning(std::string_view verb, const WalkFailures& failures);

}  // namespace tindral
