// The change journal's records and the cursor through it, against buffers built by hand as
// NTFS (USN_RECORD_V2) and ReFS (USN_RECORD_V3) fill them: Wine has no journal to read.

#include "platform/usn_records.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace tindral::platform {
namespace {

struct Built {
  int major;
  UsnRecord record;
};

class Buffer {
 public:
  explicit Buffer(std::int64_t next_usn) { put(next_usn); }

  // One record in the layout of its major version, padded to 8 bytes as the volume pads it.
  Buffer& add(int major, const UsnRecord& record) {
    const std::size_t start = bytes_.size();
    put(std::uint32_t{0});
    put(static_cast<std::uint16_t>(major));
    put(std::uint16_t{0});
    put(record.file.low);
    if (major == 3) put(record.file.high);
    put(record.parent.low);
    if (major == 3) put(record.parent.high);
    put(std::int64_t{4096});                   // Usn
    put(std::int64_t{0});                      // TimeStamp
    put(record.reasons);                       // Reason
    put(std::uint32_t{0});                     // SourceInfo
    put(std::uint32_t{0});                     // SecurityId
    put(record.is_directory ? 0x10u : 0x20u);  // FileAttributes
    put(static_cast<std::uint16_t>(record.name.size() * 2));
    put(static_cast<std::uint16_t>(bytes_.size() - start + 2));
    for (char16_t c : record.name) put(static_cast<std::uint16_t>(c));
    while ((bytes_.size() - start) % 8 != 0) bytes_.push_back(0);
    set_u32(start, static_cast<std::uint32_t>(bytes_.size() - start));
    return *this;
  }

  // A record of a version the parser does not read (4 carries ranges), of `length` bytes.
  Buffer& add_other_version(std::uint16_t major, std::uint32_t length) {
    put(length);
    put(major);
    bytes_.resize(bytes_.size() + length - 6, 0xAB);
    return *this;
  }

  std::vector<std::uint8_t>& bytes() { return bytes_; }

  void set_u32(std::size_t at, std::uint32_t value) {
    for (int i = 0; i < 4; ++i) bytes_[at + i] = static_cast<std::uint8_t>(value >> (8 * i));
  }
  void set_u16(std::size_t at, std::uint16_t value) {
    bytes_[at] = static_cast<std::uint8_t>(value);
    bytes_[at + 1] = static_cast<std::uint8_t>(value >> 8);
  }

