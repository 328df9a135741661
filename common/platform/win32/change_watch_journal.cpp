// The change journal of an NTFS or ReFS volume: one reader for every root on the volume, which
// sleeps in the kernel until records arrive and keeps no state that grows with the tree.
//
// This reader has not run against a real journal in the tests: Wine has none (its volumes do
// not report FILE_SUPPORTS_USN_JOURNAL and the journal calls fail with error 50), so the watcher
// uses ReadDirectoryChangesW there. The records and the cursor are tested on buffers built by
// hand (usn_records.h); what is here follows Microsoft's documentation of the calls.

#include <algorithm>
#include <cstring>
#include <optional>
#include <utility>

#include "platform/os_error.h"
#include "platform/usn_records.h"
#include "platform/win32/change_watch_readers.h"
#include "platform/win32/wide_path.h"
// After <windows.h>: FSCTL_QUERY_USN_JOURNAL and FSCTL_READ_USN_JOURNAL.
#include <winioctl.h>

namespace tindral::platform::win32 {

namespace {

// READ_USN_JOURNAL_DATA_V1 and USN_JOURNAL_DATA_V0 (Windows 8 and later). mingw-w64 declares
// only the layouts older Windows had (READ_USN_JOURNAL_DATA, without the versions of the
// records asked for), so they are declared here under names of our own; the layouts are ABI.
struct ReadUsnJournalDataV1 {
  std::int64_t start_usn;
  DWORD reason_mask;
  DWORD return_only_on_close;
  std::uint64_t timeout;
  std::uint64_t bytes_to_wait_for;
  std::uint64_t journal_id;
  WORD min_major_version;
  WORD max_major_version;
};
static_assert(sizeof(ReadUsnJournalDataV1) == 48);

struct UsnJournalDataV0 {
  std::uint64_t journal_id;
  std::int64_t first_usn;
  std::int64_t next_usn;
  std::int64_t lowest_valid_usn;
  std::int64_t max_usn;
  std::uint64_t maximum_size;
  std::uint64_t allocation_delta;
};
static_assert(sizeof(UsnJournalDataV0) == 56);

// One read returns at most this much; more records wait in the journal for the next read.
constexpr std::size_t kBufferBytes = 64 * 1024;

// How long a read waits for a record before it returns empty and is made again.
constexpr std::uint64_t kWaitSeconds = 0xFFFFFFFF;

// Folders' final paths kept between records, so that records of one folder (a burst of new
// photos) open it once; the bound keeps it small whatever the volume does.
constexpr std::size_t kMaxKnownFolders = 256;

constexpr std::wstring_view kLongPathPrefix = L"\\\\?\\";
constexpr std::wstring_view kSharePrefix = L"\\\\?\\UNC\\";

bool equal_ignoring_case(std::wstring_view a, std::wstring_view b) {
  return a.size() == b.size() &&
         CompareStringOrdinal(a.data(), static_cast<int>(a.size()), b.data(),
                              static_cast<int>(b.size()), TRUE) == CSTR_EQUAL;
}

std::optional<std::wstring> final_path_of(HANDLE handle, DWORD flags) {
  std::wstring path(MAX_PATH, L'\0');
  for (;;) {
    const DWORD length =
        GetFinalPathNameByHandleW(handle, path.data(), static_cast<DWORD>(path.size()), flags);
    if (length == 0) return std::nullopt;
    // Too small a buffer gives the length it needs, with the terminating NUL.
    const bool fitted = length < path.size();
    path.resize(length);
    if (fitted) return path;
  }
}

// "C:\Photos" for "\\?\C:\Photos", "\\server\share" for "\\?\UNC\server\share".
std::wstring without_prefix(std::wstring path) {
  if (path.starts_with(kSharePrefix)) return L"\\\\" + path.substr(kSharePrefix.size());
  if (path.starts_with(kLongPathPrefix)) return path.substr(kLongPathPrefix.size());
  return path;
}

// The names below `root` that lead to `path`, when it lies below it (or is it).
std::optional<std::vector<std::string>> names_below(std::wstring_view root,
                                                    std::wstring_view path) {
  std::wstring_view rest;
  if (equal_ignoring_case(root, path)) return std::vector<std::string>{};
  const bool root_ends_with_separator = !root.empty() && root.back() == L'\\';
  const std::size_t prefix = root.size() + (root_ends_with_separator ? 0 : 1);
  if (path.size() <= prefix || !equal_ignoring_case(root, path.substr(0, root.size())) ||
      (!root_ends_with_separator && path[root.size()] != L'\\')) {
    return std::nullopt;
  }
  rest = path.substr(prefix);
  std::vector<std::string> names;
  while (!rest.empty()) {
    const std::size_t end = std::min(rest.find(L'\\'), rest.size());
    if (end > 0) names.push_back(wide_to_wtf8(rest.substr(0, end)));
    rest.remove_prefix(std::min(end + 1, rest.size()));
  }
  return names;
}

std::optional<ChangeKind> kind_of(std::uint32_t reasons) {
  if ((reasons & (kUsnReasonFileDelete | kUsnReasonRenameOldName)) != 0) {
    return ChangeKind::Disappeared;
  }
  if ((reasons & (kUsnReasonFileCreate | kUsnReasonRenameNewName)) != 0) {
    return ChangeKind::Appeared;
  }
  return std::nullopt;
}

class JournalReader final : public ChangeReader {
 public:
  JournalReader(ScopedFileHandle volume, ScopedFileHandle event, std::vector<JournalRoot> roots)
      : volume_(std::move(volume)),
        event_(std::move(event)),
        roots_(std::move(roots)),
        buffer_(kBufferBytes / sizeof(std::uint64_t)) {}

