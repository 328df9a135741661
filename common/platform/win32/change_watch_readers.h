#pragma once

// The Windows watcher's two sources of changes, each an overlapped read the watcher waits on
// by its event: the change journal of a volume (one reader for every root on it) and
// ReadDirectoryChangesW on one root.

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "error.h"
#include "platform/change_watch.h"
#include "platform/held_changes.h"
#include "platform/win32/windows_api.h"

namespace tindral::platform::win32 {

class ChangeReader {
 public:
  virtual ~ChangeReader() = default;

  /// Signalled when the read in flight has completed.
  virtual HANDLE event() const = 0;

  /// Takes the completed read's changes into `held` and starts the next read. False when no
  /// further read can be made; the reader's roots were given a Rescan.
  virtual bool read_on(HeldChanges& held) = 0;

  /// The roots whose changes the reader reads.
  virtual std::vector<std::size_t> roots() const = 0;

  virtual ChangeSource source() const = 0;
};

/// The changes one completed ReadDirectoryChangesW on root `root` gives: `succeeded` is what
/// GetOverlappedResult said, `filled` the bytes it filled. Names added or renamed to
/// appeared, removed or renamed from disappeared; a change of the service's own file names
/// nothing (see is_service_file_name), and a modification nothing either. A lost overflow
/// (ERROR_NOTIFY_ENUM_DIR, which Windows reports as success with no bytes and Wine as a
/// failure), any other failure and a buffer whose entries do not fit are one Rescan.
std::vector<Change> directory_changes(std::size_t root, bool succeeded,
                                      std::span<const std::uint8_t> filled);

/// ReadDirectoryChangesW on the root folder `folder` and everything below it, through a handle
/// of its own opened for the watch.
Result<std::unique_ptr<ChangeReader>> watch_directory(std::size_t root, HANDLE folder);

/// A root as the journal reader filters records by it.
struct JournalRoot {
  std::size_t root = 0;
  /// The root's final path without the "\\?\" prefix ("C:\Photos").
  std::wstring location;
};

/// The volume `folder` lies on, when its file system keeps a change journal: its serial
/// number, by which roots on one volume share a reader.
std::optional<DWORD> journal_volume(HANDLE folder);

/// The change journal of the volume `folder` lies on, for `roots` on that volume; an error when
/// the volume cannot be opened or its journal queried.
Result<std::unique_ptr<ChangeReader>> read_journal(HANDLE folder, std::vector<JournalRoot> roots);

}  // namespace tindral::platform::win32
