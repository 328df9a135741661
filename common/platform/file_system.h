#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "error.h"
#include "platform/path.h"

namespace tindral::platform {

/// Windows file attribute bits. The POSIX layer emulates the ones the service depends on:
/// HIDDEN and SYSTEM (and a folder's READONLY) live in the extended attribute user.DOSATTRIB in
/// the text form Wine writes ("0x6"); a file's READONLY is the absence of every write bit.
inline constexpr std::uint32_t kAttrReadonly = 0x1;
inline constexpr std::uint32_t kAttrHidden = 0x2;
inline constexpr std::uint32_t kAttrSystem = 0x4;
inline constexpr std::uint32_t kAttrDirectory = 0x10;
inline constexpr std::uint32_t kAttrArchive = 0x20;
inline constexpr std::uint32_t kAttrNormal = 0x80;
inline constexpr std::uint32_t kAttrReparsePoint = 0x400;
inline constexpr std::uint32_t kAttrEncrypted = 0x4000;

/// Reparse tags: the name-surrogate bit marks links (symbolic links, junctions, mount points).
inline constexpr std::uint32_t kReparseTagNameSurrogate = 0x20000000;
inline constexpr std::uint32_t kReparseTagSymlink = 0xA000000C;

/// One entry of a directory listing.
struct DirEntry {
  std::string name;               ///< in the platform's spelling (see Path)
  std::uint32_t attributes = 0;   ///< DIRECTORY and REPARSE_POINT are exact; other bits as listed
  std::uint32_t reparse_tag = 0;  ///< meaningful only with REPARSE_POINT set
};

/// An open directory listing; it is closed when destroyed.
class DirListing {
 public:
  virtual ~DirListing() = default;
  /// Fills `entry` with the next entry (never "." or "..") and returns true, or returns false at
  /// the end of the listing; an error means the listing broke off.
  virtual Result<bool> next(DirEntry& entry) = 0;
};

/// A file open for writing; it is closed when destroyed.
class WritableFile {
 public:
  virtual ~WritableFile() = default;
  /// Writes all of `data`: partial writes are repeated, interrupted ones retried, and a write
  /// that accepts no bytes is an error.
  virtual Result<void> write_all(std::string_view data) = 0;
};

/// What a path names, following links.
enum class FileType { File, Directory, Other };

/// Which file an open handle holds: two handles with equal ids hold the same file, whatever
/// names led to them (POSIX: device and inode; Windows: the file's index, which tells files
/// apart on one volume, and a walk never leaves its root's volume).
struct FileId {
  std::uint64_t volume = 0;
  std::uint64_t high = 0;
  std::uint64_t low = 0;
  friend bool operator==(const FileId&, const FileId&) = default;
};

/// A file's or folder's time as the platform keeps it (POSIX: nanoseconds since 1970; Windows:
/// 100-nanosecond intervals since 1601), only ever compared or handed back to the platform.
struct FileTime {
  std::int64_t value = 0;
  friend bool operator==(const FileTime&, const FileTime&) = default;
};

/// What an open file is, asked of the handle rather than of a name.
struct OpenFileInfo {
  /// Anything but a regular file: a device, a FIFO, a socket (POSIX), a reparse point (Windows).
  bool regular = false;
  std::uint64_t size = 0;
  /// Names the file has; more than one means that the same bytes are reachable elsewhere.
  std::uint32_t link_count = 1;
  FileId id;
};

/// A file opened as itself inside an open folder, never through a link. Every change goes
/// through the handle (or, where POSIX has no handle-based call, through the folder's handle
/// and the name after checking that the name still holds this file), so that a name swapped
/// after the open cannot redirect it.
class OpenFile : public WritableFile {
 public:
  virtual Result<OpenFileInfo> info() = 0;
  /// Reads from the start at most `limit` bytes; memory grows with what is read, never with the
  /// size the file claims.
  virtual Result<std::string> read(std::size_t limit) = 0;
  /// Cuts the file to zero length and readies it for write_all. Fails with
  /// ErrorKind::AccessDenied on a file that carries READONLY, as opening it for writing does on
  /// Windows; succeeds on one that carries HIDDEN or SYSTEM.
  virtual Result<void> truncate() = 0;
  /// Replaces the file's attribute bits (NORMAL for none).
  virtual Result<void> set_attributes(std::uint32_t attributes) = 0;
  /// The file's attribute bits, as GetFileAttributesW reports them.
  virtual Result<std::uint32_t> attributes() = 0;
  /// Deletes this file (also one that carries READONLY), not whatever bears its name by now.
  /// Its attributes stay as they were when the deletion fails.
  virtual Result<void> remove() = 0;
  /// Gives this file the name `name` in the folder it lies in, without replacing anything:
  /// ErrorKind::AlreadyExists when the name is taken, and nothing changes.
  virtual Result<void> rename_to(std::string_view name) = 0;
  /// Puts this file in the place of `judged`, which was opened in the same folder: this file
  /// takes the name `judged` was opened by, in one step where the platform can, and only while
  /// that name still holds `judged`. `judged` ends under this file's former name, or where the
  /// platform cannot swap two names under `aside` (which must be free); the caller removes it.
  /// ErrorKind::WrongType when the name holds another file by then, ErrorKind::AccessDenied
  /// when `judged` carries READONLY (Windows refuses to replace such a file); nothing changes
  /// then.
  virtual Result<void> take_place_of(OpenFile& judged, std::string_view aside) = 0;
};

/// Who owns a file or folder, as the rules for following links ask it.
struct Owner {
  /// One of the accounts Trust::Administrators names.
  bool administrator = false;
  /// The owning account, spelled so that two owners are the same account exactly when the
  /// texts are equal (natively the uid, on Windows the SID); empty where the file system keeps
  /// no owners (FAT).
  std::string account;
};

class Folder;

/// A name in an open folder, opened as itself: a link is opened as the link, not followed.
struct FolderStep {
  enum class Kind { Folder, Link, Other };
  Kind kind = Kind::Other;
  /// The owner of the entry itself (of the link, not of what it names).
  Owner owner;
  /// A link's target as stored, absolute or relative to the folder that holds the link, in
  /// the platform's spelling. Empty for a link that must never be followed by name: natively
  /// every link on /proc's file system, whose targets are the kernel's view of a process (its
  /// working folder may lie in another mount namespace), not names.
  std::string link_target;
  /// A folder: opened as Folder::open_subfolder opens one. A link: set only where the platform
  /// follows the link itself because its target names no path (a Windows mount point of a
  /// volume), after checking that it arrived where the link leads.
  std::unique_ptr<Folder> folder;
};

/// A folder opened as itself. Names below it are opened relative to it and no link is followed,
/// so a folder or file swapped for a link after the listing showed it is never acted through.
class Folder {
 public:
  virtual ~Folder() = default;