  // The buffer and the OVERLAPPED must outlive a read in flight.
  ~JournalReader() override {
    if (!pending_) return;
    CancelIoEx(volume_.get(), &overlapped_);
    DWORD bytes = 0;
    GetOverlappedResult(volume_.get(), &overlapped_, &bytes, TRUE);
  }

  HANDLE event() const override { return event_.get(); }
  ChangeSource source() const override { return ChangeSource::UsnJournal; }
  std::vector<std::size_t> roots() const override {
    std::vector<std::size_t> roots;
    for (const JournalRoot& root : roots_) roots.push_back(root.root);
    return roots;
  }

  // The first query, which places the cursor at the journal's end.
  Result<void> begin() {
    std::optional<UsnJournalState> state = query();
    if (!state) return last_os_error().wrap("the volume's change journal could not be queried");
    static_cast<void>(cursor_.after_query(state));
    if (const DWORD error = start(); error != 0) {
      return os_error(error).wrap("the volume's change journal could not be read");
    }
    return {};
  }

  bool read_on(HeldChanges& held) override {
    DWORD bytes = 0;
    JournalStep step;
    if (GetOverlappedResult(volume_.get(), &overlapped_, &bytes, FALSE)) {
      pending_ = false;
      step = take_records(bytes, held);
    } else {
      const DWORD error = GetLastError();
      if (error == ERROR_IO_INCOMPLETE) return true;
      pending_ = false;
      step = cursor_.after_read(std::nullopt, error);
    }
    return go_on(step, held);
  }

 private:
  // Until a read is in flight or the journal is given up. Every way round the loop either
  // starts a read, counts a failed one (three in a row are Gone) or queries (a failed query is
  // Gone), so it ends.
  bool go_on(JournalStep step, HeldChanges& held) {
    for (;;) {
      switch (step) {
        case JournalStep::Gone:
          rescan_all(held);
          return false;
        case JournalStep::Rescan:
          rescan_all(held);
          step = cursor_.after_query(query());
          break;
        case JournalStep::Requery:
          step = cursor_.after_query(query());
          break;
        case JournalStep::Continue:
          if (const DWORD error = start(); error != 0) {
            step = cursor_.after_read(std::nullopt, error);
            break;
          }
          return true;
      }
    }
  }

