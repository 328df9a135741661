// ReadDirectoryChangesW on a root where there is no change journal: network shares, FAT and
// exFAT, and Wine, which has no journal at all.

#include <utility>

#include "platform/os_error.h"
#include "platform/record_fields.h"
#include "platform/win32/change_watch_readers.h"
#include "platform/win32/folder_handle.h"
#include "platform/win32/wide_path.h"

namespace tindral::platform::win32 {

namespace {

// What the watch asks for: names of files and folders appearing, going and being renamed.
constexpr DWORD kNotifyFilter = FILE_NOTIFY_CHANGE_FILE_NAME | FILE_NOTIFY_CHANGE_DIR_NAME;

// The largest buffer a watch over the network may have; the changes that do not fit in it come
// as one overflow, which rescans the root.
constexpr std::size_t kBufferBytes = 64 * 1024;

// The layout of FILE_NOTIFY_INFORMATION: the offset of the next entry (0 for the last), the
// action, the name's length in bytes, and the name, relative to the watched folder.
constexpr std::size_t kNotifyHeaderBytes = 12;

Change rescan(std::size_t root) { return Change{root, ChangeKind::Rescan, {}}; }

std::vector<std::string> names_of(std::span<const std::uint8_t> name_bytes) {
  std::wstring wide(name_bytes.size() / 2, L'\0');
  for (std::size_t i = 0; i < wide.size(); ++i) {
    wide[i] = static_cast<wchar_t>(record_field<std::uint16_t>(name_bytes, 2 * i));
  }
  std::vector<std::string> names;
  std::size_t begin = 0;
  while (begin <= wide.size()) {
    std::size_t end = wide.find(L'\\', begin);
    if (end == std::wstring::npos) end = wide.size();
    if (end > begin) {
      names.push_back(wide_to_wtf8(std::wstring_view(wide).substr(begin, end - begin)));
    }
    begin = end + 1;
  }
  return names;
}

std::optional<ChangeKind> kind_of(DWORD action) {
  switch (action) {
    case FILE_ACTION_ADDED:
    case FILE_ACTION_RENAMED_NEW_NAME:
      return ChangeKind::Appeared;
    case FILE_ACTION_REMOVED:
    case FILE_ACTION_RENAMED_OLD_NAME:
      return ChangeKind::Disappeared;
    default:
      return std::nullopt;
  }
}

class DirectoryReader final : public ChangeReader {
 public:
  DirectoryReader(std::size_t root, ScopedFileHandle folder, ScopedFileHandle event)
      : root_(root),
        folder_(std::move(folder)),
        event_(std::move(event)),
        buffer_(kBufferBytes / sizeof(DWORD)) {}

  // The buffer and the OVERLAPPED must outlive a read in flight.
  ~DirectoryReader() override {
    if (!pending_) return;
    CancelIoEx(folder_.get(), &overlapped_);
    DWORD bytes = 0;
    GetOverlappedResult(folder_.get(), &overlapped_, &bytes, TRUE);
  }

  HANDLE event() const override { return event_.get(); }
  std::vector<std::size_t> roots() const override { return {root_}; }
  ChangeSource source() const override { return ChangeSource::DirectoryChanges; }

  // Starts a read; the error code it failed with, or 0.
  DWORD start() {
    overlapped_ = OVERLAPPED{};
    overlapped_.hEvent = event_.get();
    ResetEvent(event_.get());
    if (!ReadDirectoryChangesW(folder_.get(), buffer_.data(),
                               static_cast<DWORD>(buffer_.size() * sizeof(DWORD)), TRUE,
                               kNotifyFilter, nullptr, &overlapped_, nullptr)) {
      return GetLastError();
    }
    pending_ = true;
    return 0;
  }

  bool read_on(HeldChanges& held) override {
    DWORD bytes = 0;
    const bool succeeded = GetOverlappedResult(folder_.get(), &overlapped_, &bytes, FALSE);
    const DWORD error = succeeded ? 0 : GetLastError();
    if (!succeeded && error == ERROR_IO_INCOMPLETE) return true;
    pending_ = false;
    const auto* filled = reinterpret_cast<const std::uint8_t*>(buffer_.data());
    for (Change& change : directory_changes(root_, succeeded, {filled, bytes})) {
      held.add(std::move(change));
    }
    // A watch that failed for another reason than an overflow (the root deleted, the share
    // gone) would fail again at once: the rescan it brought is the last word until the roots
    // are watched anew.
    if (!succeeded && error != ERROR_NOTIFY_ENUM_DIR) return false;
    DWORD started = start();
    if (started == ERROR_NOTIFY_ENUM_DIR) {
      held.add(rescan(root_));
      started = start();
    }
    if (started == 0) return true;
    held.add(rescan(root_));
    return false;
  }

 private:
  std::size_t root_;
  ScopedFileHandle folder_;
  ScopedFileHandle event_;
  // FILE_NOTIFY_INFORMATION entries are DWORD-aligned.
  std::vector<DWORD> buffer_;
  OVERLAPPED overlapped_{};
  bool pending_ = false;
};

}  // namespace

std::vector<Change> directory_changes(std::size_t root, bool succeeded,
                                      std::span<const std::uint8_t> filled) {
  // Windows says that changes were lost with success and no bytes, Wine with
  // ERROR_NOTIFY_ENUM_DIR; any other failure leaves the watch's changes unknown as well.
  if (!succeeded || filled.empty()) return {rescan(root)};
  std::vector<Change> changes;
  std::size_t at = 0;
  for (;;) {
    if (filled.size() - at < kNotifyHeaderBytes) return {rescan(root)};
    const auto next = record_field<std::uint32_t>(filled, at);
    const auto action = record_field<std::uint32_t>(filled, at + 4);
    const auto name_bytes = record_field<std::uint32_t>(filled, at + 8);
    if (name_bytes % 2 != 0 || name_bytes > filled.size() - at - kNotifyHeaderBytes) {
      return {rescan(root)};
    }
    const std::optional<ChangeKind> kind = kind_of(action);
    if (kind) {
      std::vector<std::string> names =
          names_of(filled.subspan(at + kNotifyHeaderBytes, name_bytes));
      if (!names.empty() && !is_service_file_name(names.back())) {
        changes.push_back(Change{root, *kind, std::move(names)});
      }
    }
    if (next == 0) return changes;
    if (next < kNotifyHeaderBytes + name_bytes || next > filled.size() - at) {
      return {rescan(root)};
    }
    at += next;
  }
}

Result<std::unique_ptr<ChangeReader>> watch_directory(std::size_t root, HANDLE folder) {
  // A handle of its own for the watch, opened through the root's handle, so that it is the very
  // folder the walk has open.
  Result<ScopedFileHandle> opened = reopen_for_overlapped_io(folder, FILE_LIST_DIRECTORY);
  if (!opened) return std::move(opened).error().wrap("the root could not be opened for a watch");
  ScopedFileHandle event(CreateEventW(nullptr, TRUE, FALSE, nullptr));
  if (!event) return last_os_error();
  auto reader =
      std::make_unique<DirectoryReader>(root, std::move(opened).value(), std::move(event));
  if (const DWORD error = reader->start(); error != 0) {
    return os_error(error).wrap("ReadDirectoryChangesW failed");
  }
  return std::unique_ptr<ChangeReader>(std::move(reader));
}

}  // namespace tindral::platform::win32