  /// The folder's identity.
  virtual Result<FileId> id() = 0;
  /// The folder's attribute bits (DIRECTORY among them).
  virtual Result<std::uint32_t> attributes() = 0;
  /// Replaces the folder's attribute bits; DIRECTORY stays whatever is asked.
  virtual Result<void> set_attributes(std::uint32_t attributes) = 0;
  /// Lists the folder's entries.
  virtual Result<std::unique_ptr<DirListing>> open_listing() = 0;
  /// Opens the subfolder `name`: ErrorKind::WrongType when the name is a link (a reparse point
  /// with the name-surrogate bit) or not a folder, ErrorKind::NotFound when it is gone.
  virtual Result<std::unique_ptr<Folder>> open_subfolder(std::string_view name) = 0;
  /// Opens the folder that holds this one now, where the platform can do that through the
  /// handle; the caller checks that it is the folder it expects.
  virtual Result<std::unique_ptr<Folder>> open_parent() = 0;
  /// Where the folder is now, every link on the way resolved, as the platform reports it for
  /// the handle: Windows' GetFinalPathNameByHandleW ("\\?\C:\..." or "\\?\UNC\..."),
  /// the descriptor's path in /proc on POSIX.
  virtual Result<Path> final_path() = 0;
  /// Opens the file `name` for reading without following a link: ErrorKind::NotFound when
  /// nothing is there, ErrorKind::WrongType for a link or a folder. A device or FIFO may open;
  /// info() tells it apart.
  virtual Result<std::unique_ptr<OpenFile>> open_file(std::string_view name) = 0;
  /// Creates the new, empty file `name` for writing: ErrorKind::AlreadyExists when anything
  /// (a dangling link included) already has the name.
  virtual Result<std::unique_ptr<OpenFile>> create_file(std::string_view name) = 0;
  /// The same for a file that carries `attributes` from the instant its name appears (POSIX,
  /// where the file system lacks unnamed files: from right after, before anything is written).
  virtual Result<std::unique_ptr<OpenFile>> create_file_with_attributes(
      std::string_view name, std::uint32_t attributes) = 0;
  /// When the folder's content last changed (Windows: LastWriteTime; POSIX: the modification
  /// time), read and set through the folder's handle.
  virtual Result<FileTime> last_write_time() = 0;
  virtual Result<void> set_last_write_time(FileTime time) = 0;
  /// Who owns the folder.
  virtual Result<Owner> owner() = 0;
  /// Opens `name`, whatever it is, as itself, for a walk along a path that decides at every
  /// link whether to follow it: ErrorKind::NotFound when nothing is there.
  virtual Result<FolderStep> open_step(std::string_view name) = 0;
};

/// Who besides the machine's administrators could have made a file or folder what it is.
enum class Trust {
  /// Owned by SYSTEM, Administrators, TrustedInstaller, the service's own account or an account
  /// in the Administrators group (whose files are their own where administrators' objects belong
  /// to their creator), natively by root or the service's account; and no other account may
  /// write it, delete it or change its permissions.
  Administrators,
  /// A link (a reparse point), which any user who may write its folder can point anywhere.
  Link,
  /// Owned by another account.
  OtherOwner,
  /// Another account may write it, delete it or change its permissions.
  OpenToOthers,
};

/// A file judged and read through one handle (FileSystem::read_trusted).
struct TrustedRead {
  /// Who could have made the file what it is, asked of the handle that was read.
  Trust trust = Trust::Administrators;
  /// Its first bytes up to the limit; read only when `trust` is Trust::Administrators (empty
  /// otherwise). An error when reading failed, a folder or a device included.
  Result<std::string> content = std::string();
};

/// An entry that FileSystem::secure_folder_files took out of a folder, and what it was.
struct RemovedEntry {
  std::string name;
  Trust found = Trust::Link;
};

/// Everything the service asks of a file system. One real implementation per platform, and a
/// recording fake for tests that need failures no real disk produces on demand.
class FileSystem {
 public:
  virtual ~FileSystem() = default;