  std::optional<UsnJournalState> query() {
    UsnJournalDataV0 data{};
    DWORD bytes = 0;
    OVERLAPPED overlapped{};
    overlapped.hEvent = event_.get();
    if (!DeviceIoControl(volume_.get(), FSCTL_QUERY_USN_JOURNAL, nullptr, 0, &data, sizeof data,
                         nullptr, &overlapped) &&
        GetLastError() != ERROR_IO_PENDING) {
      return std::nullopt;
    }
    if (!GetOverlappedResult(volume_.get(), &overlapped, &bytes, TRUE) || bytes < sizeof data) {
      return std::nullopt;
    }
    return UsnJournalState{data.journal_id, data.first_usn, data.next_usn};
  }

  // Starts a read from the cursor that returns once a record has been written (BytesToWaitFor)
  // and asks only for the reasons the watcher maps, each as it happens rather than when the
  // file is closed: the error code it failed with, or 0.
  DWORD start() {
    request_ = ReadUsnJournalDataV1{};
    request_.start_usn = cursor_.next_usn();
    request_.reason_mask = kUsnReasonsWatched;
    request_.return_only_on_close = FALSE;
    // The wait for BytesToWaitFor is bounded by Timeout, in seconds; a zero there may be read as
    // no wait at all, which would make the reader spin, so it is the longest 32-bit wait.
    request_.timeout = kWaitSeconds;
    request_.bytes_to_wait_for = 1;
    request_.journal_id = cursor_.journal_id();
    request_.min_major_version = 2;
    request_.max_major_version = 3;
    overlapped_ = OVERLAPPED{};
    overlapped_.hEvent = event_.get();
    ResetEvent(event_.get());
    if (!DeviceIoControl(volume_.get(), FSCTL_READ_USN_JOURNAL, &request_, sizeof request_,
                         buffer_.data(), static_cast<DWORD>(buffer_.size() * sizeof buffer_[0]),
                         nullptr, &overlapped_)) {
      const DWORD error = GetLastError();
      if (error != ERROR_IO_PENDING) return error;
    }
    pending_ = true;
    return 0;
  }

  JournalStep take_records(DWORD bytes, HeldChanges& held) {
    const auto* filled = reinterpret_cast<const std::uint8_t*>(buffer_.data());
    Result<UsnReadResult> parsed = parse_usn_records({filled, bytes});
    if (!parsed) {
      // What the records said is lost: the roots are walked again.
      rescan_all(held);
      return cursor_.after_read(std::nullopt, ERROR_INVALID_DATA);
    }
    for (const UsnRecord& record : parsed->records) take_record(record, held);
    return cursor_.after_read(parsed->next_usn);
  }

  void take_record(const UsnRecord& record, HeldChanges& held) {
    // A folder renamed or deleted changes the paths of everything below it.
    if (record.is_directory && (record.reasons & (kUsnReasonFileDelete | kUsnReasonRenameOldName |
                                                  kUsnReasonRenameNewName)) != 0) {
      known_folders_.clear();
    }
    const std::optional<ChangeKind> kind = kind_of(record.reasons);
    if (!kind) return;
    const std::wstring wide_name(record.name.begin(), record.name.end());
    std::string name = wide_to_wtf8(wide_name);
    if (name.empty() || is_service_file_name(name)) return;
    const std::optional<std::wstring>& parent = folder_path(record.parent);
    if (!parent) return;
    for (const JournalRoot& root : roots_) {
      std::optional<std::vector<std::string>> names = names_below(root.location, *parent);
      if (!names) continue;
      names->push_back(name);
      held.add(Change{root.root, *kind, std::move(*names)});
    }
  }

