#include "walk_failures.h"

namespace tindral {

void WalkFailures::add(const WalkFailures& later) {
  if (folders == 0) first = later.first;
  folders += later.folders;
}

std::optional<std::string> failures_warning(std::string_view verb, const WalkFailures& failures) {
  if (failures.folders == 0) return std::nullopt;
  std::string warning = "Could not " + std::string(verb) + " desktop.ini in " +
                        std::to_string(failures.folders) +
                        (failures.folders == 1 ? " folder" : " folders");
  if (failures.first)
    warning += "; first: " + failures.first->folder + ": " + failures.first->cause;
  return warning;
}

}  // namespace tindral