  /// Opens a folder by its path, following links on the way and at its end: the data folder,
  /// or the folder a root's path starts at (a root itself is opened name by name from there,
  /// see chase_path).
  virtual Result<std::unique_ptr<Folder>> open_folder(const Path& folder) = 0;

  /// The attribute bits of a file or folder (GetFileAttributesW); an error where that call
  /// would return INVALID_FILE_ATTRIBUTES.
  virtual Result<std::uint32_t> get_attributes(const Path& path) = 0;

  /// Replaces the attribute bits of a file or folder (SetFileAttributesW).
  virtual Result<void> set_attributes(const Path& path, std::uint32_t attributes) = 0;

  /// The content of a file up to `limit` bytes (all of it when it is shorter); memory grows with
  /// what is read, never with the size the file claims. ErrorKind::NotFound when it does not
  /// exist.
  virtual Result<std::string> read_file(const Path& path, std::size_t limit) = 0;

  /// Opens a file for writing, created if missing and truncated if present, shared for read,
  /// write and delete. Succeeds on a file that carries HIDDEN or SYSTEM; fails with
  /// ErrorKind::AccessDenied on one that carries READONLY.
  virtual Result<std::unique_ptr<WritableFile>> create_or_truncate(const Path& path) = 0;

  /// Deletes a file, also one that carries READONLY.
  virtual Result<void> delete_file(const Path& path) = 0;

