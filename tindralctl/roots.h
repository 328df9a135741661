#pragma once

#include <string>
#include <vector>

#include "command.h"
#include "config/root_paths.h"
#include "json.h"
#include "root_folder.h"

namespace tindral::ctl {

/// One line per entry of config.txt: the entry, what it expands to when that differs, and
/// whether the service scans it. A config.txt the service cannot read is an error. With
/// `not_scanning` (why the service scans nothing now), a root it would scan says that instead.
Result<std::vector<std::string>> describe_roots(Context& context,
                                                std::string_view not_scanning = {});

/// An entry of config.txt and what the service makes of it.
struct RootReport {
  std::string entry;  ///< as written
  RootEntry root;     ///< as the service reads it
  /// The service's decision; nothing when the root did not answer in time.
  std::optional<RootJudgement> judged;
  /// The service's warning when another listed root's walk takes this one in.
  std::optional<std::string> covered;
};

/// What the scan does with a root, as status and roots list show it: "scanned", or why not, in
/// the service's own words where it warns.
std::string scan_outcome(const std::optional<RootJudgement>& judged);

/// Every entry of config.txt, judged as the service judges it (each within a time limit).
Result<std::vector<RootReport>> report_roots(Context& context);

/// scan_outcome, or the warning about a root that another listed root's walk takes in.
std::string report_outcome(const RootReport& report);

/// The root as status --json and roots list --json show it: "entry", "expanded", "state",
/// "reason", "missing_variable" (see the README), open for more members.
JsonObject root_json(const RootReport& report);

/// Whether config.txt's entry `entry` (read as `root`) is the root an administrator names with
/// `argument`.
bool names_root(std::string_view entry, const RootEntry& root, std::string_view argument);

}  // namespace tindral::ctl
