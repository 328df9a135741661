#include "platform/change_watch.h"

namespace tindral::platform {

std::string_view change_source_name(ChangeSource source) {
  switch (source) {
    case ChangeSource::Fanotify:
      return "fanotify";
    case ChangeSource::Inotify:
      return "inotify";
    case ChangeSource::UsnJournal:
      return "USN journal";
    case ChangeSource::DirectoryChanges:
      return "ReadDirectoryChangesW";
    case ChangeSource::None:
      break;
  }
  return "none";
}

}  // namespace tindral::platform