 private:
  template <class T>
  void put(T value) {
    for (std::size_t i = 0; i < sizeof value; ++i) {
      bytes_.push_back(static_cast<std::uint8_t>(static_cast<std::uint64_t>(value) >> (8 * i)));
    }
  }
  std::vector<std::uint8_t> bytes_;
};

const std::vector<Built> kRecords = {
    {2, {{0x0005000000001234, 0}, {0x0001000000000005, 0}, kUsnReasonFileCreate, true, u"Photos"}},
    {3,
     {{0x1111222233334444, 0x5555666677778888},
      {0x0102030405060708, 0x090A0B0C0D0E0F10},
      kUsnReasonFileCreate,
      false,
      u"p\u00e4iv\u00e4.jpg"}},
    {2, {{7, 0}, {5, 0}, kUsnReasonFileDelete | 0x80000000u, false, u"old.txt"}},
    {2, {{8, 0}, {5, 0}, kUsnReasonRenameOldName, true, u"a"}},
    {3, {{8, 0}, {9, 1}, kUsnReasonRenameNewName, true, u"b\xD800"}},
    {2, {{10, 0}, {5, 0}, kUsnReasonFileCreate, false, u""}},
};

TEST(UsnRecords, RecordsOfBothVersionsAreReadAsTheVolumeWroteThem) {
  Buffer buffer(0x7FFF000000000010);
  for (std::size_t i = 0; i < kRecords.size(); ++i) {
    buffer.add(kRecords[i].major, kRecords[i].record);
    if (i == 2) buffer.add_other_version(4, 48);
  }
  const Result<UsnReadResult> parsed = parse_usn_records(buffer.bytes());
  ASSERT_TRUE(parsed) << parsed.error().message();
  EXPECT_EQ(parsed->next_usn, 0x7FFF000000000010);
  ASSERT_EQ(parsed->records.size(), kRecords.size());
  for (std::size_t i = 0; i < kRecords.size(); ++i) {
    EXPECT_EQ(parsed->records[i], kRecords[i].record) << "record " << i;
  }
}

TEST(UsnRecords, ABufferWithNoRecordsGivesTheNextUsnAlone) {
  const Result<UsnReadResult> parsed = parse_usn_records(Buffer(42).bytes());
  ASSERT_TRUE(parsed);
  EXPECT_EQ(parsed->next_usn, 42);
  EXPECT_TRUE(parsed->records.empty());
}

TEST(UsnRecords, ABufferCutShortOrWithLengthsThatDoNotFitIsAnError) {
  Buffer whole(1);
  whole.add(2, kRecords[0].record).add(3, kRecords[1].record);
  const std::size_t second = 8 + whole.bytes()[8];  // where the second record begins
  // Every cut that is not at a record's end falls inside a record.
  for (std::size_t size = 0; size < whole.bytes().size(); ++size) {
    const std::span<const std::uint8_t> cut(whole.bytes().data(), size);
    const bool at_record_end = size == 8 || size == second;
    EXPECT_EQ(parse_usn_records(cut).ok(), at_record_end) << "cut at " << size;
  }

  struct Corruption {
    const char* what;
    std::size_t at;
    std::uint32_t value;
    bool is_u16;
  };
  // Offsets in a V2 record that begins at 8: its length, name length and name offset.
  const Corruption corruptions[] = {
      {"a length of zero", 8, 0, false},
      {"a length shorter than the header", 8, 4, false},
      {"a length past the buffer", 8, 0x10000, false},
      {"a name offset inside the fixed part", 8 + 58, 8, true},
      {"a name offset past the record", 8 + 58, 0x2000, true},
      {"a name longer than the record", 8 + 56, 0x1000, true},
      {"a name of an odd length", 8 + 56, 3, true},
  };
  for (const Corruption& corruption : corruptions) {
    Buffer buffer(1);
    buffer.add(2, kRecords[0].record);
    if (corruption.is_u16) {
      buffer.set_u16(corruption.at, static_cast<std::uint16_t>(corruption.value));
    } else {
      buffer.set_u32(corruption.at, corruption.value);
    }
    const Result<UsnReadResult> parsed = parse_usn_records(buffer.bytes());
    ASSERT_FALSE(parsed) << corruption.what;
    EXPECT_EQ(parsed.error().kind(), ErrorKind::InvalidData) << corruption.what;
  }
}

// One step of the watcher's life with a journal: a query (its state, or nothing when it failed)
// or a read (the next USN it returned, or the error it failed with).
struct Step {
  const char* what;
  std::optional<UsnJournalState> query;
  std::optional<std::int64_t> read_next;
  std::uint32_t read_error;
  JournalStep expected;
  std::int64_t next_usn_after;
};

Step query(const char* what, UsnJournalState state, JournalStep expected, std::int64_t next) {
  return {what, state, std::nullopt, 0, expected, next};
}
Step read(const char* what, std::int64_t next_usn) {
  return {what, std::nullopt, next_usn, 0, JournalStep::Continue, next_usn};
}
Step failed_read(const char* what, std::uint32_t error, JournalStep expected, std::int64_t next) {
  return {what, std::nullopt, std::nullopt, error, expected, next};
}

void run(const std::vector<Step>& steps) {
  JournalCursor cursor;
  for (const Step& step : steps) {
    const JournalStep got = step.query || (!step.read_next && step.read_error == 0)
                                ? cursor.after_query(step.query)
                                : cursor.after_read(step.read_next, step.read_error);
    EXPECT_EQ(got, step.expected) << step.what;
    EXPECT_EQ(cursor.next_usn(), step.next_usn_after) << step.what;
  }
}

TEST(JournalCursor, LostRecordsMeanOneRescanAndReadingOnFromTheJournalsEnd) {
  constexpr std::uint32_t kOtherError = 87;
  run({
      query("the first query starts at the end", {7, 100, 5000}, JournalStep::Continue, 5000),
      read("a read moves the cursor", 5600),
      query("a query of the same journal keeps it", {7, 200, 9000}, JournalStep::Continue, 5600),
      failed_read("a wrap", kErrorJournalEntryDeleted, JournalStep::Rescan, 5600),
      query("after it the journal's end", {7, 8000, 9100}, JournalStep::Continue, 9100),
      query("a journal that was made anew", {8, 0, 300}, JournalStep::Rescan, 300),
      query("and its records then", {8, 0, 400}, JournalStep::Continue, 300),
      query("records before the cursor overwritten", {8, 350, 900}, JournalStep::Rescan, 900),
      failed_read("another error", kOtherError, JournalStep::Requery, 900),
      failed_read("again", kOtherError, JournalStep::Requery, 900),
      read("a read that works forgives them", 950),
      failed_read("another error", kOtherError, JournalStep::Requery, 950),
      failed_read("again", kOtherError, JournalStep::Requery, 950),
      failed_read("a third in a row", kOtherError, JournalStep::Gone, 950),
  });
}

TEST(JournalCursor, AJournalDeletedOrNotThereIsGone) {
  for (const std::uint32_t error : {kErrorJournalDeleteInProgress, kErrorJournalNotActive}) {
    run({query("start", {7, 0, 10}, JournalStep::Continue, 10),
         failed_read("deleted", error, JournalStep::Gone, 10)});
  }
  run({query("start", {7, 0, 10}, JournalStep::Continue, 10),
       {"a query that fails", std::nullopt, std::nullopt, 0, JournalStep::Gone, 10}});
}

}  // namespace
}  // namespace tindral::platform