  // The final path of the folder with reference `reference`, opened by its id with no right but
  // to read its attributes; nothing when it is gone or cannot be opened (a folder the service
  // may not read the attributes of is one its walks do not enter either).
  const std::optional<std::wstring>& folder_path(const FileReference& reference) {
    for (const auto& [known, path] : known_folders_) {
      if (known == reference) return path;
    }
    if (known_folders_.size() >= kMaxKnownFolders) known_folders_.clear();
    FILE_ID_DESCRIPTOR id{};
    id.dwSize = sizeof id;
    if (reference.high == 0) {
      id.Type = FileIdType;
      id.FileId.QuadPart = static_cast<LONGLONG>(reference.low);
    } else {
      id.Type = ExtendedFileIdType;
      std::memcpy(id.ExtendedFileId.Identifier, &reference.low, 8);
      std::memcpy(id.ExtendedFileId.Identifier + 8, &reference.high, 8);
    }
    std::optional<std::wstring> path;
    ScopedFileHandle folder(OpenFileById(volume_.get(), &id, FILE_READ_ATTRIBUTES,
                                         FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                         nullptr, FILE_FLAG_BACKUP_SEMANTICS));
    if (folder) {
      path = final_path_of(folder.get(), FILE_NAME_NORMALIZED | VOLUME_NAME_DOS);
      if (path) path = without_prefix(std::move(*path));
    }
    known_folders_.emplace_back(reference, std::move(path));
    return known_folders_.back().second;
  }

  void rescan_all(HeldChanges& held) {
    for (const JournalRoot& root : roots_) held.add(Change{root.root, ChangeKind::Rescan, {}});
  }

  ScopedFileHandle volume_;
  ScopedFileHandle event_;
  std::vector<JournalRoot> roots_;
  JournalCursor cursor_;
  // USN records are 8-byte aligned.
  std::vector<std::uint64_t> buffer_;
  ReadUsnJournalDataV1 request_{};
  OVERLAPPED overlapped_{};
  bool pending_ = false;
  std::vector<std::pair<FileReference, std::optional<std::wstring>>> known_folders_;
};

// "\\?\Volume{GUID}" for a folder on that volume, which opens the volume itself.
std::optional<std::wstring> volume_of(HANDLE folder) {
  std::optional<std::wstring> path = final_path_of(folder, FILE_NAME_NORMALIZED | VOLUME_NAME_GUID);
  if (!path || !path->starts_with(kLongPathPrefix)) return std::nullopt;
  const std::size_t end = path->find(L'\\', kLongPathPrefix.size());
  if (end == std::wstring::npos) return std::nullopt;
  return path->substr(0, end);
}

}  // namespace

std::optional<DWORD> journal_volume(HANDLE folder) {
  DWORD serial = 0;
  DWORD flags = 0;
  if (!GetVolumeInformationByHandleW(folder, nullptr, 0, &serial, nullptr, &flags, nullptr, 0) ||
      (flags & FILE_SUPPORTS_USN_JOURNAL) == 0) {
    return std::nullopt;
  }
  return serial;
}

Result<std::unique_ptr<ChangeReader>> read_journal(HANDLE folder, std::vector<JournalRoot> roots) {
  const std::optional<std::wstring> volume_path = volume_of(folder);
  if (!volume_path) return Error("the volume of the root has no name to open it by");
  ScopedFileHandle volume(CreateFileW(volume_path->c_str(), GENERIC_READ,
                                      FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                                      FILE_FLAG_OVERLAPPED, nullptr));
  if (!volume) return last_os_error().wrap("the volume could not be opened");
  ScopedFileHandle event(CreateEventW(nullptr, TRUE, FALSE, nullptr));
  if (!event) return last_os_error();
  auto reader =
      std::make_unique<JournalReader>(std::move(volume), std::move(event), std::move(roots));
  if (Result<void> begun = reader->begin(); !begun) return std::move(begun).error();
  return std::unique_ptr<ChangeReader>(std::move(reader));
}

}  // namespace tindral::platform::win32
