#include "platform/usn_records.h"

#include <cstddef>
#include <utility>

#include "platform/record_fields.h"

namespace tindral::platform {

namespace {

// The layouts of USN_RECORD_V2 and USN_RECORD_V3 (winioctl.h), little-endian. Both begin with
// the record's length and its major and minor version; the name follows the fixed part at the
// offset the record gives.
constexpr std::size_t kNextUsnBytes = 8;
constexpr std::size_t kHeaderBytes = 8;
constexpr std::size_t kMajorVersionAt = 4;

struct RecordLayout {
  std::size_t reference_bytes;
  std::size_t file_at;
  std::size_t parent_at;
  std::size_t reason_at;
  std::size_t attributes_at;
  std::size_t name_length_at;
  std::size_t name_offset_at;
  // Where the name begins in a record with no padding: the fixed part's end.
  std::size_t fixed_bytes;
};

constexpr RecordLayout kV2{8, 8, 16, 40, 52, 56, 58, 60};
constexpr RecordLayout kV3{16, 8, 24, 56, 68, 72, 74, 76};

constexpr std::uint32_t kFileAttributeDirectory = 0x10;

FileReference reference(std::span<const std::uint8_t> record, std::size_t at, std::size_t bytes) {
  FileReference reference;
  reference.low = record_field<std::uint64_t>(record, at);
  if (bytes == 16) reference.high = record_field<std::uint64_t>(record, at + 8);
  return reference;
}

Error malformed(const char* what) {
  return Error(std::string("the change journal returned a malformed record: ") + what,
               ErrorKind::InvalidData);
}

Result<UsnRecord> parse_record(std::span<const std::uint8_t> record, const RecordLayout& layout) {
  if (record.size() < layout.fixed_bytes) return malformed("shorter than its fixed part");
  const std::size_t name_bytes = record_field<std::uint16_t>(record, layout.name_length_at);
  const std::size_t name_at = record_field<std::uint16_t>(record, layout.name_offset_at);
  if (name_bytes % 2 != 0) return malformed("a name of an odd number of bytes");
  if (name_at < layout.fixed_bytes || name_at > record.size() ||
      name_bytes > record.size() - name_at) {
    return malformed("a name outside the record");
  }
  UsnRecord parsed;
  parsed.file = reference(record, layout.file_at, layout.reference_bytes);
  parsed.parent = reference(record, layout.parent_at, layout.reference_bytes);
  parsed.reasons = record_field<std::uint32_t>(record, layout.reason_at);
  parsed.is_directory =
      (record_field<std::uint32_t>(record, layout.attributes_at) & kFileAttributeDirectory) != 0;
  parsed.name.resize(name_bytes / 2);
  for (std::size_t i = 0; i < parsed.name.size(); ++i) {
    parsed.name[i] = static_cast<char16_t>(record_field<std::uint16_t>(record, name_at + 2 * i));
  }
  return parsed;
}

bool is_journal_unavailable(std::uint32_t error) {
  return error == kErrorJournalDeleteInProgress || error == kErrorJournalNotActive;
}

}  // namespace

Result<UsnReadResult> parse_usn_records(std::span<const std::uint8_t> buffer) {
  if (buffer.size() < kNextUsnBytes) return malformed("no next USN");
  UsnReadResult result;
  result.next_usn = record_field<std::int64_t>(buffer, 0);
  std::size_t at = kNextUsnBytes;
  while (at < buffer.size()) {
    const std::span<const std::uint8_t> rest = buffer.subspan(at);
    if (rest.size() < kHeaderBytes) return malformed("a header cut short");
    const std::uint32_t length = record_field<std::uint32_t>(rest, 0);
    if (length < kHeaderBytes || length > rest.size())
      return malformed("a length that does not fit");
    const std::span<const std::uint8_t> record = rest.first(length);
    const std::uint16_t major = record_field<std::uint16_t>(record, kMajorVersionAt);
    if (major == 2 || major == 3) {
      Result<UsnRecord> parsed = parse_record(record, major == 2 ? kV2 : kV3);
      if (!parsed) return std::move(parsed).error();
      result.records.push_back(std::move(parsed).value());
    }
    at += length;
  }
  return result;
}

JournalStep JournalCursor::after_query(const std::optional<UsnJournalState>& state) {
  // A query that works says nothing of the reads: failed reads still count towards Gone.
  if (!state) return JournalStep::Gone;
  const bool lost = started_ && (state->journal_id != journal_id_ || next_usn_ < state->first_usn);
  if (!started_ || lost) {
    started_ = true;
    journal_id_ = state->journal_id;
    next_usn_ = state->next_usn;
  }
  return lost ? JournalStep::Rescan : JournalStep::Continue;
}

JournalStep JournalCursor::after_read(const std::optional<std::int64_t>& next_usn,
                                      std::uint32_t error) {
  if (next_usn) {
    failed_reads_ = 0;
    next_usn_ = *next_usn;
    return JournalStep::Continue;
  }
  if (is_journal_unavailable(error)) return JournalStep::Gone;
  if (error == kErrorJournalEntryDeleted) {
    // The records from the cursor on were overwritten: the next query starts afresh.
    started_ = false;
    return JournalStep::Rescan;
  }
  return ++failed_reads_ >= kMaxFailedReads ? JournalStep::Gone : JournalStep::Requery;
}

}  // namespace tindral::platform
