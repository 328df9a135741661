// The Windows file system through the wide-character API. Every path passes widen_path, the one
// place that converts WTF-8 to UTF-16 and adds the long-path prefix; names come back through
// wide_to_wtf8, so a name with an unpaired surrogate can be listed and then opened.
//
// The walks go through open folders: only the drive or share a root's path starts at is opened
// by its path, everything after it with NtCreateFile relative to its folder's handle and
// FILE_OPEN_REPARSE_POINT, so that a link is opened as itself and followed only where the
// shared rules for roots say so (by the target it stores), and every change (attributes,
// truncation, renaming, deletion) goes through a handle of the file that was opened (reopened
// through the handle for more rights, never by its name; a new name is given relative to the
// folder's handle).

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "platform/file_system.h"
#include "platform/os_error.h"
#include "platform/win32/administrators.h"
#include "platform/win32/folder_handle.h"
#include "platform/win32/reparse_data.h"
#include "platform/win32/wide_path.h"
#include "platform/win32/windows_api.h"
// After <windows.h>: FSCTL_GET_REPARSE_POINT, which reads where a link leads.
#include <winioctl.h>

namespace tindral::platform {

namespace {

using win32::ScopedFileHandle;
using win32::ScopedLocal;
using win32::widen_path;

// Other programs (Explorer, a virus scanner, the user's editor) may read, change or delete a
// file the service has open; the service never needs to lock anybody out.
constexpr DWORD kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;

// ReadFile and WriteFile count in 32 bits.
constexpr std::size_t kMaxIoSlice = 1u << 30;

// What a folder handle of the walks may do: list, reach names in it, read and change its
// attributes. A folder whose ACL refuses some of that is opened with less, down to what it takes
// to reach the names in it.
constexpr ACCESS_MASK kFolderAccess[] = {
    FILE_LIST_DIRECTORY | FILE_TRAVERSE | FILE_READ_ATTRIBUTES | FILE_WRITE_ATTRIBUTES |
        SYNCHRONIZE,
    FILE_LIST_DIRECTORY | FILE_TRAVERSE | FILE_READ_ATTRIBUTES | SYNCHRONIZE,
    FILE_TRAVERSE | FILE_READ_ATTRIBUTES | SYNCHRONIZE,
};

// NTSTATUS values the layer tells apart (from ntstatus.h, which clashes with <windows.h>).
constexpr NTSTATUS kStatusObjectNameCollision = static_cast<NTSTATUS>(0xC0000035L);
constexpr NTSTATUS kStatusFileIsADirectory = static_cast<NTSTATUS>(0xC00000BAL);
constexpr NTSTATUS kStatusNotADirectory = static_cast<NTSTATUS>(0xC0000103L);
// A success code: the open has a handle, and another program's oplock is being broken.
constexpr NTSTATUS kStatusOplockBreakInProgress = static_cast<NTSTATUS>(0x00000108L);

bool is_dot_or_dot_dot(std::wstring_view name) { return name == L"." || name == L".."; }

Error status_error(NTSTATUS status) {
  const DWORD code = RtlNtStatusToDosError(status);
  if (status == kStatusFileIsADirectory || status == kStatusNotADirectory) {
    return os_error(code, ErrorKind::WrongType);
  }
  if (status == kStatusObjectNameCollision) return os_error(code, ErrorKind::AlreadyExists);
  return os_error(code);
}

// Every open below a root and of the data folder's files goes through here. A file that another
// program holds under an oplock (a batch oplock on a user's own desktop.ini, a read-handle one on
// a flag that any user may read) would make an ordinary open wait until the holder lets go,
// which a holder may put off for good, and the scan and the stop with it. With
// FILE_COMPLETE_IF_OPLOCKED the open returns at once with STATUS_OPLOCK_BREAK_IN_PROGRESS
// instead; the service then closes the handle and counts the file as one it could not open
// (ERROR_OPLOCK_BREAK_IN_PROGRESS), so a walk leaves that folder as it is until the next scan
// and a flag is served at a later pass. A file that is created gets `attributes_if_created` at
// once.
Result<ScopedFileHandle> nt_open(HANDLE root, UNICODE_STRING& name, ACCESS_MASK access,
                                 ULONG disposition, ULONG options,
                                 ULONG attributes_if_created = FILE_ATTRIBUTE_NORMAL,
                                 ULONG share = kShareAll, bool follow_reparse_point = false) {
  OBJECT_ATTRIBUTES attributes;
  InitializeObjectAttributes(&attributes, &name, OBJ_CASE_INSENSITIVE, root, nullptr);
  IO_STATUS_BLOCK io{};
  HANDLE handle = nullptr;
  const NTSTATUS status = NtCreateFile(
      &handle, access, &attributes, &io, nullptr, attributes_if_created, share, disposition,
      options | (follow_reparse_point ? 0 : FILE_OPEN_REPARSE_POINT) |
          FILE_SYNCHRONOUS_IO_NONALERT | FILE_COMPLETE_IF_OPLOCKED,
      nullptr, 0);
  if (!NT_SUCCESS(status)) return status_error(status);
  ScopedFileHandle opened(handle);
  if (status == kStatusOplockBreakInProgress) return status_error(status);
  return opened;
}

Result<std::wstring> wide_name(std::string_view name) {
  std::optional<std::wstring> wide = win32::wtf8_to_wide(name);
  if (!wide || wide->empty() || wide->size() > 0x7FFF) {
    return Error("not a name Windows can open", ErrorKind::InvalidData);
  }
  return std::move(*wide);
}

// Opens `name` inside the open folder `folder` as the object it is: no link on the way (there is
// no way, only the one name), and with FILE_OPEN_REPARSE_POINT none at its end either. Names
// compare without regard to case, as every Win32 call does. A file that is created gets
// `attributes` at once.
Result<ScopedFileHandle> open_relative(HANDLE folder, std::string_view name, ACCESS_MASK access,
                                       ULONG disposition, ULONG options,
                                       ULONG attributes_if_created = FILE_ATTRIBUTE_NORMAL,
                                       bool follow_reparse_point = false) {
  auto wide = wide_name(name);
  if (!wide) return std::move(wide).error();
  UNICODE_STRING object_name;
  object_name.Buffer = wide->data();
  object_name.Length = static_cast<USHORT>(wide->size() * sizeof(wchar_t));
  object_name.MaximumLength = object_name.Length;
  return nt_open(folder, object_name, access, disposition, options, attributes_if_created,
                 kShareAll, follow_reparse_point);
}

// Opens the file a handle has open once more, with other rights: an empty name relative to the
// handle, which is what ReOpenFile does, but without waiting for an oplock (see nt_open).
Result<ScopedFileHandle> reopen(HANDLE file, ACCESS_MASK access, ULONG share = kShareAll) {
  UNICODE_STRING no_name{0, 0, nullptr};
  return nt_open(file, no_name, access, FILE_OPEN, 0, FILE_ATTRIBUTE_NORMAL, share);
}

// Opens the folder that holds `path` by its path, and the last component in it as open_relative
// does: a link at the end is opened as itself, and an oplock never makes the service wait.
Result<ScopedFileHandle> open_in_folder_of(const Path& path, ACCESS_MASK access, ULONG disposition,
                                           ULONG options) {
  const Path parent = path.parent();
  auto wide = widen_path(parent.empty() ? Path(".") : parent);
  if (!wide) return std::move(wide).error();
  ScopedFileHandle folder(CreateFileW(wide->c_str(), FILE_TRAVERSE | SYNCHRONIZE, kShareAll,
                                      nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr));
  if (!folder) return last_os_error();
  return open_relative(folder.get(), path.file_name(), access, disposition, options);
}

// FILE_RENAME_INFORMATION of the native API and its class (winternl.h declares neither).
// SetFileInformationByHandle's FileRenameInfo takes the same, but Wine 8 refuses it with
// ERROR_INVALID_PARAMETER as soon as RootDirectory holds a folder handle.
struct FileRenameInformation {
  BOOLEAN replace_if_exists;
  HANDLE root_directory;
  ULONG file_name_length;
  WCHAR file_name[1];
};
constexpr auto kFileRenameInformation = static_cast<FILE_INFORMATION_CLASS>(10);

// Gives the file `file` has open (with DELETE) the name `name` in the open folder `folder`,
// never replacing a file that has it (STATUS_OBJECT_NAME_COLLISION).
Result<void> rename_relative(HANDLE file, HANDLE folder, std::string_view name) {
  auto wide = wide_name(name);
  if (!wide) return std::move(wide).error();
  const std::size_t name_bytes = wide->size() * sizeof(wchar_t);
  const std::size_t size = std::max(offsetof(FileRenameInformation, file_name) + name_bytes,
                                    sizeof(FileRenameInformation));
  // 64-bit words give the structure its alignment.
  std::vector<std::uint64_t> storage((size + sizeof(std::uint64_t) - 1) / sizeof(std::uint64_t));
  auto* info = reinterpret_cast<FileRenameInformation*>(storage.data());
  info->replace_if_exists = FALSE;
  info->root_directory = folder;
  info->file_name_length = static_cast<ULONG>(name_bytes);
  std::memcpy(info->file_name, wide->data(), name_bytes);
  IO_STATUS_BLOCK io{};
  const NTSTATUS status =
      NtSetInformationFile(file, &io, info, static_cast<ULONG>(size), kFileRenameInformation);
  if (!NT_SUCCESS(status)) return status_error(status);
  return {};
}

// FileInternalInformation, the file's index on its volume. The Win32 classes that carry an id
// (BY_HANDLE_FILE_INFORMATION, FILE_ID_INFO) fetch the volume's serial number as well, which
// Wine answers by resolving the file's whole path: in a deep tree that made every identity
// check cost time in proportion to the depth. A walk never leaves its root's volume (mount
// points are links), so the index alone tells its folders apart.
constexpr auto kFileInternalInformation = static_cast<FILE_INFORMATION_CLASS>(6);

Result<FileId> id_of(HANDLE handle) {
  IO_STATUS_BLOCK io{};
  LARGE_INTEGER index{};
  const NTSTATUS status =
      NtQueryInformationFile(handle, &io, &index, sizeof index, kFileInternalInformation);
  if (!NT_SUCCESS(status)) return status_error(status);
  return FileId{0, 0, static_cast<std::uint64_t>(index.QuadPart)};
}

Result<std::uint32_t> attributes_of(HANDLE handle) {
  FILE_BASIC_INFO basic{};
  if (!GetFileInformationByHandleEx(handle, FileBasicInfo, &basic, sizeof basic)) {
    return last_os_error();
  }
  return static_cast<std::uint32_t>(basic.FileAttributes);
}

// FILE_ATTRIBUTE_NORMAL is the documented way to ask for no attributes; 0 is not (in
// FILE_BASIC_INFO it means "leave them as they are").
DWORD attributes_or_normal(DWORD attributes) {
  return attributes != 0 ? attributes : FILE_ATTRIBUTE_NORMAL;
}

// The times stay as they are (0); DIRECTORY and REPARSE_POINT are not the caller's to change.
Result<void> set_attributes_of(HANDLE handle, std::uint32_t attributes) {
  FILE_BASIC_INFO basic{};
  basic.FileAttributes =
      attributes_or_normal(attributes & ~(FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT));
  if (!SetFileInformationByHandle(handle, FileBasicInfo, &basic, sizeof basic)) {
    return last_os_error();
  }
  return {};
}

// The listing of an open folder, read through its handle in batches. The folder must outlive it.
class FolderListing final : public DirListing {
 public:
  explicit FolderListing(HANDLE folder) : folder_(folder) {}

