#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

#include "error.h"
#include "platform/file_system.h"
#include "platform/path.h"

namespace tindral::test_support {

/// An in-memory file system with Windows semantics that records what the code under test
/// changes and fails where a test asks it to, for the failures no real disk produces on demand,
/// and that changes its tree between two calls where a test asks it to, for the races a real
/// disk shows only by chance.
///
/// Paths are split at platform::is_separator; names compare byte for byte (unlike NTFS, case
/// matters). A listing returns entries in the order they were added, which stands for the
/// arbitrary order of a real file system. Attributes behave as on Windows: a folder always
/// carries DIRECTORY, a new file ARCHIVE; READONLY files refuse truncation but can be deleted;
/// HIDDEN and SYSTEM files can be truncated. Links are entries with REPARSE_POINT and a reparse
/// tag; Folder::open_step shows a link's target as add_symlink was given it (relative targets
/// included, which nothing else follows). Only open_folder, file_type and read_file follow a
/// link that has a target (add_symlink),
/// on the way and at the end, as the real calls do; the other calls neither pass through a link
/// on the way nor follow one at the end (the real create_or_truncate would), no handle follows
/// one, and a link without a target (add_link) opens as the empty folder it is.
/// Open folders and files hold their entry, as handles do: an entry moved or taken out of its
/// folder after the open is still the one they act on. Errors carry Windows system error codes.
///
/// Nothing in it recurses and lookups reuse the previous lookup's prefix, so trees 100,000
/// folders deep work as long as a walk goes depth first. One thread at a time; listings, open
/// folders and open files must not outlive the fake.
class FakeFileSystem final : public platform::FileSystem {
 public:
  /// The operations a test can make fail.
  enum class Op {
    OpenFolder,
    OpenListing,
    GetAttributes,
    SetAttributes,
    ReadFile,
    CreateOrTruncate,
    DeleteFile,
    FileType,
    CreateFolders,
    ReplaceFile,
    /// Judging a file or folder: trust(), read_trusted(), and secure_folder() and
    /// secure_folder_files() on what they judge.
    Trust,
    CreateNewFile,
    /// OpenFile::rename_to and OpenFile::take_place_of, on the file being renamed.
    Rename,
  };

  FakeFileSystem();
  ~FakeFileSystem() override;
  FakeFileSystem(const FakeFileSystem&) = delete;
  FakeFileSystem& operator=(const FakeFileSystem&) = delete;

  // Building the tree; none of this is recorded. Missing ancestors become plain folders, and
  // adding an existing entry again replaces its attributes (and a file's content).

  /// Adds a folder; DIRECTORY is always added to `attributes`.
  void add_folder(const Path& folder, std::uint32_t attributes = platform::kAttrDirectory,
                  std::uint32_t reparse_tag = 0);
  /// Adds a file with `content` and exactly `attributes`.
  void add_file(const Path& file, std::string content = {},
                std::uint32_t attributes = platform::kAttrArchive, std::uint32_t reparse_tag = 0);
  /// Adds a link to a folder (DIRECTORY | REPARSE_POINT with `reparse_tag`); it lists empty.
  void add_link(const Path& link, std::uint32_t reparse_tag = platform::kReparseTagSymlink);
  /// Adds a symbolic link to `target`, which need not exist: to a folder DIRECTORY |
  /// REPARSE_POINT, to a file ARCHIVE | REPARSE_POINT, with the symbolic-link tag either way.
  void add_symlink(const Path& link, const Path& target, bool target_is_folder);
  /// Adds something that is neither a file nor a folder (a device, a FIFO): it opens, but has no
  /// content of its own.
  void add_special(const Path& path);
  /// Sets a folder's last-write time.
  void set_last_write_time(const Path& folder, platform::FileTime time);
  /// Gives an existing file `count` names, as hard links elsewhere would.
  void set_link_count(const Path& file, std::uint32_t count);
  /// Makes an existing file claim `size` bytes (a sparse file); reads return zero bytes up to
  /// that size without the fake holding them.
  void set_claimed_size(const Path& file, std::uint64_t size);
  /// Moves an entry, with everything below it, to a new path whose folder exists; open handles
  /// follow it.
  void move(const Path& from, const Path& to);
  /// Takes an entry out of its folder; open handles keep it.
  void take_out(const Path& path);
  /// Makes trust() report `trust` for the entry at `path` until secure_folder() or
  /// secure_folder_files() fixes it (every other entry reports Trust::Administrators, a link
  /// Trust::Link).
  void set_trust(const Path& path, platform::Trust trust);
  /// Gives the entry at `path` an owner; every other entry belongs to the administrators.
  void set_owner(const Path& path, platform::Owner owner);
  /// Makes Folder::open_parent fail, as it does on Windows, so that a walk must reach folders it
  /// let go of from their ancestors.
  void refuse_open_parent() { parent_open_supported_ = false; }
  /// Adds `depth` plain folders named `name`, each inside the one before, below `top`, and
  /// returns the deepest. Takes time in proportion to the depth, where adding each folder by its
  /// path would take the square.
  Path add_folder_chain(const Path& top, std::string_view name, std::size_t depth);

