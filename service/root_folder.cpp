#include "root_folder.h"

#include <utility>

#include "canonical_path.h"
#include "protected_paths.h"

namespace tindral {

namespace {

OpenedRoot refused(RootRefusal why) {
  OpenedRoot root;
  root.refusal = why;
  return root;
}

}  // namespace

OpenedRoot open_root(platform::FileSystem& fs, const Path& root) {
  if (!fs.file_type(root).ok()) return refused(RootRefusal::NotFound);
  if (is_protected_path(root)) return refused(RootRefusal::Protected);
  OpenedRoot opened;
  opened.folder = fs.open_folder(root);
  if (!opened.folder) {
    opened.location = root;
    return opened;
  }
  // The path was tested as text; the folder it led to may lie elsewhere. The folder stays open
  // from here on, so the folder tested is the folder walked.
  Result<Path> final_path = (*opened.folder)->final_path();
  if (!final_path) return refused(RootRefusal::NotValid);
  CanonicalPath location = canonical_path(final_path->bytes(), kPlatformPathStyle);
  if (location.problem != CanonicalPath::Problem::None) return refused(RootRefusal::NotValid);
  opened.location = Path(std::move(location.text));
  if (is_protected_path(opened.location)) return refused(RootRefusal::Protected);
  return opened;
}

}  // namespace tindral
