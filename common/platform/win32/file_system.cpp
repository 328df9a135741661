// The Windows file system through the wide-character API. Every path passes widen_path, the one
// place that converts WTF-8 to UTF-16 and adds the long-path prefix; names come back through
// wide_to_wtf8, so a name with an unpaired surrogate can be listed and then opened.

#include <algorithm>
#include <string>
#include <utility>
#include <vector>

#include "platform/file_system.h"
#include "platform/os_error.h"
#include "platform/win32/wide_path.h"
#include "platform/win32/windows_api.h"

namespace tindral::platform {

namespace {

using win32::ScopedFileHandle;
using win32::ScopedFindHandle;
using win32::widen_path;

// Other programs (Explorer, a virus scanner, the user's editor) may read, change or delete a
// file the service has open; the service never needs to lock anybody out.
constexpr DWORD kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;

// ReadFile and WriteFile count in 32 bits.
constexpr std::size_t kMaxIoSlice = 1u << 30;

bool is_dot_or_dot_dot(const wchar_t* name) {
  return name[0] == L'.' && (name[1] == L'\0' || (name[1] == L'.' && name[2] == L'\0'));
}

void fill_entry(const WIN32_FIND_DATAW& data, DirEntry& entry) {
  entry.name = win32::wide_to_wtf8(data.cFileName);
  entry.attributes = data.dwFileAttributes;
  // The listing carries the reparse tag in dwReserved0, so links are recognised without opening
  // them (Wine leaves it 0 for the Unix links it shows as reparse points).
  entry.reparse_tag = (data.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0
                          ? static_cast<std::uint32_t>(data.dwReserved0)
                          : 0;
}

class Win32DirListing final : public DirListing {
 public:
  // A listing without a handle is an empty one.
  Win32DirListing() = default;
  Win32DirListing(ScopedFindHandle search, const WIN32_FIND_DATAW& first)
      : search_(std::move(search)), data_(first), first_pending_(true) {}

  Result<bool> next(DirEntry& entry) override {
    if (!search_) return false;
    for (;;) {
      if (first_pending_) {
        first_pending_ = false;
      } else if (!FindNextFileW(search_.get(), &data_)) {
        const DWORD code = GetLastError();
        if (code == ERROR_NO_MORE_FILES) return false;
        return os_error(code);
      }
      if (is_dot_or_dot_dot(data_.cFileName)) continue;
      fill_entry(data_, entry);
      return true;
    }
  }

 private:
  ScopedFindHandle search_;
  WIN32_FIND_DATAW data_{};
  bool first_pending_ = false;
};

class Win32WritableFile final : public WritableFile {
 public:
  explicit Win32WritableFile(ScopedFileHandle file) : file_(std::move(file)) {}

  // Synchronous WriteFile is never interrupted; it may accept less than asked, though.
  Result<void> write_all(std::string_view data) override {
    while (!data.empty()) {
      DWORD written = 0;
      const auto slice = static_cast<DWORD>(std::min(data.size(), kMaxIoSlice));
      if (!WriteFile(file_.get(), data.data(), slice, &written, nullptr)) return last_os_error();
      if (written == 0) return Error("failed to write whole buffer");
      data.remove_prefix(written);
    }
    return {};
  }

 private:
  ScopedFileHandle file_;
};

// FILE_ATTRIBUTE_NORMAL is the documented way to ask for no attributes; 0 is not.
DWORD attributes_or_normal(DWORD attributes) {
  return attributes != 0 ? attributes : FILE_ATTRIBUTE_NORMAL;
}

bool is_folder(const std::wstring& path) {
  const DWORD attributes = GetFileAttributesW(path.c_str());
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

// The parent folder of a path, or an empty path when there is none. A drive root ("C:\") and
// the root of the current drive ("\") keep their separator, which they need to stay roots.
Path parent_of(const Path& path) {
  std::string_view bytes = path.bytes();
  while (bytes.size() > 1 && is_separator(bytes.back())) bytes.remove_suffix(1);
  const std::size_t last = bytes.find_last_of("\\/");
  if (last == std::string_view::npos) return Path();
  const bool is_root = last == 0 || bytes[last - 1] == ':';
  return Path(std::string(bytes.substr(0, is_root ? last + 1 : last)));
}

// CreateDirectoryW fails on every existing name, and on a drive or share root with
// ERROR_ACCESS_DENIED rather than ERROR_ALREADY_EXISTS; either is success when a folder is there.
Result<void> create_folder(const Path& folder) {
  auto wide = widen_path(folder);
  if (!wide) return std::move(wide).error();
  if (CreateDirectoryW(wide->c_str(), nullptr)) return {};
  const DWORD code = GetLastError();
  if (is_folder(*wide)) return {};
  return os_error(code);
}

// The classic deletion, for Windows before 10 1809 and file systems without POSIX deletion:
// DeleteFileW refuses a READONLY file, so the bit comes off first, and back on if the file stays.
Result<void> delete_clearing_readonly(const std::wstring& file) {
  const DWORD attributes = GetFileAttributesW(file.c_str());
  const bool readonly =
      attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_READONLY) != 0;
  if (readonly && !SetFileAttributesW(
                      file.c_str(), attributes_or_normal(attributes & ~FILE_ATTRIBUTE_READONLY))) {
    return last_os_error();
  }
  if (DeleteFileW(file.c_str())) return {};
  Error error = last_os_error();
  if (readonly) SetFileAttributesW(file.c_str(), attributes);
  return error;
}

// What SetFileInformationByHandle answers where FileDispositionInfoEx or one of its flags is
// unknown (Windows before 10 1809, FAT, network file systems; Wine always says 87).
bool disposition_ex_unsupported(DWORD code) {
  return code == ERROR_INVALID_PARAMETER || code == ERROR_INVALID_FUNCTION ||
         code == ERROR_NOT_SUPPORTED;
}

class Win32FileSystem final : public FileSystem {
 public:
  Result<std::unique_ptr<DirListing>> open_listing(const Path& folder) override {
    auto pattern = widen_path(folder.child("*"));
    if (!pattern) return std::move(pattern).error();
    WIN32_FIND_DATAW first{};
    // The basic information level skips the 8.3 names, and the large fetch asks for bigger
    // batches per kernel call; both speed up a walk of big trees.
    ScopedFindHandle search(FindFirstFileExW(pattern->c_str(), FindExInfoBasic, &first,
                                             FindExSearchNameMatch, nullptr,
                                             FIND_FIRST_EX_LARGE_FETCH));
    if (search) {
      return std::unique_ptr<DirListing>(
          std::make_unique<Win32DirListing>(std::move(search), first));
    }
    const DWORD code = GetLastError();
    // Only a drive root lacks "." and "..", so an empty root matches nothing at all.
    if (code == ERROR_FILE_NOT_FOUND) {
      auto wide_folder = widen_path(folder);
      if (wide_folder && is_folder(*wide_folder)) {
        return std::unique_ptr<DirListing>(std::make_unique<Win32DirListing>());
      }
    }
    return os_error(code);
  }

  Result<std::uint32_t> get_attributes(const Path& path) override {
    auto wide = widen_path(path);
    if (!wide) return std::move(wide).error();
    const DWORD attributes = GetFileAttributesW(wide->c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES) return last_os_error();
    return static_cast<std::uint32_t>(attributes);
  }

  Result<void> set_attributes(const Path& path, std::uint32_t attributes) override {
    auto wide = widen_path(path);
    if (!wide) return std::move(wide).error();
    if (!SetFileAttributesW(wide->c_str(), attributes_or_normal(attributes))) {
      return last_os_error();
    }
    return {};
  }

  // Without FILE_FLAG_BACKUP_SEMANTICS a folder cannot be opened, so reading one fails.
  Result<std::string> read_file(const Path& path) override {
    auto wide = widen_path(path);
    if (!wide) return std::move(wide).error();
    ScopedFileHandle file(CreateFileW(wide->c_str(), GENERIC_READ, kShareAll, nullptr,
                                      OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file) return last_os_error();

    // Room for the size the file has now and one byte more, so that the read that finds the
    // end needs no growth; a file that grows meanwhile is still read to its end.
    std::string content;
    LARGE_INTEGER size{};
    const std::size_t expected =
        GetFileSizeEx(file.get(), &size) ? static_cast<std::size_t>(size.QuadPart) : 0;
    content.resize(expected + 1);
    std::size_t filled = 0;
    for (;;) {
      if (filled == content.size()) content.resize(content.size() * 2);
      DWORD got = 0;
      const auto slice = static_cast<DWORD>(std::min(content.size() - filled, kMaxIoSlice));
      if (!ReadFile(file.get(), content.data() + filled, slice, &got, nullptr)) {
        return last_os_error();
      }
      if (got == 0) break;
      filled += got;
    }
    content.resize(filled);
    return content;
  }

  // CreateFileW documents that CREATE_ALWAYS with FILE_ATTRIBUTE_NORMAL fails with
  // ERROR_ACCESS_DENIED on an existing file that has FILE_ATTRIBUTE_HIDDEN or
  // FILE_ATTRIBUTE_SYSTEM unless the same attributes are passed (TRUNCATE_EXISTING goes through
  // the same overwrite check), and desktop.ini carries both. OPEN_ALWAYS makes no such check, so
  // the file is opened as it is and cut to zero length with SetEndOfFile at offset 0. READONLY
  // is still refused: the open for GENERIC_WRITE fails with ERROR_ACCESS_DENIED (Wine, run as
  // root, opens it anyway).
  Result<std::unique_ptr<WritableFile>> create_or_truncate(const Path& path) override {
    auto wide = widen_path(path);
    if (!wide) return std::move(wide).error();
    ScopedFileHandle file(CreateFileW(wide->c_str(), GENERIC_WRITE, kShareAll, nullptr, OPEN_ALWAYS,
                                      FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file) return last_os_error();
    if (!SetEndOfFile(file.get())) return last_os_error();
    return std::unique_ptr<WritableFile>(std::make_unique<Win32WritableFile>(std::move(file)));
  }

  // Windows 10 1809 deletes a READONLY file in one call when asked to ignore the attribute, and
  // POSIX semantics take the name away at once even while others still have the file open. The
  // reparse point itself is opened, so that a link is deleted rather than its target, as
  // DeleteFileW does.
  Result<void> delete_file(const Path& path) override {
    auto wide = widen_path(path);
    if (!wide) return std::move(wide).error();
    {
      ScopedFileHandle file(CreateFileW(wide->c_str(), DELETE, kShareAll, nullptr, OPEN_EXISTING,
                                        FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
      if (!file) return last_os_error();
      win32::FileDispositionInfoEx disposition{win32::kDispositionDelete |
                                               win32::kDispositionPosixSemantics |
                                               win32::kDispositionIgnoreReadonly};
      if (SetFileInformationByHandle(file.get(), win32::kFileDispositionInfoEx, &disposition,
                                     sizeof disposition)) {
        return {};
      }
      const DWORD code = GetLastError();
      if (!disposition_ex_unsupported(code)) return os_error(code);
    }
    return delete_clearing_readonly(*wide);
  }

  // GetFileAttributesW describes a link rather than its target; only then is the target opened
  // (which fails for a dangling link, as it should), so the common case costs one call.
  Result<FileType> file_type(const Path& path) override {
    auto wide = widen_path(path);
    if (!wide) return std::move(wide).error();
    DWORD attributes = GetFileAttributesW(wide->c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES) return last_os_error();
    if ((attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0) {
      ScopedFileHandle target(CreateFileW(wide->c_str(), 0, kShareAll, nullptr, OPEN_EXISTING,
                                          FILE_FLAG_BACKUP_SEMANTICS, nullptr));
      if (!target) return last_os_error();
      BY_HANDLE_FILE_INFORMATION information{};
      if (!GetFileInformationByHandle(target.get(), &information)) return last_os_error();
      attributes = information.dwFileAttributes;
    }
    return (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0 ? FileType::Directory : FileType::File;
  }

  // Walks up only as far as folders are missing (CreateDirectoryW says ERROR_PATH_NOT_FOUND
  // when the parent is), then creates them top down.
  Result<void> create_folders(const Path& folder) override {
    std::vector<Path> missing;
    Path current = folder;
    for (;;) {
      auto created = create_folder(current);
      if (created) break;
      if (created.error().os_code() != ERROR_PATH_NOT_FOUND) return created;
      Path parent = parent_of(current);
      if (parent.empty() || parent == current) return created;
      missing.push_back(std::move(current));
      current = std::move(parent);
    }
    for (auto it = missing.rbegin(); it != missing.rend(); ++it) {
      if (auto created = create_folder(*it); !created) return created;
    }
    return {};
  }

  // MoveFileExW replaces the target in one rename; write-through returns only once the rename
  // is on disk, so a crash cannot leave the old name pointing at nothing.
  Result<void> replace_file(const Path& source, const Path& target) override {
    auto wide_source = widen_path(source);
    if (!wide_source) return std::move(wide_source).error();
    auto wide_target = widen_path(target);
    if (!wide_target) return std::move(wide_target).error();
    if (!MoveFileExW(wide_source->c_str(), wide_target->c_str(),
                     MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
      return last_os_error();
    }
    return {};
  }
};

}  // namespace

FileSystem& real_file_system() {
  static Win32FileSystem file_system;
  return file_system;
}

}  // namespace tindral::platform