  Result<bool> next(DirEntry& entry) override {
    for (;;) {
      if (current_ == nullptr) {
        if (auto filled = fill(); !filled || !*filled) return filled;
      }
      const auto* info = reinterpret_cast<const FILE_ID_BOTH_DIR_INFO*>(current_);
      current_ = info->NextEntryOffset != 0 ? current_ + info->NextEntryOffset : nullptr;
      const std::wstring_view name(info->FileName, info->FileNameLength / sizeof(wchar_t));
      if (is_dot_or_dot_dot(name)) continue;
      entry.name = win32::wide_to_wtf8(name);
      entry.attributes = info->FileAttributes;
      // With REPARSE_POINT set the listing carries the reparse tag in EaSize, so links are
      // recognised without opening them (Wine leaves it 0 for the Unix links it shows as reparse
      // points).
      entry.reparse_tag = (info->FileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0
                              ? static_cast<std::uint32_t>(info->EaSize)
                              : 0;
      return true;
    }
  }

 private:
  // The first batch restarts the folder's enumeration, so that every listing is whole.
  Result<bool> fill() {
    const FILE_INFO_BY_HANDLE_CLASS information_class =
        started_ ? FileIdBothDirectoryInfo : FileIdBothDirectoryRestartInfo;
    started_ = true;
    char* const buffer = reinterpret_cast<char*>(storage_.get());
    if (!GetFileInformationByHandleEx(folder_, information_class, buffer, kBufferBytes)) {
      const DWORD code = GetLastError();
      if (code == ERROR_NO_MORE_FILES) return false;
      return os_error(code);
    }
    current_ = buffer;
    return true;
  }

  static constexpr DWORD kBufferBytes = 64 * 1024;
  HANDLE folder_;
  // FILE_ID_BOTH_DIR_INFO needs 8-byte alignment, which an array of 64-bit words has.
  std::unique_ptr<std::uint64_t[]> storage_ =
      std::make_unique<std::uint64_t[]>(kBufferBytes / sizeof(std::uint64_t));
  const char* current_ = nullptr;
  bool started_ = false;
};

// ReadFile and WriteFile count in 32 bits; reads go in pieces so that memory follows what a file
// holds, not its claims.
constexpr DWORD kReadPiece = 16 * 1024;

// Synchronous WriteFile is never interrupted; it may accept less than asked, though.
Result<void> write_whole(HANDLE file, std::string_view data) {
  while (!data.empty()) {
    DWORD written = 0;
    const auto slice = static_cast<DWORD>(std::min(data.size(), kMaxIoSlice));
    if (!WriteFile(file, data.data(), slice, &written, nullptr)) return last_os_error();
    if (written == 0) return Error("failed to write whole buffer");
    data.remove_prefix(written);
  }
  return {};
}

// What SetFileInformationByHandle answers where FileDispositionInfoEx or one of its flags is
// unknown (Windows before 10 1809, FAT, network file systems; Wine always says 87).
bool disposition_ex_unsupported(DWORD code) {
  return code == ERROR_INVALID_PARAMETER || code == ERROR_INVALID_FUNCTION ||
         code == ERROR_NOT_SUPPORTED;
}

// The classic deletion, for Windows before 10 1809 and file systems without POSIX deletion:
// a READONLY file cannot be marked for deletion, so the bit comes off first, and back on if the
// file stays.
Result<void> delete_clearing_readonly(HANDLE file) {
  auto attributes = attributes_of(file);
  if (!attributes) return std::move(attributes).error();
  const bool readonly = (*attributes & FILE_ATTRIBUTE_READONLY) != 0;
  if (readonly) {
    if (auto cleared = set_attributes_of(file, *attributes & ~FILE_ATTRIBUTE_READONLY); !cleared) {
      return cleared;
    }
  }
  FILE_DISPOSITION_INFO disposition{TRUE};
  if (SetFileInformationByHandle(file, FileDispositionInfo, &disposition, sizeof disposition)) {
    return {};
  }
  Error error = last_os_error();
  if (readonly) static_cast<void>(set_attributes_of(file, *attributes));
  return error;
}

// Deletes the file a handle (with DELETE and both attribute rights) has open. Windows 10 1809
// deletes a READONLY file in one call when asked to ignore the attribute, and POSIX semantics
// take the name away at once even while others still have the file open.
Result<void> delete_through(HANDLE file) {
  win32::FileDispositionInfoEx disposition{win32::kDispositionDelete |
                                           win32::kDispositionPosixSemantics |
                                           win32::kDispositionIgnoreReadonly};
  if (SetFileInformationByHandle(file, win32::kFileDispositionInfoEx, &disposition,
                                 sizeof disposition)) {
    return {};
  }
  const DWORD code = GetLastError();
  if (!disposition_ex_unsupported(code)) return os_error(code);
  return delete_clearing_readonly(file);
}

class Win32WritableFile final : public WritableFile {
 public:
  explicit Win32WritableFile(ScopedFileHandle file) : file_(std::move(file)) {}

