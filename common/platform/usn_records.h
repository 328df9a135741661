#pragma once

// The records a volume's change journal returns (FSCTL_READ_USN_JOURNAL) and the decision whether
// the journal can still be read from where the watcher left it. Nothing here calls the system,
// so it is built and tested on every platform; only the Windows watcher reads a real journal.

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "error.h"

namespace tindral::platform {

/// A file's reference number: 128 bits as USN_RECORD_V3 (ReFS) gives it; USN_RECORD_V2's 64-bit
/// number widened with zero high bits, which is how a 128-bit file id holds an NTFS one.
struct FileReference {
  std::uint64_t low = 0;
  std::uint64_t high = 0;
  friend bool operator==(const FileReference&, const FileReference&) = default;
};

// USN_REASON_* bits of the changes the watcher asks the journal for: an entry appearing in a
// folder or leaving it, under its old or its new name.
inline constexpr std::uint32_t kUsnReasonFileCreate = 0x00000100;
inline constexpr std::uint32_t kUsnReasonFileDelete = 0x00000200;
inline constexpr std::uint32_t kUsnReasonRenameOldName = 0x00001000;
inline constexpr std::uint32_t kUsnReasonRenameNewName = 0x00002000;
inline constexpr std::uint32_t kUsnReasonsWatched =
    kUsnReasonFileCreate | kUsnReasonFileDelete | kUsnReasonRenameOldName | kUsnReasonRenameNewName;

/// One change journal record, as much of it as the watcher uses.
struct UsnRecord {
  FileReference file;
  /// The folder that holds (or held) the entry.
  FileReference parent;
  /// USN_REASON_* bits.
  std::uint32_t reasons = 0;
  bool is_directory = false;
  /// The entry's name in the folder, in UTF-16 as the volume stores it (unpaired surrogates
  /// included); the Windows layer converts it.
  std::u16string name;
  friend bool operator==(const UsnRecord&, const UsnRecord&) = default;
};

/// What one FSCTL_READ_USN_JOURNAL returned.
struct UsnReadResult {
  /// The USN to read from next (the buffer's leading 8 bytes).
  std::int64_t next_usn = 0;
  std::vector<UsnRecord> records;
};

/// Parses the buffer FSCTL_READ_USN_JOURNAL filled: the next USN, then records of major version
/// 2 or 3, each bounded by its RecordLength, which must cover its fixed part and its name. A
/// record of another major version (4 carries ranges, not names) is stepped over by its length.
/// Nothing past the buffer is read; a buffer cut short or a record whose lengths do not fit is
/// ErrorKind::InvalidData.
Result<UsnReadResult> parse_usn_records(std::span<const std::uint8_t> buffer);

/// A journal as FSCTL_QUERY_USN_JOURNAL describes it.
struct UsnJournalState {
  std::uint64_t journal_id = 0;
  /// The oldest record still kept.
  std::int64_t first_usn = 0;
  /// Where the next record will be written.
  std::int64_t next_usn = 0;
};

// Errors the journal calls return that say the journal is not there to be read from where the
// watcher left it.
inline constexpr std::uint32_t kErrorJournalDeleteInProgress = 1178;
inline constexpr std::uint32_t kErrorJournalNotActive = 1179;
inline constexpr std::uint32_t kErrorJournalEntryDeleted = 1181;

/// What the watcher does after a query or a read of the journal.
enum class JournalStep : std::uint8_t {
  /// Read on from the cursor's next USN.
  Continue,
  /// Changes were lost (the journal wrapped past the cursor, or it is a new journal): every
  /// root on the volume is walked again, and reading goes on from the journal's present end.
  Rescan,
  /// The journal was deleted or is being deleted: every root on the volume is walked again, and
  /// its changes must come from elsewhere.
  Gone,
  /// Another failure of the read: query the journal again before the next read (a failure that
  /// keeps coming back becomes Gone).
  Requery,
};

/// Where the watcher is in one volume's journal: which journal, and the USN to read from next.
class JournalCursor {
 public:
  /// After FSCTL_QUERY_USN_JOURNAL: `state`, or nothing when it failed (Gone). The first
  /// query, and the first after a Rescan, starts at the journal's end: the walk that the start
  /// or the Rescan brings covers what came before.
  JournalStep after_query(const std::optional<UsnJournalState>& state);

  /// After FSCTL_READ_USN_JOURNAL from next_usn(): the next USN it returned, or the error code
  /// it failed with.
  JournalStep after_read(const std::optional<std::int64_t>& next_usn, std::uint32_t error = 0);

  std::uint64_t journal_id() const { return journal_id_; }
  std::int64_t next_usn() const { return next_usn_; }

 private:
  /// Reads that failed in a row with an error that says nothing about the journal.
  static constexpr int kMaxFailedReads = 3;

  bool started_ = false;
  int failed_reads_ = 0;
  std::uint64_t journal_id_ = 0;
  std::int64_t next_usn_ = 0;
};

}  // namespace tindral::platform