  // Failures, each in force until the end of the test.

  /// Makes `op` on `path` fail with an OS error of `kind`, before it changes anything.
  void refuse(Op op, const Path& path, ErrorKind kind = ErrorKind::AccessDenied);
  /// Ends a refusal made with refuse(), from the next call on.
  void lift_refusal(Op op, const Path& path);
  /// Makes each file opened for writing at `file` accept `bytes` bytes, then fail (disk full).
  void fail_write_after(const Path& file, std::size_t bytes);
  /// Makes each listing of `folder` return `entries` entries, then an error.
  void break_listing_after(const Path& folder, std::size_t entries);

  // Changes, each made once.

  /// Runs `change` right before the first `op` on `path` (by path, or through a handle of the
  /// folder or file at that path), so that the call meets the tree as `change` leaves it.
  void before(Op op, const Path& path, std::function<void()> change);
  /// Runs `check` after every recorded call has changed the tree, so that a test can look at
  /// every state a user could have seen on the disk meanwhile.
  void after_each_operation(std::function<void()> check) { watcher_ = std::move(check); }

  // What a test inspects; none of this is recorded.

  /// True when an entry exists at the path.
  bool contains(const Path& path) const;
  /// The content of a file ("" and a test failure when there is none).
  std::string content(const Path& file) const;
  /// The attribute bits of an entry (0 and a test failure when there is none).
  std::uint32_t attributes(const Path& path) const;
  /// A folder's last-write time: it moves on whenever a recorded call adds, removes or renames
  /// an entry in the folder, and a handle can set it back.
  platform::FileTime last_write_time(const Path& folder) const;

  /// Every mutating call so far, one line each: "create <path>", "truncate <path>",
  /// "write <path>", "set_attributes <path> 0x6", "delete <path>", "create_folders <path>",
  /// "replace <source> <target>", "secure_folder <path>", "secure <path>" (a file given to the
  /// administrators), "rename <path> <new name>", "take_place <path> <judged's name>",
  /// "set_last_write_time <path>"; " (failed)" is appended when the call returned an error. Each
  /// path is shown as it was at the time of the call.
  /// Paths are shown joined with platform::kSeparator, as they are when the call is recorded.
  std::vector<std::string> operations() const;
  /// The number of recorded calls (cheap, also for deep trees).
  std::size_t operation_count() const { return recorded_.size(); }
  /// Forgets the calls recorded so far, for tests that assert only what follows.
  void clear_operations() { recorded_.clear(); }

  /// Every attempt to open a file for reading (through a folder or by path), in order, whether
  /// or not a file was there.
  std::vector<std::string> files_opened_for_reading() const;

  /// Listings open right now.
  int open_listings() const { return open_listings_; }
  /// The most listings that were ever open at the same time.
  int max_open_listings() const { return max_open_listings_; }
  /// Folders open right now, and the most that were ever open at the same time.
  int open_folders() const { return open_folders_; }
  int max_open_folders() const { return max_open_folders_; }

  // platform::FileSystem
  Result<std::unique_ptr<platform::Folder>> open_folder(const Path& folder) override;
  Result<std::uint32_t> get_attributes(const Path& path) override;
  Result<void> set_attributes(const Path& path, std::uint32_t attributes) override;
  Result<std::string> read_file(const Path& path, std::size_t limit) override;
  Result<std::unique_ptr<platform::WritableFile>> create_or_truncate(const Path& path) override;
  Result<void> delete_file(const Path& path) override;
  Result<platform::FileType> file_type(const Path& path) override;
  Result<void> create_folders(const Path& folder) override;
  Result<void> replace_file(const Path& source, const Path& target) override;
  Result<platform::Trust> trust(const Path& path) override;
  Result<platform::Trust> secure_folder(const Path& folder) override;
  Result<platform::TrustedRead> read_trusted(const Path& path, std::size_t limit) override;
  Result<std::unique_ptr<platform::WritableFile>> create_new_file(const Path& path) override;
  Result<std::vector<platform::RemovedEntry>> secure_folder_files(const Path& folder) override;

 private:
  class Listing;
  class File;
  class OpenedFolder;
  class OpenedFile;
  using NodeId = std::uint32_t;

  struct NameHash {
    using is_transparent = void;
    std::size_t operator()(std::string_view name) const {
      return std::hash<std::string_view>{}(name);
    }
  };

  struct Node {
    std::string name;
    NodeId parent = 0;
    std::uint32_t depth = 0;  ///< components from the top, the top itself 0
    std::uint32_t attributes = 0;
    std::uint32_t reparse_tag = 0;
    bool special = false;
    std::uint32_t link_count = 1;
    std::uint64_t claimed_size = 0;  ///< when larger than the content
    std::int64_t last_write = 0;     ///< a folder's, in changes since the fake was made
    std::string content;
    std::string link_target;  ///< a symbolic link's target, in canonical spelling
    platform::Owner owner = {true, "Administrators"};
    std::vector<NodeId> children;  ///< in listing order
    std::unordered_map<std::string, NodeId, NameHash, std::equal_to<>> by_name;
  };