  /// What the path names, following links; ErrorKind::NotFound when nothing is there.
  virtual Result<FileType> file_type(const Path& path) = 0;

  /// Creates a folder together with its missing ancestors; an existing folder is fine.
  virtual Result<void> create_folders(const Path& folder) = 0;

  /// Replaces `target` with `source` in one step (both in the same folder), so that a reader
  /// sees either the old or the new content, never a part.
  virtual Result<void> replace_file(const Path& source, const Path& target) = 0;

  /// Who could have made the file or folder at `path` (a link at its end is not followed);
  /// ErrorKind::NotFound when nothing is there.
  virtual Result<Trust> trust(const Path& path) = 0;

  /// Makes `folder` one that only administrators may change: created so when missing (its
  /// parent must exist), a link in its place replaced by a folder, and an existing folder given
  /// the administrators as owner and permissions that let nobody else write in it (Windows: a
  /// protected DACL granting SYSTEM and Administrators full control and Users read and execute;
  /// natively: the service's account as owner and mode 0755). On Windows it enables the
  /// take-ownership and restore privileges while it works (LocalSystem holds them disabled), so
  /// that a folder whose DACL shuts SYSTEM out can be taken back too. Returns what it found
  /// before.
  virtual Result<Trust> secure_folder(const Path& folder) = 0;

  /// Opens the file at `path` as itself (a link at its end is judged as the link, never
  /// followed), judges that handle as trust() judges a path, and reads its first `limit` bytes
  /// through the same handle when, and only when, it is the administrators'. Nothing that takes
  /// the name between the judgement and the read is ever read. ErrorKind::NotFound when nothing
  /// is there; any other error means the file could not be judged.
  virtual Result<TrustedRead> read_trusted(const Path& path, std::size_t limit) = 0;

  /// Creates the new file at `path` for writing, never an existing one and never through a
  /// link (ErrorKind::AlreadyExists when anything has the name), owned by the administrators
  /// whatever the owner policy for what they create (Windows: owner Administrators in a
  /// security descriptor given at creation; natively the process's account) and writable by
  /// nobody else (natively mode 0644, whatever the umask).
  virtual Result<std::unique_ptr<WritableFile>> create_new_file(const Path& path) = 0;

  /// Makes the files directly inside `folder`, which secure_folder made the administrators',
  /// theirs alone too: one that trust() reports as Trust::Administrators gets the owner and
  /// permissions of a file the service creates there, and a link or any other file is removed,
  /// because whoever made it may still hold it open for writing and a new owner would make it
  /// count. Folders inside are left as they are. Returns what it removed.
  virtual Result<std::vector<RemovedEntry>> secure_folder_files(const Path& folder) = 0;

  /// True when the file system returns metadata for the path (a folder counts).
  bool exists(const Path& path) { return file_type(path).ok(); }
};

/// The platform's real file system.
FileSystem& real_file_system();

/// Creates `folder` with its missing ancestors by `create_folder`, which makes one folder (an
/// existing one is fine) and fails with ErrorKind::NotFound when its parent is missing: walks up
/// only as far as folders are missing, then creates them top down.
Result<void> create_folders_one_by_one(
    const Path& folder, const std::function<Result<void>(const Path&)>& create_folder);

/// Writes `content` into a new file at `temporary` (whatever had that name is deleted first,
/// never written through) and puts it in place of `target` in one step, so that a reader sees
/// either the old or the new content; on failure nothing is left at `temporary`.
Result<void> replace_with_new_file(FileSystem& fs, const Path& temporary, const Path& target,
                                   std::string_view content);

}  // namespace tindral::platform