  Result<void> write_all(std::string_view data) override { return write_whole(file_.get(), data); }

 private:
  ScopedFileHandle file_;
};

/// A file opened as itself in an open folder, with the rights it was opened with; a change that
/// needs more reopens the same file through the handle (reopen), never by its name.
class Win32OpenFile final : public OpenFile {
 public:
  /// `folder` is the handle of the folder the file was opened in by `name`; it must outlive the
  /// file. A file read by its path, which is never renamed, has neither.
  Win32OpenFile(ScopedFileHandle handle, ACCESS_MASK granted, HANDLE folder, std::string name)
      : handle_(std::move(handle)), granted_(granted), folder_(folder), name_(std::move(name)) {}

  Result<OpenFileInfo> info() override {
    FILE_STANDARD_INFO standard{};
    FILE_ATTRIBUTE_TAG_INFO tag{};
    if (!GetFileInformationByHandleEx(handle_.get(), FileStandardInfo, &standard,
                                      sizeof standard) ||
        !GetFileInformationByHandleEx(handle_.get(), FileAttributeTagInfo, &tag, sizeof tag)) {
      return last_os_error();
    }
    auto id = id_of(handle_.get());
    if (!id) return std::move(id).error();
    known_size_ = static_cast<std::uint64_t>(standard.EndOfFile.QuadPart);
    OpenFileInfo info;
    info.regular = !standard.Directory && (tag.FileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) == 0;
    info.size = known_size_;
    info.link_count = standard.NumberOfLinks;
    info.id = *id;
    return info;
  }

  Result<std::string> read(std::size_t limit) override {
    LARGE_INTEGER start{};
    if (!SetFilePointerEx(handle_.get(), start, nullptr, FILE_BEGIN)) return last_os_error();
    std::string content;
    char piece[kReadPiece];
    while (content.size() < limit) {
      const auto want =
          static_cast<DWORD>(std::min<std::size_t>(kReadPiece, limit - content.size()));
      DWORD got = 0;
      if (!ReadFile(handle_.get(), piece, want, &got, nullptr)) return last_os_error();
      if (got == 0) break;
      content.append(piece, got);
      if (known_size_ != 0 && content.size() >= known_size_) break;
    }
    return content;
  }

  // Opening for writing is what Windows refuses on a READONLY file (ERROR_ACCESS_DENIED, also
  // for administrators; Wine run as root opens it anyway). A HIDDEN or SYSTEM file opens: only
  // an overwrite by name checks those bits.
  Result<void> truncate() override {
    auto writable = with_access(FILE_GENERIC_WRITE);
    if (!writable) return std::move(writable).error();
    LARGE_INTEGER start{};
    if (!SetFilePointerEx(*writable, start, nullptr, FILE_BEGIN) || !SetEndOfFile(*writable)) {
      return last_os_error();
    }
    return {};
  }

  Result<void> write_all(std::string_view data) override {
    auto writable = with_access(FILE_GENERIC_WRITE);
    if (!writable) return std::move(writable).error();
    return write_whole(*writable, data);
  }

  Result<void> set_attributes(std::uint32_t attributes) override {
    auto changer = with_access(FILE_WRITE_ATTRIBUTES);
    if (!changer) return std::move(changer).error();
    return set_attributes_of(*changer, attributes);
  }

  Result<std::uint32_t> attributes() override { return attributes_of(handle_.get()); }

  Result<void> remove() override {
    auto deleter = with_access(DELETE | FILE_WRITE_ATTRIBUTES);
    if (!deleter) return std::move(deleter).error();
    return delete_through(*deleter);
  }

  Result<void> rename_to(std::string_view name) override {
    auto renamer = with_access(DELETE);
    if (!renamer) return std::move(renamer).error();
    if (auto renamed = rename_relative(*renamer, folder_, name); !renamed) return renamed;
    name_ = std::string(name);
    return {};
  }

  // Windows cannot exchange two names, and a rename that replaces cannot be told which file it
  // may replace: a user may have put another file in the judged one's place since it was
  // judged. So the judged file is held where it is (a handle with DELETE that does not share
  // FILE_SHARE_DELETE makes every other open for DELETE fail, and renaming, deleting or
  // replacing the file all need one), its name is checked to hold it, and only then is it set
  // aside and this file given the name that is free now, neither rename replacing anything. A
  // crash between the two leaves no desktop.ini (the next scan writes it), never a cut-off or a
  // foreign one. A replacing rename with POSIX semantics would take one step, but it fails on a
  // target that is held without FILE_SHARE_DELETE, which is what keeps the name from changing.
  Result<void> take_place_of(OpenFile& judged, std::string_view aside) override {
    auto& other = static_cast<Win32OpenFile&>(judged);
    if (other.folder_ != folder_) return Error("the files lie in different folders");
    auto attributes = attributes_of(other.handle_.get());
    if (!attributes) return std::move(attributes).error();
    if ((*attributes & FILE_ATTRIBUTE_READONLY) != 0) return os_error(ERROR_ACCESS_DENIED);
    if (auto held = other.hold_against_renaming(); !held) return held;
    if (auto named = other.check_still_named(); !named) return named;
    const std::string place = other.name_;
    if (auto set_aside = other.rename_to(aside); !set_aside) return set_aside;
    if (auto taken = rename_to(place); !taken) {
      static_cast<void>(other.rename_to(place));
      return taken;
    }
    return {};
  }