  /// The deepest existing entry along a path and where its component ends.
  struct Lookup {
    NodeId deepest = kTop;
    std::size_t end = 0;
    bool complete = false;
  };

  struct Recorded {
    std::string verb;
    NodeId node = kNone;    ///< the entry, when it existed at the time of the call
    std::string path_text;  ///< the path otherwise
    std::string detail;     ///< after the path
    bool failed = false;
    /// Entries this call renamed, each with the name it had before.
    std::vector<std::pair<NodeId, std::string>> earlier_names;
  };

  static constexpr NodeId kTop = 0;
  static constexpr NodeId kNone = 0xFFFFFFFF;

  Lookup look_up(std::string_view path) const;
  NodeId find(std::string_view path) const;
  /// The entry a path names with every symbolic link on the way and at its end followed (kNone
  /// when there is none), or nothing when the links go on too long to be resolved.
  std::optional<NodeId> find_following(std::string_view path) const;
  /// The file at `path` (null and a test failure when there is none).
  Node* file_node(const Path& file);
  NodeId make_folders(std::string_view path);
  NodeId add_child(NodeId parent, std::string_view name, std::uint32_t attributes);
  void unlink(NodeId id);
  std::pair<NodeId, std::string_view> parent_and_name(const Path& path);
  bool is_folder(NodeId id) const;

  /// The path of an entry, the entries in `names_then` shown by the names given there.
  std::string node_text(NodeId id, const std::map<NodeId, std::string>& names_then = {}) const;
  std::optional<Error> refusal(Op op, const Path& path) const;
  /// Makes the change due before `op` on `path` (if any), then says whether `op` is refused.
  std::optional<Error> arrive(Op op, const Path& path);
  /// arrive for the entry `id`, or for its child `name`. The path is spelled out only when a
  /// change or refusal is pending, so that deep trees stay cheap.
  std::optional<Error> arrive(Op op, NodeId id, std::string_view name = {});
  /// The path of an entry as the tree spells it now, or of its child `name`.
  Path path_of(NodeId id, std::string_view name = {}) const;
  /// The byte limit for writes to the file at a path, or to the child `name` of `folder`.
  std::size_t write_limit(const Path& file) const;
  std::size_t write_limit(NodeId folder, std::string_view name) const;
  NodeId child_of(NodeId folder, std::string_view name) const;
  Result<void> set_node_attributes(NodeId id, std::uint32_t attributes);
  void record_node(std::string verb, NodeId id, bool failed, std::string detail = {});
  void record_child(std::string verb, NodeId folder, std::string_view name, bool failed);
  /// Records a call on `path`, whose entry is `node` (kNone when there is none).
  void record(std::string verb, const Path& path, NodeId node, bool failed,
              std::string detail = {});
  /// Keeps a recorded call and shows the tree as it now is to the watcher.
  void push_recorded(Recorded entry);
  /// Notes a change of the entries of `folder`.
  void touch(NodeId folder) { nodes_[folder].last_write = ++changes_made_; }
  /// Gives the entry `id` the free name `name` in its folder.
  void rename_node(NodeId id, const std::string& name);
  /// Swaps the names of two entries of one folder.
  void swap_names(NodeId first, NodeId second);
  /// Drops the lookup cache, which names that changed would mislead.
  void forget_lookups();
  Result<void> write(NodeId id, std::string_view data, std::size_t& written, std::size_t limit);
  Result<std::unique_ptr<platform::DirListing>> list(NodeId id);
  Result<std::unique_ptr<platform::Folder>> open_folder_node(NodeId id);
  /// What trust() reports for the entry `id` at `path`.
  platform::Trust trust_of(NodeId id, const Path& path) const;
  void listing_closed() { --open_listings_; }
  void folder_closed() { --open_folders_; }

  std::deque<Node> nodes_;
  std::vector<Recorded> recorded_;
  std::map<std::pair<Op, std::string>, ErrorKind> refusals_;
  std::map<std::string, std::size_t> write_limits_;
  std::map<std::string, std::size_t> listing_breaks_;
  std::map<std::pair<Op, std::string>, std::function<void()>> changes_;
  std::vector<std::pair<NodeId, std::string>> read_attempts_;  ///< folder and name
  std::function<void()> watcher_;
  bool watching_ = false;
  std::int64_t changes_made_ = 0;
  bool parent_open_supported_ = true;
  std::map<std::string, platform::Trust> trusts_;
  int open_listings_ = 0;
  int max_open_listings_ = 0;
  int open_folders_ = 0;
  int max_open_folders_ = 0;

  // The path of the previous lookup with the entries along it, so that a depth-first walk
  // resolves only the components that changed instead of the whole path each time.
  mutable std::string cached_path_;
  mutable std::vector<std::size_t> cached_ends_;
  mutable std::vector<NodeId> cached_ids_;
};

}  // namespace tindral::test_support