 private:
  // Makes the handle one that may rename and delete the file and lets nobody else do either
  // while it is open. A handle of the service's own with DELETE would refuse that sharing too,
  // so the file is first held by one that reads attributes only.
  Result<void> hold_against_renaming() {
    constexpr ACCESS_MASK kProbeAccess = FILE_READ_ATTRIBUTES | SYNCHRONIZE;
    constexpr ACCESS_MASK kHoldAccess = kProbeAccess | FILE_WRITE_ATTRIBUTES | DELETE;
    auto original = id_of(handle_.get());
    if (!original) return std::move(original).error();
    Result<ScopedFileHandle> probe = reopen(handle_.get(), kProbeAccess);
    if (!probe) return std::move(probe).error();
    if (auto same = same_file(*probe, *original); !same) return same;
    handle_ = std::move(probe).value();
    granted_ = kProbeAccess;
    Result<ScopedFileHandle> held =
        reopen(handle_.get(), kHoldAccess, FILE_SHARE_READ | FILE_SHARE_WRITE);
    if (!held) return std::move(held).error();
    if (auto same = same_file(*held, *original); !same) return same;
    handle_ = std::move(held).value();
    granted_ = kHoldAccess;
    return {};
  }

  // Wine reopens by the name the handle was opened with, which may hold another file by now.
  static Result<void> same_file(const ScopedFileHandle& reopened, const FileId& original) {
    auto now = id_of(reopened.get());
    if (!now) return std::move(now).error();
    if (*now != original) {
      return Error("the name no longer holds the file that was opened", ErrorKind::WrongType);
    }
    return {};
  }

  // Asking for attributes only is never refused for sharing.
  Result<void> check_still_named() {
    auto named = open_relative(folder_, name_, FILE_READ_ATTRIBUTES | SYNCHRONIZE, FILE_OPEN,
                               FILE_NON_DIRECTORY_FILE);
    if (!named) return std::move(named).error();
    auto original = id_of(handle_.get());
    if (!original) return std::move(original).error();
    return same_file(*named, *original);
  }

  // The handle with at least `access`, reopened with the rights it lacked if need be. Windows
  // reopens the very file the handle has open; Wine reopens whatever bears the name it was opened
  // by, so the reopened file must prove to be the same one. The rights a change of the service's
  // file takes next (its attributes, then its deletion) are asked for at once where the file's
  // ACL grants them, which spares a second reopen.
  Result<HANDLE> with_access(ACCESS_MASK access) {
    if ((granted_ & access) == access) return handle_.get();
    constexpr ACCESS_MASK kChangeAccess = FILE_WRITE_ATTRIBUTES | DELETE;
    ACCESS_MASK wanted = granted_ | access | kChangeAccess;
    Result<ScopedFileHandle> reopened = reopen(handle_.get(), wanted);
    if (!reopened && (reopened.error().os_code() == ERROR_ACCESS_DENIED ||
                      reopened.error().os_code() == ERROR_SHARING_VIOLATION)) {
      wanted = granted_ | access;
      reopened = reopen(handle_.get(), wanted);
    }
    if (!reopened) return std::move(reopened).error();
    auto original = id_of(handle_.get());
    if (!original) return std::move(original).error();
    auto now = id_of(reopened->get());
    if (!now) return std::move(now).error();
    if (*now != *original) {
      return Error("the name no longer holds the file that was opened", ErrorKind::WrongType);
    }
    handle_ = std::move(reopened).value();
    granted_ = wanted;
    return handle_.get();
  }

  ScopedFileHandle handle_;
  ACCESS_MASK granted_;
  HANDLE folder_;
  std::string name_;
  std::uint64_t known_size_ = 0;
};

// Defined with the rules on who may change a file, below.
Result<Owner> owner_of(HANDLE handle);

// A name-surrogate reparse point is a link (a symbolic link, a junction, a mount point). Wine
// shows a Unix symbolic link as a reparse point with the tag 0, which Windows never uses, and
// cannot tell its target: it counts as a link too, so that it is never taken for a folder.
bool is_link_tag(const FILE_ATTRIBUTE_TAG_INFO& tag) {
  return (tag.FileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0 &&
         ((tag.ReparseTag & kReparseTagNameSurrogate) != 0 || tag.ReparseTag == 0);
}

// FSCTL_GET_REPARSE_POINT on the link's own handle.
Result<win32::LinkTarget> read_link_target(HANDLE link) {
  std::vector<std::uint8_t> data(MAXIMUM_REPARSE_DATA_BUFFER_SIZE);
  DWORD got = 0;
  if (!DeviceIoControl(link, FSCTL_GET_REPARSE_POINT, nullptr, 0, data.data(),
                       static_cast<DWORD>(data.size()), &got, nullptr)) {
    return last_os_error();
  }
  data.resize(got);
  return win32::link_target(data);
}

/// A folder opened as itself: everything below it is reached through its handle.
class Win32Folder final : public Folder {
 public:
  Win32Folder(ScopedFileHandle handle, ACCESS_MASK granted)
      : handle_(std::move(handle)), granted_(granted) {}

  Result<FileId> id() override { return id_of(handle_.get()); }

  Result<std::uint32_t> attributes() override { return attributes_of(handle_.get()); }

  Result<void> set_attributes(std::uint32_t attributes) override {
    return set_attributes_of(handle_.get(), attributes);
  }

  // A folder opened only to reach the names in it cannot be listed.
  Result<std::unique_ptr<DirListing>> open_listing() override {
    if ((granted_ & FILE_LIST_DIRECTORY) == 0) return os_error(ERROR_ACCESS_DENIED);
    return std::unique_ptr<DirListing>(std::make_unique<FolderListing>(handle_.get()));
  }

  // A name-surrogate reparse point (a symbolic link, a junction, a mount point) opens as itself
  // with FILE_OPEN_REPARSE_POINT and would pass for a folder: the tag tells it apart.
  Result<std::unique_ptr<Folder>> open_subfolder(std::string_view name) override {
    Result<ScopedFileHandle> opened = Error("the folder was not opened");
    ACCESS_MASK granted = 0;
    for (const ACCESS_MASK access : kFolderAccess) {
      opened = open_relative(handle_.get(), name, access, FILE_OPEN, FILE_DIRECTORY_FILE);
      granted = access;
      if (opened || opened.error().kind() != ErrorKind::AccessDenied) break;
    }
    if (!opened) return std::move(opened).error();
    FILE_ATTRIBUTE_TAG_INFO tag{};
    if (!GetFileInformationByHandleEx(opened->get(), FileAttributeTagInfo, &tag, sizeof tag)) {
      return last_os_error();
    }
    if ((tag.FileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0 &&
        (tag.ReparseTag & kReparseTagNameSurrogate) != 0) {
      return Error("a link where the listing showed a folder", ErrorKind::WrongType);
    }
    return std::unique_ptr<Folder>(
        std::make_unique<Win32Folder>(std::move(opened).value(), granted));
  }

  // A relative open cannot name the parent ("..") and the final path would be a name again: the
  // walk reopens a parent from its own ancestors instead.
  Result<std::unique_ptr<Folder>> open_parent() override {
    return Error("a folder's parent cannot be opened through its handle");
  }

  // FILE_NAME_NORMALIZED gives long names for short ones and the letter case on disk;
  // VOLUME_NAME_DOS the drive letter (or the share) behind the "\\?\" or "\\?\UNC\"
  // prefix. The answer is the length needed when the buffer is too small, so it is asked again.
  Result<Path> final_path() override {
    constexpr DWORD kFlags = FILE_NAME_NORMALIZED | VOLUME_NAME_DOS;
    std::wstring path(MAX_PATH, L'\0');
    for (;;) {
      const DWORD length = GetFinalPathNameByHandleW(handle_.get(), path.data(),
                                                     static_cast<DWORD>(path.size()), kFlags);
      if (length == 0) return last_os_error();
      if (length < path.size()) {
        path.resize(length);
        return Path(win32::wide_to_wtf8(path));
      }
      path.resize(length);
    }
  }

  Result<std::unique_ptr<OpenFile>> open_file(std::string_view name) override {
    constexpr ACCESS_MASK kAccess = FILE_GENERIC_READ;
    auto opened = open_relative(handle_.get(), name, kAccess, FILE_OPEN, FILE_NON_DIRECTORY_FILE);
    if (!opened) return std::move(opened).error();
    return std::unique_ptr<OpenFile>(std::make_unique<Win32OpenFile>(
        std::move(opened).value(), kAccess, handle_.get(), std::string(name)));
  }

  Result<std::unique_ptr<OpenFile>> create_file(std::string_view name) override {
    return create_file_with_attributes(name, FILE_ATTRIBUTE_NORMAL);
  }

  // NtCreateFile gives a file it creates its attributes at once, so its name never appears
  // without them.
  Result<std::unique_ptr<OpenFile>> create_file_with_attributes(std::string_view name,
                                                                std::uint32_t attributes) override {
    constexpr ACCESS_MASK kAccess =
        FILE_GENERIC_READ | FILE_GENERIC_WRITE | FILE_WRITE_ATTRIBUTES | DELETE;
    auto created = open_relative(handle_.get(), name, kAccess, FILE_CREATE, FILE_NON_DIRECTORY_FILE,
                                 attributes_or_normal(attributes));
    if (!created) return std::move(created).error();
    return std::unique_ptr<OpenFile>(std::make_unique<Win32OpenFile>(
        std::move(created).value(), kAccess, handle_.get(), std::string(name)));
  }

  Result<FileTime> last_write_time() override {
    FILE_BASIC_INFO basic{};
    if (!GetFileInformationByHandleEx(handle_.get(), FileBasicInfo, &basic, sizeof basic)) {
      return last_os_error();
    }
    return FileTime{basic.LastWriteTime.QuadPart};
  }

  // Every other member left 0 stays as it is.
  Result<void> set_last_write_time(FileTime time) override {
    if ((granted_ & FILE_WRITE_ATTRIBUTES) == 0) return os_error(ERROR_ACCESS_DENIED);
    FILE_BASIC_INFO basic{};
    basic.LastWriteTime.QuadPart = time.value;
    if (!SetFileInformationByHandle(handle_.get(), FileBasicInfo, &basic, sizeof basic)) {
      return last_os_error();
    }
    return {};
  }

  // A folder opened without READ_CONTROL (a root by its path, a walk's subfolder) is asked
  // through a second handle of the same folder.
  Result<Owner> owner() override {
    if ((granted_ & READ_CONTROL) != 0) return owner_of(handle_.get());
    Result<ScopedFileHandle> reader = reopen(handle_.get(), READ_CONTROL);
    if (!reader) return std::move(reader).error();
    return owner_of(reader->get());
  }

  // A file's ACL may refuse what a folder handle asks for (FILE_TRAVERSE is FILE_EXECUTE on a
  // file): the last try asks only for what tells the entry apart and its owner.
  Result<FolderStep> open_step(std::string_view name) override {
    constexpr ACCESS_MASK kStepAccess[] = {kFolderAccess[0], kFolderAccess[1], kFolderAccess[2],
                                           FILE_READ_ATTRIBUTES | SYNCHRONIZE};
    Result<ScopedFileHandle> opened = Error("the name was not opened");
    ACCESS_MASK granted = 0;
    for (const ACCESS_MASK access : kStepAccess) {
      granted = access | READ_CONTROL;
      opened = open_relative(handle_.get(), name, granted, FILE_OPEN, 0);
      if (opened || opened.error().kind() != ErrorKind::AccessDenied) break;
    }
    if (!opened) return std::move(opened).error();
    FILE_ATTRIBUTE_TAG_INFO tag{};
    if (!GetFileInformationByHandleEx(opened->get(), FileAttributeTagInfo, &tag, sizeof tag)) {
      return last_os_error();
    }
    FolderStep step;
    auto owner = owner_of(opened->get());
    if (!owner) return std::move(owner).error();
    step.owner = std::move(*owner);
    if (is_link_tag(tag)) {
      step.kind = FolderStep::Kind::Link;
      if (tag.ReparseTag == 0) return step;
      auto target = read_link_target(opened->get());
      if (!target) return std::move(target).error();
      step.link_target = std::move(target->path);
      if (!target->volume.empty()) {
        auto volume = open_mounted_volume(name, target->volume);
        if (!volume) return std::move(volume).error();
        step.folder = std::move(*volume);
      }
      return step;
    }
    if ((tag.FileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
      step.kind = FolderStep::Kind::Folder;
      step.folder = std::make_unique<Win32Folder>(std::move(opened).value(), granted);
    }
    return step;
  }

 private:
  // A mount point of a volume names the volume ("\??\Volume{GUID}\"), which no path spells:
  // the link is opened through, and the folder reached must be that volume's root, which
  // GetFinalPathNameByHandleW spells "\\?\Volume{GUID}\" (so a name swapped meanwhile is
  // caught).
  Result<std::unique_ptr<Folder>> open_mounted_volume(std::string_view name,
                                                      const std::wstring& volume) {
    constexpr ACCESS_MASK kAccess = kFolderAccess[1] | READ_CONTROL;
    auto opened = open_relative(handle_.get(), name, kAccess, FILE_OPEN, FILE_DIRECTORY_FILE,
                                FILE_ATTRIBUTE_NORMAL, true);
    if (!opened) return std::move(opened).error();
    std::wstring reached(MAX_PATH, L'\0');
    const DWORD length =
        GetFinalPathNameByHandleW(opened->get(), reached.data(), static_cast<DWORD>(reached.size()),
                                  FILE_NAME_NORMALIZED | VOLUME_NAME_GUID);
    if (length == 0) return last_os_error();
    if (length >= reached.size()) return os_error(ERROR_PATH_NOT_FOUND);
    reached.resize(length);
    // "\??\Volume{GUID}\" as GetFinalPathNameByHandleW spells it.
    std::wstring expected = volume;
    expected[1] = L'\\';
    if (reached.size() != expected.size() ||
        CompareStringOrdinal(reached.data(), static_cast<int>(reached.size()), expected.data(),
                             static_cast<int>(expected.size()), TRUE) != CSTR_EQUAL) {
      return Error("the mount point no longer leads to the volume it named", ErrorKind::WrongType);
    }
    return std::unique_ptr<Folder>(
        std::make_unique<Win32Folder>(std::move(opened).value(), kAccess));
  }

 public:
  HANDLE handle() const { return handle_.get(); }

 private:
  ScopedFileHandle handle_;
  ACCESS_MASK granted_;
};

// ---- who may change a file or folder ----

// Every right that writes, deletes or changes the permissions of a file or folder (for a folder
// FILE_WRITE_DATA and FILE_APPEND_DATA are adding files and subfolders).
constexpr ACCESS_MASK kChangeRights = FILE_WRITE_DATA | FILE_APPEND_DATA | FILE_DELETE_CHILD |
                                      DELETE | WRITE_DAC | WRITE_OWNER | GENERIC_WRITE |
                                      GENERIC_ALL;

// SYSTEM and Administrators own the service's folder, Users may read it; protected, so that
// nothing is inherited from the program-data folder, under which any user may add files.
constexpr wchar_t kAdministratorsSecurity[] =
    L"O:BAG:SYD:PAI(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)(A;OICI;0x1200a9;;;BU)";
// The same for a file in it, whatever it had before.
constexpr wchar_t kAdministratorsFileSecurity[] =
    L"O:BAG:SYD:PAI(A;;FA;;;SY)(A;;FA;;;BA)(A;;0x1200a9;;;BU)";
// A new file of the administrators': the owner is given, because where "Default owner for
// objects created by members of the Administrators group" is "Object creator" it would be the
// administrator's own account; the DACL is inherited from the folder as for any new file.
constexpr wchar_t kAdministratorsOwnerOnly[] = L"O:BA";

// A file system without security (FAT) has no owner to tell.
Result<Owner> owner_of(HANDLE handle) {
  PSID sid = nullptr;
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  const DWORD code = GetSecurityInfo(handle, SE_FILE_OBJECT, OWNER_SECURITY_INFORMATION, &sid,
                                     nullptr, nullptr, nullptr, &descriptor);
  if (code != ERROR_SUCCESS) return os_error(code);
  ScopedLocal owned(descriptor);
  if (sid == nullptr) return Owner{};
  wchar_t* text = nullptr;
  if (!ConvertSidToStringSidW(sid, &text)) return last_os_error();
  ScopedLocal owned_text(text);
  return Owner{win32::is_administrator_account(sid), win32::wide_to_wtf8(text)};
}

// The owner must be an administrator's account, and no allowing entry of the DACL may give
// another account a right that changes the object (a missing DACL gives everybody every right).
// An entry of the owner's own is fine once the owner is one of the administrators (an
// administrator's file carries one where objects belong to their creator). Entries that only
// pass down to children (CREATOR OWNER's) do not apply to the object itself.
Result<Trust> trust_of_security(HANDLE handle) {
  PSID owner = nullptr;
  PACL dacl = nullptr;
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  const DWORD code = GetSecurityInfo(handle, SE_FILE_OBJECT,
                                     OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION, &owner,
                                     nullptr, &dacl, nullptr, &descriptor);
  if (code != ERROR_SUCCESS) return os_error(code);
  ScopedLocal owned(descriptor);
  if (owner == nullptr || !win32::is_administrator_account(owner)) return Trust::OtherOwner;
  if (dacl == nullptr) return Trust::OpenToOthers;
  for (DWORD index = 0; index < dacl->AceCount; ++index) {
    void* entry = nullptr;
    if (!GetAce(dacl, index, &entry)) return last_os_error();
    const auto* header = static_cast<const ACE_HEADER*>(entry);
    if (header->AceType != ACCESS_ALLOWED_ACE_TYPE || (header->AceFlags & INHERIT_ONLY_ACE) != 0) {
      continue;
    }
    auto* allowed = static_cast<ACCESS_ALLOWED_ACE*>(entry);
    PSID grantee = &allowed->SidStart;
    if ((allowed->Mask & kChangeRights) != 0 && !EqualSid(grantee, owner) &&
        !win32::is_administrator_account(grantee)) {
      return Trust::OpenToOthers;
    }
  }
  return Trust::Administrators;
}

Result<ScopedLocal> security_descriptor(const wchar_t* text) {
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  if (!ConvertStringSecurityDescriptorToSecurityDescriptorW(text, SDDL_REVISION_1, &descriptor,
                                                            nullptr)) {
    return last_os_error();
  }
  return ScopedLocal(descriptor);
}

Result<void> create_administrators_folder(const std::wstring& folder) {
  auto security = security_descriptor(kAdministratorsSecurity);
  if (!security) return std::move(security).error();
  SECURITY_ATTRIBUTES attributes{sizeof attributes, security->get(), FALSE};
  if (!CreateDirectoryW(folder.c_str(), &attributes)) return last_os_error();
  return {};
}

// Gives the object the owner and the protected DACL of `text`.
Result<void> restrict_to_administrators(HANDLE object, const wchar_t* text) {
  auto security = security_descriptor(text);
  if (!security) return std::move(security).error();
  PSID owner = nullptr;
  PACL dacl = nullptr;
  BOOL defaulted = FALSE;
  BOOL present = FALSE;
  if (!GetSecurityDescriptorOwner(security->get(), &owner, &defaulted) ||
      !GetSecurityDescriptorDacl(security->get(), &present, &dacl, &defaulted)) {
    return last_os_error();
  }
  const DWORD code = SetSecurityInfo(
      object, SE_FILE_OBJECT,
      OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION | PROTECTED_DACL_SECURITY_INFORMATION,
      owner, nullptr, dacl, nullptr);
  if (code != ERROR_SUCCESS) return os_error(code);
  return {};
}

// Makes Administrators the owner of an object whose DACL lets the service do nothing else, which
// the take-ownership privilege allows; as the owner (SYSTEM is a member of Administrators) it may
// then read and replace the DACL.
Result<void> take_ownership(const std::wstring& path) {
  ScopedFileHandle object(CreateFileW(path.c_str(), WRITE_OWNER, kShareAll, nullptr, OPEN_EXISTING,
                                      FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT,
                                      nullptr));
  if (!object) return last_os_error();
  auto security = security_descriptor(kAdministratorsOwnerOnly);
  if (!security) return std::move(security).error();
  PSID owner = nullptr;
  BOOL defaulted = FALSE;
  if (!GetSecurityDescriptorOwner(security->get(), &owner, &defaulted)) return last_os_error();
  const DWORD code = SetSecurityInfo(object.get(), SE_FILE_OBJECT, OWNER_SECURITY_INFORMATION,
                                     owner, nullptr, nullptr, nullptr);
  if (code != ERROR_SUCCESS) return os_error(code);
  return {};
}

bool is_link(HANDLE handle) {
  FILE_ATTRIBUTE_TAG_INFO tag{};
  return GetFileInformationByHandleEx(handle, FileAttributeTagInfo, &tag, sizeof tag) &&
         (tag.FileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0 &&
         (tag.ReparseTag & kReparseTagNameSurrogate) != 0;
}

// One file of a folder being secured, opened as itself through the folder's handle (with backup
// intent, so that the restore privilege grants what a DACL shutting SYSTEM out refuses): given
// the administrators' owner and DACL when it counts, removed otherwise. What was removed is
// returned. A file whose security the service may not even read was not an administrator's.
Result<std::optional<Trust>> secure_file_in(HANDLE folder, std::string_view name) {
  constexpr ACCESS_MASK kChange =
      WRITE_DAC | WRITE_OWNER | DELETE | FILE_READ_ATTRIBUTES | FILE_WRITE_ATTRIBUTES | SYNCHRONIZE;
  Result<ScopedFileHandle> opened =
      open_relative(folder, name, kChange | READ_CONTROL, FILE_OPEN, FILE_OPEN_FOR_BACKUP_INTENT);
  std::optional<Trust> found;
  if (!opened && opened.error().kind() == ErrorKind::AccessDenied) {
    opened = open_relative(folder, name, kChange, FILE_OPEN, FILE_OPEN_FOR_BACKUP_INTENT);
    found = Trust::OtherOwner;
  }
  if (!opened) {
    if (opened.error().is_not_found()) return std::optional<Trust>();
    return std::move(opened).error();
  }
  if (!found) {
    if (is_link(opened->get())) {
      found = Trust::Link;
    } else {
      Result<Trust> judged = trust_of_security(opened->get());
      if (!judged) return std::move(judged).error();
      found = *judged;
    }
  }
  if (*found == Trust::Administrators) {
    if (auto restricted = restrict_to_administrators(opened->get(), kAdministratorsFileSecurity);
        !restricted) {
      return restricted.error();
    }
    return std::optional<Trust>();
  }
  if (auto deleted = delete_through(opened->get()); !deleted) return deleted.error();
  return found;
}

// A folder, or a reparse point that is no link, has no content of its own to read.
Result<std::string> read_regular(OpenFile& file, std::size_t limit) {
  auto info = file.info();
  if (!info) return std::move(info).error();
  if (!info->regular) return os_error(ERROR_INVALID_FUNCTION);
  return file.read(limit);
}

// The data folder, opened to be judged and changed as itself.
ScopedFileHandle open_to_secure(const std::wstring& folder) {
  return ScopedFileHandle(CreateFileW(
      folder.c_str(), READ_CONTROL | WRITE_DAC | WRITE_OWNER | FILE_READ_ATTRIBUTES, kShareAll,
      nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
}

bool is_folder(const std::wstring& path) {
  const DWORD attributes = GetFileAttributesW(path.c_str());
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
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

// Renames `source` over `target` with POSIX semantics (FileRenameInfoEx with
// FILE_RENAME_FLAG_POSIX_SEMANTICS | FILE_RENAME_FLAG_REPLACE_IF_EXISTS, Windows 10 1607 and
// later): the name passes to the new file even while others hold the old one open (as long as
// they share delete, as tindralctl and the service's own reads do), and their handles keep
// reading what they had. False where that is refused, so that the caller falls back: a volume
// or system without the flag (FAT, older Windows, and Wine 8, which knows no FileRenameInfoEx
// and answers ERROR_INVALID_PARAMETER), or a reader that did not open with delete sharing.
bool rename_with_posix_semantics(const std::wstring& source, const std::wstring& target) {
  // The new name in full: nothing to resolve against a current folder that is not the source's.
  const std::optional<std::wstring> full_target = win32::full_path_name(target);
  if (!full_target) return false;
  const ScopedFileHandle file(CreateFileW(source.c_str(), DELETE | SYNCHRONIZE, kShareAll, nullptr,
                                          OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
  if (!file) return false;
  const std::size_t name_bytes = full_target->size() * sizeof(wchar_t);
  constexpr std::size_t kNameOffset = offsetof(win32::FileRenameInfoEx, file_name);
  // The name runs on past the structure's one-character array; the extra character is the
  // terminating NUL that the documented size (structure plus name) leaves room for.
  std::vector<std::byte> buffer(sizeof(win32::FileRenameInfoEx) + name_bytes);
  win32::FileRenameInfoEx header{};
  header.flags = win32::kRenameReplaceIfExists | win32::kRenamePosixSemantics;
  header.file_name_length = static_cast<DWORD>(name_bytes);
  std::memcpy(buffer.data(), &header, kNameOffset);
  std::memcpy(buffer.data() + kNameOffset, full_target->data(), name_bytes);
  return SetFileInformationByHandle(file.get(), win32::kFileRenameInfoEx, buffer.data(),
                                    static_cast<DWORD>(buffer.size())) != FALSE;
}

class Win32FileSystem final : public FileSystem {
 public:
  // Links are followed: only paths the service trusts whole come here (see the interface).
  Result<std::unique_ptr<Folder>> open_folder(const Path& folder) override {
    auto wide = widen_path(folder);
    if (!wide) return std::move(wide).error();
    ScopedFileHandle handle;
    ACCESS_MASK granted = 0;
    for (const ACCESS_MASK access : kFolderAccess) {
      handle.reset(CreateFileW(wide->c_str(), access, kShareAll, nullptr, OPEN_EXISTING,
                               FILE_FLAG_BACKUP_SEMANTICS, nullptr));
      granted = access;
      if (handle || GetLastError() != ERROR_ACCESS_DENIED) break;
    }
    if (!handle) return last_os_error();
    auto attributes = attributes_of(handle.get());
    if (!attributes) return std::move(attributes).error();
    if ((*attributes & FILE_ATTRIBUTE_DIRECTORY) == 0) {
      return os_error(ERROR_DIRECTORY, ErrorKind::WrongType);
    }
    return std::unique_ptr<Folder>(std::make_unique<Win32Folder>(std::move(handle), granted));
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
  Result<std::string> read_file(const Path& path, std::size_t limit) override {
    auto wide = widen_path(path);
    if (!wide) return std::move(wide).error();
    ScopedFileHandle file(CreateFileW(wide->c_str(), GENERIC_READ, kShareAll, nullptr,
                                      OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file) return last_os_error();

    // Room for what the file holds now within the limit, so that a read to its end needs no
    // growth; a file that grows meanwhile is still read up to the limit.
    std::string content;
    LARGE_INTEGER size{};
    if (GetFileSizeEx(file.get(), &size) && size.QuadPart >= 0) {
      content.reserve(std::min(static_cast<std::size_t>(size.QuadPart), limit));
    }
    char piece[64 * 1024];
    while (content.size() < limit) {
      DWORD got = 0;
      const auto want = static_cast<DWORD>(std::min(sizeof piece, limit - content.size()));
      if (!ReadFile(file.get(), piece, want, &got, nullptr)) return last_os_error();
      if (got == 0) break;
      content.append(piece, got);
    }
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

  // The reparse point itself is opened, so that a link is deleted rather than its target, as
  // DeleteFileW does. Deleting breaks the handle-caching oplock that any user who may read a
  // flag can hold on it, so the open must not wait for one (see nt_open).
  Result<void> delete_file(const Path& path) override {
    auto file = open_in_folder_of(path, DELETE | FILE_READ_ATTRIBUTES | FILE_WRITE_ATTRIBUTES,
                                  FILE_OPEN, FILE_NON_DIRECTORY_FILE);
    if (!file) return std::move(file).error();
    return delete_through(file->get());
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

  // The object itself, a link included, is asked: its owner and DACL.
  Result<Trust> trust(const Path& path) override {
    auto wide = widen_path(path);
    if (!wide) return std::move(wide).error();
    ScopedFileHandle handle(CreateFileW(
        wide->c_str(), READ_CONTROL | FILE_READ_ATTRIBUTES, kShareAll, nullptr, OPEN_EXISTING,
        FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
    if (!handle) return last_os_error();
    if (is_link(handle.get())) return Trust::Link;
    return trust_of_security(handle.get());
  }

  // A junction or link in the folder's place is removed as itself (RemoveDirectoryW takes the
  // link away, never its target) and a folder made instead; an existing folder gets its owner
  // and DACL through a handle of its own. A folder whose DACL shuts SYSTEM out (any user may
  // make one in ProgramData before the service first runs) is taken over first; its security
  // could not be read, so it counts as another account's.
  Result<Trust> secure_folder(const Path& folder) override {
    auto wide = widen_path(folder);
    if (!wide) return std::move(wide).error();
    if (const Path parent = folder.parent(); !parent.empty()) {
      if (auto made = create_folders(parent); !made) return made.error();
    }
    // Without the privileges the repair of such a folder fails, and says so.
    const win32::RepairPrivileges privileges;
    std::optional<Trust> shut_out;
    ScopedFileHandle handle = open_to_secure(*wide);
    if (!handle && GetLastError() == ERROR_ACCESS_DENIED) {
      if (auto taken = take_ownership(*wide); !taken) return taken.error();
      shut_out = Trust::OtherOwner;
      handle = open_to_secure(*wide);
    }
    if (!handle) {
      Error error = last_os_error();
      if (!error.is_not_found()) return error;
      if (auto created = create_administrators_folder(*wide); !created) return created.error();
      return Trust::Administrators;
    }
    if (is_link(handle.get())) {
      handle.reset();
      if (!RemoveDirectoryW(wide->c_str())) return last_os_error();
      if (auto created = create_administrators_folder(*wide); !created) return created.error();
      return Trust::Link;
    }
    auto attributes = attributes_of(handle.get());
    if (!attributes) return std::move(attributes).error();
    if ((*attributes & FILE_ATTRIBUTE_DIRECTORY) == 0) {
      return os_error(ERROR_DIRECTORY, ErrorKind::WrongType);
    }
    auto found = trust_of_security(handle.get());
    if (!found) return found;
    if (shut_out) found = *shut_out;
    if (*found != Trust::Administrators) {
      if (auto restricted = restrict_to_administrators(handle.get(), kAdministratorsSecurity);
          !restricted) {
        return restricted.error();
      }
    }
    return found;
  }

  // The handle judged is the handle read: nothing that takes the name after the judgement is
  // read. The file is opened relative to its folder (see open_in_folder_of).
  Result<TrustedRead> read_trusted(const Path& path, std::size_t limit) override {
    constexpr ACCESS_MASK kAccess = FILE_GENERIC_READ;
    auto opened = open_in_folder_of(path, kAccess, FILE_OPEN, 0);
    if (!opened) return std::move(opened).error();
    if (is_link(opened->get())) return TrustedRead{Trust::Link, std::string()};
    auto trust = trust_of_security(opened->get());
    if (!trust) return std::move(trust).error();
    if (*trust != Trust::Administrators) return TrustedRead{*trust, std::string()};
    Win32OpenFile file(std::move(opened).value(), kAccess, nullptr, {});
    return TrustedRead{Trust::Administrators, read_regular(file, limit)};
  }

  // CREATE_NEW fails on every existing name, and with FILE_FLAG_OPEN_REPARSE_POINT also on a
  // dangling link, which CREATE_NEW would otherwise follow to create its target.
  Result<std::unique_ptr<WritableFile>> create_new_file(const Path& path) override {
    auto wide = widen_path(path);
    if (!wide) return std::move(wide).error();
    auto security = security_descriptor(kAdministratorsOwnerOnly);
    if (!security) return std::move(security).error();
    SECURITY_ATTRIBUTES attributes{sizeof attributes, security->get(), FALSE};
    ScopedFileHandle file(
        CreateFileW(wide->c_str(), GENERIC_WRITE, kShareAll, &attributes, CREATE_NEW,
                    FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
    if (!file) return last_os_error();
    return std::unique_ptr<WritableFile>(std::make_unique<Win32WritableFile>(std::move(file)));
  }

  // One entry that cannot be dealt with does not stop the others; the first failure is returned
  // at the end.
  Result<std::vector<RemovedEntry>> secure_folder_files(const Path& folder) override {
    auto wide = widen_path(folder);
    if (!wide) return std::move(wide).error();
    const win32::RepairPrivileges privileges;
    ScopedFileHandle handle(CreateFileW(wide->c_str(), kFolderAccess[1], kShareAll, nullptr,
                                        OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr));
    if (!handle) return last_os_error();
    FolderListing listing(handle.get());
    std::vector<RemovedEntry> removed;
    std::optional<Error> failure;
    DirEntry entry;
    for (;;) {
      Result<bool> next = listing.next(entry);
      if (!next) return std::move(next).error();
      if (!*next) break;
      const bool plain_folder = (entry.attributes & FILE_ATTRIBUTE_DIRECTORY) != 0 &&
                                (entry.attributes & FILE_ATTRIBUTE_REPARSE_POINT) == 0;
      if (plain_folder) continue;
      Result<std::optional<Trust>> done = secure_file_in(handle.get(), entry.name);
      if (!done) {
        if (!failure) failure = std::move(done).error();
      } else if (*done) {
        removed.push_back(RemovedEntry{entry.name, **done});
      }
    }
    if (failure) return *failure;
    return removed;
  }

  // CreateDirectoryW says ERROR_PATH_NOT_FOUND when the parent is missing.
  Result<void> create_folders(const Path& folder) override {
    return create_folders_one_by_one(folder, create_folder);
  }

  // A rename with POSIX semantics first, which a reader holding the target open does not stop.
  // Where that is refused, MoveFileExW replaces the target in one rename; write-through returns
  // only once the rename is on disk, so a crash cannot leave the old name pointing at nothing.
  // MoveFileExW is refused over a file that anybody has open, however it shares it
  // (ERROR_ACCESS_DENIED): a reader that looks at service.log for a moment (an administrator's
  // viewer, a front end) is waited for a little rather than costing the log a line.
  Result<void> replace_file(const Path& source, const Path& target) override {
    auto wide_source = widen_path(source);
    if (!wide_source) return std::move(wide_source).error();
    auto wide_target = widen_path(target);
    if (!wide_target) return std::move(wide_target).error();
    if (rename_with_posix_semantics(*wide_source, *wide_target)) return {};
    constexpr int kAttempts = 20;
    constexpr DWORD kPauseMilliseconds = 25;
    for (int attempt = 1;; ++attempt) {
      if (MoveFileExW(wide_source->c_str(), wide_target->c_str(),
                      MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
        return {};
      }
      const DWORD code = GetLastError();
      const bool target_in_use = code == ERROR_ACCESS_DENIED || code == ERROR_SHARING_VIOLATION;
      if (!target_in_use || attempt == kAttempts) return os_error(code);
      Sleep(kPauseMilliseconds);
    }
  }
};

}  // namespace

FileSystem& real_file_system() {
  static Win32FileSystem file_system;
  return file_system;
}

HANDLE win32::folder_handle(Folder& folder) {
  const auto* opened = dynamic_cast<const Win32Folder*>(&folder);
  return opened != nullptr ? opened->handle() : nullptr;
}

// As reopen, for a handle whose calls are overlapped: without FILE_SYNCHRONOUS_IO_NONALERT, which
// is what FILE_FLAG_OVERLAPPED makes of a handle.
Result<ScopedFileHandle> win32::reopen_for_overlapped_io(HANDLE file, ACCESS_MASK access) {
  UNICODE_STRING no_name{0, 0, nullptr};
  OBJECT_ATTRIBUTES attributes;
  InitializeObjectAttributes(&attributes, &no_name, OBJ_CASE_INSENSITIVE, file, nullptr);
  IO_STATUS_BLOCK io{};
  HANDLE handle = nullptr;
  const NTSTATUS status =
      NtCreateFile(&handle, access, &attributes, &io, nullptr, FILE_ATTRIBUTE_NORMAL, kShareAll,
                   FILE_OPEN, FILE_OPEN_REPARSE_POINT | FILE_COMPLETE_IF_OPLOCKED, nullptr, 0);
  if (!NT_SUCCESS(status)) return status_error(status);
  ScopedFileHandle opened(handle);
  if (status == kStatusOplockBreakInProgress) return status_error(status);
  return opened;
}

}  // namespace tindral::platform
