#include "support/fake_file_system.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <limits>

#include "canonical_path.h"

namespace tindral::test_support {

using platform::DirEntry;
using platform::FileType;
using platform::is_separator;
using platform::kAttrArchive;
using platform::kAttrDirectory;
using platform::kAttrNormal;
using platform::kAttrReadonly;
using platform::kAttrReparsePoint;
using platform::kSeparator;

namespace {

constexpr std::size_t kUnlimited = std::numeric_limits<std::size_t>::max();

// Windows system error codes, so that the fake's failures look like the real layer's.
Error file_not_found() {
  return Error::from_os(2, "The system cannot find the file specified.", ErrorKind::NotFound);
}
Error path_not_found() {
  return Error::from_os(3, "The system cannot find the path specified.", ErrorKind::NotFound);
}
Error access_denied() { return Error::from_os(5, "Access is denied.", ErrorKind::AccessDenied); }
Error disk_full() {
  return Error::from_os(112, "There is not enough space on the disk.", ErrorKind::Other);
}
Error already_exists() {
  return Error::from_os(183, "Cannot create a file when that file already exists.",
                        ErrorKind::Other);
}
Error wrong_type() {
  return Error::from_os(267, "The directory name is invalid.", ErrorKind::WrongType);
}
Error file_exists() { return Error::from_os(80, "The file exists.", ErrorKind::AlreadyExists); }
Error cannot_resolve() {
  return Error::from_os(1921, "The name of the file cannot be resolved by the system.",
                        ErrorKind::Other);
}
Error not_supported() {
  return Error::from_os(50, "The request is not supported.", ErrorKind::Other);
}
Error device_error() {
  return Error::from_os(1117, "The request could not be performed because of an I/O device error.",
                        ErrorKind::Other);
}

Error os_error_of_kind(ErrorKind kind) {
  switch (kind) {
    case ErrorKind::NotFound:
      return file_not_found();
    case ErrorKind::AccessDenied:
      return access_denied();
    case ErrorKind::InvalidData:
      return Error::from_os(13, "The data is invalid.", ErrorKind::InvalidData);
    case ErrorKind::AlreadyExists:
      return file_exists();
    case ErrorKind::WrongType:
      return wrong_type();
    case ErrorKind::OtherFileSystem:
      return Error::from_os(17, "The system cannot move the file to a different disk drive.",
                            ErrorKind::OtherFileSystem);
    case ErrorKind::Other:
      break;
  }
  return device_error();
}

// Finds the component that starts at `pos` (0, or the end of the previous component). The first
// component may be empty (the root of an absolute POSIX path); empty later ones, from doubled or
// trailing separators, are skipped.
bool next_component(std::string_view path, std::size_t pos, bool first, std::size_t& begin,
                    std::size_t& end) {
  if (!first) {
    while (pos < path.size() && is_separator(path[pos])) ++pos;
    if (pos == path.size()) return false;
  }
  begin = pos;
  end = pos;
  while (end < path.size() && !is_separator(path[end])) ++end;
  return true;
}

// The path's components joined with kSeparator, so that different spellings of one path meet.
std::string canonical(std::string_view path) {
  std::string joined;
  std::size_t begin = 0;
  std::size_t end = 0;
  bool first = true;
  while (next_component(path, end, first, begin, end)) {
    if (!first) joined += kSeparator;
    joined.append(path.substr(begin, end - begin));
    first = false;
  }
  if (joined.empty() && !path.empty()) joined = kSeparator;
  return joined;
}

// memcmp in blocks first: the paths of a deep walk share long prefixes.
std::size_t common_prefix_length(std::string_view a, std::string_view b) {
  const std::size_t limit = std::min(a.size(), b.size());
  if (std::memcmp(a.data(), b.data(), limit) == 0) return limit;
  constexpr std::size_t kBlock = 512;
  std::size_t i = 0;
  while (i + kBlock <= limit && std::memcmp(a.data() + i, b.data() + i, kBlock) == 0) i += kBlock;
  while (i < limit && a[i] == b[i]) ++i;
  return i;
}

// SetFileAttributesW cannot change DIRECTORY or REPARSE_POINT, and NORMAL stands alone: it is
// what an entry without any other bit reports.
std::uint32_t applied_attributes(std::uint32_t old, std::uint32_t requested) {
  constexpr std::uint32_t kFixed = kAttrDirectory | kAttrReparsePoint;
  std::uint32_t result = (requested & ~kFixed) | (old & kFixed);
  return (result & ~kAttrNormal) != 0 ? result & ~kAttrNormal : kAttrNormal;
}

std::string hex(std::uint32_t value) {
  char text[16];
  std::snprintf(text, sizeof text, "0x%x", static_cast<unsigned>(value));
  return text;
}

}  // namespace

class FakeFileSystem::Listing final : public platform::DirListing {
 public:
  Listing(FakeFileSystem& fs, std::vector<DirEntry> entries, std::size_t break_after)
      : fs_(fs), entries_(std::move(entries)), break_after_(break_after) {}
  ~Listing() override { fs_.listing_closed(); }

  Result<bool> next(DirEntry& entry) override {
    if (position_ == break_after_) return device_error();
    if (position_ == entries_.size()) return false;
    entry = std::move(entries_[position_++]);
    return true;
  }

 private:
  FakeFileSystem& fs_;
  std::vector<DirEntry> entries_;
  std::size_t break_after_;
  std::size_t position_ = 0;
};

class FakeFileSystem::File final : public platform::WritableFile {
 public:
  File(FakeFileSystem& fs, NodeId id, std::size_t limit) : fs_(fs), id_(id), limit_(limit) {}

  Result<void> write_all(std::string_view data) override {
    return fs_.write(id_, data, written_, limit_);
  }

 private:
  FakeFileSystem& fs_;
  NodeId id_;
  std::size_t limit_;
  std::size_t written_ = 0;
};

// A file handle, opened as itself (a link or a special entry opens, but is not regular). It
// remembers the name it was opened by, which take_place_of checks.
class FakeFileSystem::OpenedFile final : public platform::OpenFile {
 public:
  OpenedFile(FakeFileSystem& fs, NodeId id, std::size_t limit)
      : fs_(fs), id_(id), limit_(limit), name_(fs.nodes_[id].name) {}

  Result<platform::OpenFileInfo> info() override {
    const Node& node = fs_.nodes_[id_];
    platform::OpenFileInfo info;
    info.regular = !node.special && (node.attributes & kAttrReparsePoint) == 0;
    info.size = std::max<std::uint64_t>(node.claimed_size, node.content.size());
    info.link_count = node.link_count;
    info.id = platform::FileId{0, 0, id_};
    return info;
  }

  Result<std::string> read(std::size_t limit) override {
    const Node& node = fs_.nodes_[id_];
    if (node.special) return access_denied();
    if (node.claimed_size > node.content.size()) {
      return std::string(
          static_cast<std::size_t>(std::min<std::uint64_t>(limit, node.claimed_size)), '\0');
    }
    return node.content.substr(0, limit);
  }

  Result<void> truncate() override {
    if (auto refused = fs_.arrive(Op::CreateOrTruncate, id_)) {
      fs_.record_node("truncate", id_, true);
      return *refused;
    }
    Node& node = fs_.nodes_[id_];
    if ((node.attributes & kAttrReadonly) != 0 || node.special) {
      fs_.record_node("truncate", id_, true);
      return access_denied();
    }
    node.content.clear();
    node.claimed_size = 0;
    node.attributes = applied_attributes(node.attributes, node.attributes | kAttrArchive);
    fs_.record_node("truncate", id_, false);
    return {};
  }

  Result<void> write_all(std::string_view data) override {
    return fs_.write(id_, data, written_, limit_);
  }

  Result<void> set_attributes(std::uint32_t attributes) override {
    return fs_.set_node_attributes(id_, attributes);
  }

  Result<std::uint32_t> attributes() override {
    if (auto refused = fs_.arrive(Op::GetAttributes, id_)) return *refused;
    return fs_.nodes_[id_].attributes;
  }

  // Deletes this entry, wherever it is now; one already taken out is gone.
  Result<void> remove() override {
    if (auto refused = fs_.arrive(Op::DeleteFile, id_)) {
      fs_.record_node("delete", id_, true);
      return *refused;
    }
    const Node& node = fs_.nodes_[id_];
    const bool present = fs_.child_of(node.parent, node.name) == id_;
    if (present) {
      fs_.unlink(id_);
      fs_.touch(node.parent);
    }
    fs_.record_node("delete", id_, !present);
    if (!present) return file_not_found();
    return {};
  }

  Result<void> rename_to(std::string_view name) override {
    const NodeId folder = fs_.nodes_[id_].parent;
    const std::string before = fs_.nodes_[id_].name;
    std::optional<Error> failure = fs_.arrive(Op::Rename, id_);
    if (!failure && fs_.child_of(folder, before) != id_) failure = file_not_found();
    if (!failure && fs_.child_of(folder, name) != kNone) failure = file_exists();
    Recorded entry{"rename", id_, {}, std::string(name), failure.has_value(), {}};
    if (!failure) {
      fs_.rename_node(id_, std::string(name));
      fs_.touch(folder);
      name_ = name;
      entry.earlier_names.emplace_back(id_, before);
    }
    fs_.push_recorded(std::move(entry));
    if (failure) return *failure;
    return {};
  }

  // Swaps the two names in one step, as the native layer does; `aside` is for platforms that
  // cannot.
  Result<void> take_place_of(platform::OpenFile& judged, std::string_view /*aside*/) override {
    auto& other = static_cast<OpenedFile&>(judged);
    const NodeId folder = fs_.nodes_[id_].parent;
    std::optional<Error> failure = fs_.arrive(Op::Rename, id_);
    if (!failure &&
        (fs_.child_of(folder, name_) != id_ || fs_.child_of(folder, other.name_) != other.id_)) {
      failure = wrong_type();
    }
    if (!failure && (fs_.nodes_[other.id_].attributes & kAttrReadonly) != 0) {
      failure = access_denied();
    }
    Recorded entry{"take_place", id_, {}, other.name_, failure.has_value(), {}};
    if (!failure) {
      entry.earlier_names = {{id_, name_}, {other.id_, other.name_}};
      fs_.swap_names(id_, other.id_);
      std::swap(name_, other.name_);
      fs_.touch(folder);
    }
    fs_.push_recorded(std::move(entry));
    if (failure) return *failure;
    return {};
  }

 private:
  FakeFileSystem& fs_;
  NodeId id_;
  std::size_t limit_;
  std::size_t written_ = 0;
  std::string name_;
};

// A folder handle: it holds its entry, wherever the entry goes after the open.
class FakeFileSystem::OpenedFolder final : public platform::Folder {
 public:
  OpenedFolder(FakeFileSystem& fs, NodeId id) : fs_(fs), id_(id) {}
  ~OpenedFolder() override { fs_.folder_closed(); }

  Result<platform::FileId> id() override { return platform::FileId{0, 0, id_}; }

  Result<std::uint32_t> attributes() override {
    if (auto refused = fs_.arrive(Op::GetAttributes, id_)) return *refused;
    return fs_.nodes_[id_].attributes;
  }

  Result<void> set_attributes(std::uint32_t attributes) override {
    return fs_.set_node_attributes(id_, attributes);
  }

  Result<std::unique_ptr<platform::DirListing>> open_listing() override { return fs_.list(id_); }

  Result<std::unique_ptr<platform::Folder>> open_subfolder(std::string_view name) override {
    if (auto refused = fs_.arrive(Op::OpenFolder, id_, name)) return *refused;
    const NodeId child = fs_.child_of(id_, name);
    if (child == kNone) return file_not_found();
    const Node& node = fs_.nodes_[child];
    // Opened as itself, a link is a reparse point rather than the folder it names.
    const bool link = (node.attributes & kAttrReparsePoint) != 0 &&
                      (node.reparse_tag & platform::kReparseTagNameSurrogate) != 0;
    if (!fs_.is_folder(child) || link) return wrong_type();
    return fs_.open_folder_node(child);
  }

  Result<std::unique_ptr<platform::Folder>> open_parent() override {
    if (!fs_.parent_open_supported_) return not_supported();
    const NodeId parent = fs_.nodes_[id_].parent;
    if (id_ == kTop || fs_.child_of(parent, fs_.nodes_[id_].name) != id_) return path_not_found();
    return fs_.open_folder_node(parent);
  }

  // The path the tree gives the entry now, as a handle follows its file.
  Result<Path> final_path() override { return fs_.path_of(id_); }

  Result<platform::Owner> owner() override { return fs_.nodes_[id_].owner; }

  Result<platform::FolderStep> open_step(std::string_view name) override {
    if (auto refused = fs_.arrive(Op::OpenFolder, id_, name)) return *refused;
    const NodeId child = fs_.child_of(id_, name);
    if (child == kNone) return file_not_found();
    const Node& node = fs_.nodes_[child];
    platform::FolderStep step;
    step.owner = node.owner;
    if ((node.attributes & kAttrReparsePoint) != 0 &&
        (node.reparse_tag & platform::kReparseTagNameSurrogate) != 0) {
      step.kind = platform::FolderStep::Kind::Link;
      step.link_target = node.link_target;
    } else if (fs_.is_folder(child)) {
      step.kind = platform::FolderStep::Kind::Folder;
      auto folder = fs_.open_folder_node(child);
      if (!folder) return std::move(folder).error();
      step.folder = std::move(*folder);
    }
    return step;
  }

  Result<std::unique_ptr<platform::OpenFile>> open_file(std::string_view name) override {
    fs_.read_attempts_.emplace_back(id_, std::string(name));
    if (auto refused = fs_.arrive(Op::ReadFile, id_, name)) return *refused;
    const NodeId child = fs_.child_of(id_, name);
    if (child == kNone) return file_not_found();
    if (fs_.is_folder(child)) return wrong_type();
    return std::unique_ptr<platform::OpenFile>(
        std::make_unique<OpenedFile>(fs_, child, fs_.write_limit(id_, name)));
  }

  Result<std::unique_ptr<platform::OpenFile>> create_file(std::string_view name) override {
    return create_file_with_attributes(name, kAttrArchive);
  }

  // Windows adds ARCHIVE to a file it creates.
  Result<std::unique_ptr<platform::OpenFile>> create_file_with_attributes(
      std::string_view name, std::uint32_t attributes) override {
    if (auto refused = fs_.arrive(Op::CreateOrTruncate, id_, name)) {
      fs_.record_child("create", id_, name, true);
      return *refused;
    }
    if (fs_.child_of(id_, name) != kNone) {
      fs_.record_child("create", id_, name, true);
      return file_exists();
    }
    const NodeId child =
        fs_.add_child(id_, name, applied_attributes(kAttrArchive, attributes | kAttrArchive));
    fs_.touch(id_);
    fs_.record_node("create", child, false);
    return std::unique_ptr<platform::OpenFile>(
        std::make_unique<OpenedFile>(fs_, child, fs_.write_limit(id_, name)));
  }

  Result<platform::FileTime> last_write_time() override {
    return platform::FileTime{fs_.nodes_[id_].last_write};
  }

  Result<void> set_last_write_time(platform::FileTime time) override {
    const std::optional<Error> refused = fs_.arrive(Op::SetAttributes, id_);
    if (!refused) fs_.nodes_[id_].last_write = time.value;
    fs_.record_node("set_last_write_time", id_, refused.has_value());
    if (refused) return *refused;
    return {};
  }

 private:
  FakeFileSystem& fs_;
  NodeId id_;
};

FakeFileSystem::FakeFileSystem() {
  nodes_.emplace_back();
  nodes_.back().attributes = kAttrDirectory;
}

FakeFileSystem::~FakeFileSystem() = default;

// ---- building -------------------------------------------------------------------------------

void FakeFileSystem::add_folder(const Path& folder, std::uint32_t attributes,
                                std::uint32_t reparse_tag) {
  NodeId id = folder.empty() ? kNone : make_folders(folder.bytes());
  if (id == kNone) {
    ADD_FAILURE() << "FakeFileSystem: cannot add folder " << folder.display();
    return;
  }
  nodes_[id].attributes = attributes | kAttrDirectory;
  nodes_[id].reparse_tag = reparse_tag;
}

void FakeFileSystem::add_file(const Path& file, std::string content, std::uint32_t attributes,
                              std::uint32_t reparse_tag) {
  const std::string_view name = file.file_name();
  const Path folder = file.parent();
  const NodeId parent = folder.empty() ? kTop : make_folders(folder.bytes());
  NodeId id = kNone;
  if (!name.empty() && parent != kNone && (attributes & kAttrDirectory) == 0) {
    auto existing = nodes_[parent].by_name.find(name);
    id = existing != nodes_[parent].by_name.end() ? existing->second
                                                  : add_child(parent, name, attributes);
  }
  if (id == kNone || is_folder(id)) {
    ADD_FAILURE() << "FakeFileSystem: cannot add file " << file.display();
    return;
  }
  nodes_[id].attributes = attributes;
  nodes_[id].reparse_tag = reparse_tag;
  nodes_[id].content = std::move(content);
}

void FakeFileSystem::add_link(const Path& link, std::uint32_t reparse_tag) {
  add_folder(link, kAttrDirectory | kAttrReparsePoint, reparse_tag);
}

void FakeFileSystem::add_symlink(const Path& link, const Path& target, bool target_is_folder) {
  if (target_is_folder) {
    add_link(link);
  } else {
    add_file(link, {}, kAttrArchive | kAttrReparsePoint, platform::kReparseTagSymlink);
  }
  const NodeId id = find(link.bytes());
  if (id != kNone) nodes_[id].link_target = canonical(target.bytes());
}

void FakeFileSystem::add_special(const Path& path) {
  add_file(path, {}, kAttrNormal);
  const NodeId id = find(path.bytes());
  if (id != kNone) nodes_[id].special = true;
}

FakeFileSystem::Node* FakeFileSystem::file_node(const Path& file) {
  const NodeId id = find(file.bytes());
  if (id == kNone || is_folder(id)) {
    ADD_FAILURE() << "FakeFileSystem: no file " << file.display();
    return nullptr;
  }
  return &nodes_[id];
}

void FakeFileSystem::set_last_write_time(const Path& folder, platform::FileTime time) {
  const NodeId id = find(folder.bytes());
  if (id == kNone || !is_folder(id)) {
    ADD_FAILURE() << "FakeFileSystem: no folder " << folder.display();
    return;
  }
  nodes_[id].last_write = time.value;
}

void FakeFileSystem::set_owner(const Path& path, platform::Owner owner) {
  const NodeId id = find(path.bytes());
  if (id == kNone) {
    ADD_FAILURE() << "FakeFileSystem: nothing to own at " << path.display();
    return;
  }
  nodes_[id].owner = std::move(owner);
}

void FakeFileSystem::set_link_count(const Path& file, std::uint32_t count) {
  if (Node* node = file_node(file)) node->link_count = count;
}

void FakeFileSystem::set_claimed_size(const Path& file, std::uint64_t size) {
  if (Node* node = file_node(file)) node->claimed_size = size;
}

void FakeFileSystem::move(const Path& from, const Path& to) {
  const NodeId id = find(from.bytes());
  auto [parent, name] = parent_and_name(to);
  if (id == kNone || parent == kNone || nodes_[parent].by_name.contains(name)) {
    ADD_FAILURE() << "FakeFileSystem: cannot move " << from.display() << " to " << to.display();
    return;
  }
  const std::string new_name(name);
  unlink(id);
  forget_lookups();
  Node& node = nodes_[id];
  node.name = new_name;
  node.parent = parent;
  nodes_[parent].children.push_back(id);
  nodes_[parent].by_name.emplace(new_name, id);
  // The lookup cache relies on every entry's depth.
  std::vector<NodeId> pending{id};
  while (!pending.empty()) {
    const NodeId next = pending.back();
    pending.pop_back();
    nodes_[next].depth = nodes_[nodes_[next].parent].depth + 1;
    pending.insert(pending.end(), nodes_[next].children.begin(), nodes_[next].children.end());
  }
}

void FakeFileSystem::take_out(const Path& path) {
  const NodeId id = find(path.bytes());
  if (id == kNone || id == kTop) {
    ADD_FAILURE() << "FakeFileSystem: nothing to take out at " << path.display();
    return;
  }
  unlink(id);
}

Path FakeFileSystem::add_folder_chain(const Path& top, std::string_view name, std::size_t depth) {
  NodeId node = top.empty() ? kNone : make_folders(top.bytes());
  if (node == kNone || name.empty()) {
    ADD_FAILURE() << "FakeFileSystem: cannot add folders below " << top.display();
    return top;
  }
  std::string path = top.bytes();
  path.reserve(path.size() + depth * (name.size() + 1));
  for (std::size_t level = 0; level < depth; ++level) {
    auto existing = nodes_[node].by_name.find(name);
    node = existing != nodes_[node].by_name.end() ? existing->second
                                                  : add_child(node, name, kAttrDirectory);
    if (!is_folder(node)) {
      ADD_FAILURE() << "FakeFileSystem: a file is in the way below " << top.display();
      return top;
    }
    if (path.empty() || !is_separator(path.back())) path += kSeparator;
    path += name;
  }
  return Path(std::move(path));
}

// ---- failures -------------------------------------------------------------------------------

void FakeFileSystem::refuse(Op op, const Path& path, ErrorKind kind) {
  refusals_[{op, canonical(path.bytes())}] = kind;
}

void FakeFileSystem::lift_refusal(Op op, const Path& path) {
  refusals_.erase({op, canonical(path.bytes())});
}

void FakeFileSystem::fail_write_after(const Path& file, std::size_t bytes) {
  write_limits_[canonical(file.bytes())] = bytes;
}

void FakeFileSystem::break_listing_after(const Path& folder, std::size_t entries) {
  listing_breaks_[canonical(folder.bytes())] = entries;
}

void FakeFileSystem::before(Op op, const Path& path, std::function<void()> change) {
  changes_[{op, canonical(path.bytes())}] = std::move(change);
}

std::optional<Error> FakeFileSystem::arrive(Op op, const Path& path) {
  if (!changes_.empty()) {
    auto found = changes_.find({op, canonical(path.bytes())});
    if (found != changes_.end()) {
      std::function<void()> change = std::move(found->second);
      changes_.erase(found);
      change();
    }
  }
  return refusal(op, path);
}

std::optional<Error> FakeFileSystem::arrive(Op op, NodeId id, std::string_view name) {
  if (changes_.empty() && refusals_.empty()) return std::nullopt;
  return arrive(op, path_of(id, name));
}

Path FakeFileSystem::path_of(NodeId id, std::string_view name) const {
  Path path(node_text(id));
  return name.empty() ? path : path.child(name);
}

std::size_t FakeFileSystem::write_limit(const Path& file) const {
  if (write_limits_.empty()) return kUnlimited;
  auto found = write_limits_.find(canonical(file.bytes()));
  return found != write_limits_.end() ? found->second : kUnlimited;
}

std::size_t FakeFileSystem::write_limit(NodeId folder, std::string_view name) const {
  if (write_limits_.empty()) return kUnlimited;
  return write_limit(path_of(folder, name));
}

std::optional<Error> FakeFileSystem::refusal(Op op, const Path& path) const {
  if (refusals_.empty()) return std::nullopt;
  auto found = refusals_.find({op, canonical(path.bytes())});
  if (found == refusals_.end()) return std::nullopt;
  return os_error_of_kind(found->second);
}

// ---- inspection -----------------------------------------------------------------------------

bool FakeFileSystem::contains(const Path& path) const { return find(path.bytes()) != kNone; }

std::string FakeFileSystem::content(const Path& file) const {
  NodeId id = find(file.bytes());
  if (id == kNone || is_folder(id)) {
    ADD_FAILURE() << "FakeFileSystem: no file " << file.display();
    return {};
  }
  return nodes_[id].content;
}

platform::FileTime FakeFileSystem::last_write_time(const Path& folder) const {
  NodeId id = find(folder.bytes());
  if (id == kNone || !is_folder(id)) {
    ADD_FAILURE() << "FakeFileSystem: no folder " << folder.display();
    return {};
  }
  return platform::FileTime{nodes_[id].last_write};
}

std::uint32_t FakeFileSystem::attributes(const Path& path) const {
  NodeId id = find(path.bytes());
  if (id == kNone) {
    ADD_FAILURE() << "FakeFileSystem: nothing at " << path.display();
    return 0;
  }
  return nodes_[id].attributes;
}

// From the last call back to the first, so that an entry renamed since a call is shown by the
// name it had then.
std::vector<std::string> FakeFileSystem::operations() const {
  std::vector<std::string> lines(recorded_.size());
  std::map<NodeId, std::string> names_then;
  for (std::size_t index = recorded_.size(); index-- > 0;) {
    const Recorded& entry = recorded_[index];
    for (const auto& [node, name] : entry.earlier_names) names_then[node] = name;
    std::string line = entry.verb + " ";
    line +=
        Path(entry.node != kNone ? node_text(entry.node, names_then) : entry.path_text).display();
    if (!entry.detail.empty()) line += " " + entry.detail;
    if (entry.failed) line += " (failed)";
    lines[index] = std::move(line);
  }
  return lines;
}

std::vector<std::string> FakeFileSystem::files_opened_for_reading() const {
  std::vector<std::string> paths;
  for (const auto& [folder, name] : read_attempts_) {
    paths.push_back(folder == kNone ? Path(name).display() : path_of(folder, name).display());
  }
  return paths;
}

std::string FakeFileSystem::node_text(NodeId id,
                                      const std::map<NodeId, std::string>& names_then) const {
  std::vector<const std::string*> names;
  for (; id != kTop; id = nodes_[id].parent) {
    auto then = names_then.find(id);
    names.push_back(then != names_then.end() ? &then->second : &nodes_[id].name);
  }
  std::string text;
  for (auto name = names.rbegin(); name != names.rend(); ++name) {
    if (name != names.rbegin()) text += kSeparator;
    text += **name;
  }
  if (text.empty()) text = kSeparator;
  return text;
}

void FakeFileSystem::record_node(std::string verb, NodeId id, bool failed, std::string detail) {
  push_recorded(Recorded{std::move(verb), id, {}, std::move(detail), failed, {}});
}

void FakeFileSystem::record_child(std::string verb, NodeId folder, std::string_view name,
                                  bool failed) {
  push_recorded(Recorded{std::move(verb), kNone, path_of(folder, name).bytes(), {}, failed, {}});
}

// A watcher that calls the fake itself records nothing, so it is not called again meanwhile.
void FakeFileSystem::push_recorded(Recorded entry) {
  recorded_.push_back(std::move(entry));
  if (!watcher_ || watching_) return;
  watching_ = true;
  watcher_();
  watching_ = false;
}

void FakeFileSystem::rename_node(NodeId id, const std::string& name) {
  Node& node = nodes_[id];
  Node& parent = nodes_[node.parent];
  parent.by_name.erase(node.name);
  node.name = name;
  parent.by_name.emplace(name, id);
  forget_lookups();
}

void FakeFileSystem::swap_names(NodeId first, NodeId second) {
  Node& parent = nodes_[nodes_[first].parent];
  std::swap(nodes_[first].name, nodes_[second].name);
  parent.by_name[nodes_[first].name] = first;
  parent.by_name[nodes_[second].name] = second;
  forget_lookups();
}

void FakeFileSystem::forget_lookups() {
  cached_path_.clear();
  cached_ends_.clear();
  cached_ids_.clear();
}

void FakeFileSystem::record(std::string verb, const Path& path, NodeId node, bool failed,
                            std::string detail) {
  Recorded entry{std::move(verb), node, {}, std::move(detail), failed, {}};
  if (entry.node == kNone) entry.path_text = canonical(path.bytes());
  push_recorded(std::move(entry));
}

// ---- the tree -------------------------------------------------------------------------------

FakeFileSystem::Lookup FakeFileSystem::look_up(std::string_view path) const {
  if (path.empty()) return {};
  // Reuse the cached components that lie inside the common prefix and end at a component
  // boundary of `path` too.
  const std::size_t common = common_prefix_length(path, cached_path_);
  std::size_t reused = static_cast<std::size_t>(
      std::upper_bound(cached_ends_.begin(), cached_ends_.end(), common) - cached_ends_.begin());
  while (reused > 0 && cached_ends_[reused - 1] != path.size() &&
         !is_separator(path[cached_ends_[reused - 1]])) {
    --reused;
  }
  cached_ends_.resize(reused);
  cached_ids_.resize(reused);
  cached_path_.resize(common);
  cached_path_.append(path.substr(common));

  NodeId node = reused > 0 ? cached_ids_.back() : kTop;
  std::size_t pos = reused > 0 ? cached_ends_.back() : 0;
  std::size_t begin = 0;
  std::size_t end = 0;
  while (next_component(path, pos, cached_ids_.empty(), begin, end)) {
    const auto& by_name = nodes_[node].by_name;
    auto child = by_name.find(path.substr(begin, end - begin));
    if (child == by_name.end()) return {node, pos, false};
    node = child->second;
    pos = end;
    cached_ids_.push_back(node);
    cached_ends_.push_back(end);
  }
  return {node, pos, true};
}

FakeFileSystem::NodeId FakeFileSystem::find(std::string_view path) const {
  Lookup found = look_up(path);
  return found.complete ? found.deepest : kNone;
}

// Windows gives up after 63 links in a row, which is how links in a circle end. A relative
// target continues from the link's folder.
std::optional<FakeFileSystem::NodeId> FakeFileSystem::find_following(std::string_view path) const {
  constexpr int kMostLinksFollowed = 63;
  std::string resolving(path);
  for (int followed = 0; followed <= kMostLinksFollowed; ++followed) {
    const Lookup found = look_up(resolving);
    const Node& link = nodes_[found.deepest];
    if (link.link_target.empty()) return found.complete ? found.deepest : kNone;
    resolving = link.link_target + resolving.substr(found.end);
    if (canonical_path(link.link_target, kPlatformPathStyle).problem ==
        CanonicalPath::Problem::NotAbsolute) {
      CanonicalPath from_folder =
          canonical_path(node_text(link.parent) + kSeparator + resolving, kPlatformPathStyle);
      if (from_folder.problem == CanonicalPath::Problem::None) resolving = from_folder.text;
    }
  }
  return std::nullopt;
}

// Creates the missing folders along `path`; kNone when a file is in the way.
FakeFileSystem::NodeId FakeFileSystem::make_folders(std::string_view path) {
  Lookup found = look_up(path);
  if (!is_folder(found.deepest)) return kNone;
  NodeId node = found.deepest;
  std::size_t pos = found.end;
  std::size_t begin = 0;
  std::size_t end = 0;
  while (next_component(path, pos, cached_ids_.empty(), begin, end)) {
    node = add_child(node, path.substr(begin, end - begin), kAttrDirectory);
    pos = end;
    cached_ids_.push_back(node);
    cached_ends_.push_back(end);
  }
  return node;
}

FakeFileSystem::NodeId FakeFileSystem::add_child(NodeId parent, std::string_view name,
                                                 std::uint32_t attributes) {
  const NodeId id = static_cast<NodeId>(nodes_.size());
  Node& child = nodes_.emplace_back();
  child.name = name;
  child.parent = parent;
  child.depth = nodes_[parent].depth + 1;
  child.attributes = attributes;
  nodes_[parent].children.push_back(id);
  nodes_[parent].by_name.emplace(child.name, id);
  return id;
}

// Takes an entry out of its folder. The node itself stays, so that recorded calls can still name
// it, but no lookup reaches it again.
void FakeFileSystem::unlink(NodeId id) {
  Node& node = nodes_[id];
  Node& parent = nodes_[node.parent];
  parent.by_name.erase(node.name);
  std::erase(parent.children, id);
  if (cached_ids_.size() >= node.depth && cached_ids_[node.depth - 1] == id) {
    cached_ids_.resize(node.depth - 1);
    cached_ends_.resize(node.depth - 1);
  }
}

// The folder that holds `path` (kNone when it does not exist) and the path's last component.
std::pair<FakeFileSystem::NodeId, std::string_view> FakeFileSystem::parent_and_name(
    const Path& path) {
  const std::string_view name = path.file_name();
  if (name.empty()) return {kNone, {}};
  const Path folder = path.parent();
  if (folder.empty()) return {kTop, name};
  const NodeId parent = find(folder.bytes());
  return {parent != kNone && is_folder(parent) ? parent : kNone, name};
}

bool FakeFileSystem::is_folder(NodeId id) const {
  return (nodes_[id].attributes & kAttrDirectory) != 0;
}

// ---- platform::FileSystem -------------------------------------------------------------------

FakeFileSystem::NodeId FakeFileSystem::child_of(NodeId folder, std::string_view name) const {
  const auto& by_name = nodes_[folder].by_name;
  auto found = by_name.find(name);
  return found != by_name.end() ? found->second : kNone;
}

Result<std::unique_ptr<platform::Folder>> FakeFileSystem::open_folder_node(NodeId id) {
  ++open_folders_;
  max_open_folders_ = std::max(max_open_folders_, open_folders_);
  return std::unique_ptr<platform::Folder>(std::make_unique<OpenedFolder>(*this, id));
}

Result<std::unique_ptr<platform::DirListing>> FakeFileSystem::list(NodeId id) {
  if (auto refused = arrive(Op::OpenListing, id)) return *refused;
  std::vector<DirEntry> entries;
  entries.reserve(nodes_[id].children.size());
  for (NodeId child : nodes_[id].children) {
    const Node& node = nodes_[child];
    entries.push_back(DirEntry{node.name, node.attributes, node.reparse_tag});
  }
  std::size_t break_after = kUnlimited;
  if (!listing_breaks_.empty()) {
    auto found = listing_breaks_.find(canonical(node_text(id)));
    if (found != listing_breaks_.end()) break_after = found->second;
  }
  ++open_listings_;
  max_open_listings_ = std::max(max_open_listings_, open_listings_);
  return std::unique_ptr<platform::DirListing>(
      std::make_unique<Listing>(*this, std::move(entries), break_after));
}

Result<void> FakeFileSystem::set_node_attributes(NodeId id, std::uint32_t attributes) {
  const std::optional<Error> refused = arrive(Op::SetAttributes, id);
  if (!refused) nodes_[id].attributes = applied_attributes(nodes_[id].attributes, attributes);
  record_node("set_attributes", id, refused.has_value(), hex(attributes));
  if (refused) return *refused;
  return {};
}

Result<std::unique_ptr<platform::Folder>> FakeFileSystem::open_folder(const Path& folder) {
  if (auto refused = arrive(Op::OpenFolder, folder)) return *refused;
  const std::optional<NodeId> id = find_following(folder.bytes());
  if (!id) return cannot_resolve();
  if (*id == kNone) return path_not_found();
  if (!is_folder(*id)) return wrong_type();
  return open_folder_node(*id);
}

Result<std::uint32_t> FakeFileSystem::get_attributes(const Path& path) {
  if (auto refused = arrive(Op::GetAttributes, path)) return *refused;
  const NodeId id = find(path.bytes());
  if (id == kNone) return file_not_found();
  return nodes_[id].attributes;
}

Result<void> FakeFileSystem::set_attributes(const Path& path, std::uint32_t attributes) {
  const std::string detail = hex(attributes);
  if (auto refused = arrive(Op::SetAttributes, path)) {
    record("set_attributes", path, find(path.bytes()), true, detail);
    return *refused;
  }
  const NodeId id = find(path.bytes());
  if (id != kNone) nodes_[id].attributes = applied_attributes(nodes_[id].attributes, attributes);
  record("set_attributes", path, id, id == kNone, detail);
  if (id == kNone) return file_not_found();
  return {};
}

Result<std::string> FakeFileSystem::read_file(const Path& path, std::size_t limit) {
  read_attempts_.emplace_back(kNone, canonical(path.bytes()));
  if (auto refused = arrive(Op::ReadFile, path)) return *refused;
  const std::optional<NodeId> id = find_following(path.bytes());
  if (!id) return cannot_resolve();
  if (*id == kNone) return file_not_found();
  // CreateFileW on a folder without backup semantics is refused.
  if (is_folder(*id)) return access_denied();
  return nodes_[*id].content.substr(0, limit);
}

Result<std::unique_ptr<platform::WritableFile>> FakeFileSystem::create_or_truncate(
    const Path& path) {
  if (auto refused = arrive(Op::CreateOrTruncate, path)) {
    record("create", path, find(path.bytes()), true);
    return *refused;
  }
  auto [parent, name] = parent_and_name(path);
  if (parent == kNone) {
    record("create", path, kNone, true);
    return path_not_found();
  }
  auto existing = nodes_[parent].by_name.find(name);
  NodeId id = kNone;
  if (existing == nodes_[parent].by_name.end()) {
    id = add_child(parent, name, kAttrArchive);
    touch(parent);
  } else {
    id = existing->second;
    if (is_folder(id) || (nodes_[id].attributes & kAttrReadonly) != 0) {
      record("create", path, id, true);
      return access_denied();
    }
    nodes_[id].content.clear();
    nodes_[id].attributes =
        applied_attributes(nodes_[id].attributes, nodes_[id].attributes | kAttrArchive);
  }
  record("create", path, id, false);

  return std::unique_ptr<platform::WritableFile>(
      std::make_unique<File>(*this, id, write_limit(path)));
}

Result<void> FakeFileSystem::write(NodeId id, std::string_view data, std::size_t& written,
                                   std::size_t limit) {
  const std::size_t room = limit - std::min(limit, written);
  const std::size_t accepted = std::min(room, data.size());
  nodes_[id].content.append(data.substr(0, accepted));
  written += accepted;
  const bool failed = accepted < data.size();
  push_recorded(Recorded{"write", id, {}, {}, failed, {}});
  if (failed) return disk_full();
  return {};
}

Result<void> FakeFileSystem::delete_file(const Path& path) {
  if (auto refused = arrive(Op::DeleteFile, path)) {
    record("delete", path, find(path.bytes()), true);
    return *refused;
  }
  const NodeId id = find(path.bytes());
  const bool deletable = id != kNone && !is_folder(id);
  if (deletable) {
    unlink(id);
    touch(nodes_[id].parent);
  }
  record("delete", path, id, !deletable);
  if (id == kNone) return file_not_found();
  if (!deletable) return access_denied();
  return {};
}

Result<FileType> FakeFileSystem::file_type(const Path& path) {
  if (auto refused = arrive(Op::FileType, path)) return *refused;
  const std::optional<NodeId> id = find_following(path.bytes());
  if (!id) return cannot_resolve();
  if (*id == kNone) return file_not_found();
  return is_folder(*id) ? FileType::Directory : FileType::File;
}

Result<void> FakeFileSystem::create_folders(const Path& folder) {
  if (auto refused = arrive(Op::CreateFolders, folder)) {
    record("create_folders", folder, find(folder.bytes()), true);
    return *refused;
  }
  const NodeId id = folder.empty() ? kNone : make_folders(folder.bytes());
  record("create_folders", folder, id, id == kNone);
  if (id == kNone) return already_exists();
  return {};
}

Result<void> FakeFileSystem::replace_file(const Path& source, const Path& target) {
  const std::string target_text = Path(canonical(target.bytes())).display();
  if (auto refused = arrive(Op::ReplaceFile, source)) {
    record("replace", source, find(source.bytes()), true, target_text);
    return *refused;
  }
  const NodeId from = find(source.bytes());
  const NodeId replaced = find(target.bytes());
  auto [parent, name] = parent_and_name(target);
  std::optional<Error> failure;
  if (from == kNone || parent == kNone) {
    failure = file_not_found();
  } else if (is_folder(from) ||
             (replaced != kNone &&
              (is_folder(replaced) || (nodes_[replaced].attributes & kAttrReadonly) != 0))) {
    failure = access_denied();
  }
  if (failure) {
    record("replace", source, from, true, target_text);
    return *failure;
  }
  if (from != replaced) {
    // The moved file gets a node of its own, so that calls recorded on the source still show
    // the source's name.
    if (replaced != kNone) unlink(replaced);
    const NodeId moved = add_child(parent, name, nodes_[from].attributes);
    nodes_[moved].reparse_tag = nodes_[from].reparse_tag;
    nodes_[moved].link_target = std::move(nodes_[from].link_target);
    nodes_[moved].content = std::move(nodes_[from].content);
    unlink(from);
    touch(parent);
  }
  record("replace", source, from, false, target_text);
  return {};
}

void FakeFileSystem::set_trust(const Path& path, platform::Trust trust) {
  trusts_[canonical(path.bytes())] = trust;
}

platform::Trust FakeFileSystem::trust_of(NodeId id, const Path& path) const {
  if ((nodes_[id].attributes & kAttrReparsePoint) != 0) return platform::Trust::Link;
  auto found = trusts_.find(canonical(path.bytes()));
  return found != trusts_.end() ? found->second : platform::Trust::Administrators;
}

Result<platform::Trust> FakeFileSystem::trust(const Path& path) {
  if (auto refused = arrive(Op::Trust, path)) return *refused;
  const NodeId id = find(path.bytes());
  if (id == kNone) return file_not_found();
  return trust_of(id, path);
}

Result<platform::Trust> FakeFileSystem::secure_folder(const Path& folder) {
  Result<platform::Trust> found = trust(folder);
  if (!found && !found.error().is_not_found()) return found;
  const NodeId id = find(folder.bytes());
  if (id != kNone && !is_folder(id)) return wrong_type();
  if (found && *found == platform::Trust::Link) unlink(id);
  const NodeId secured = make_folders(folder.bytes());
  trusts_.erase(canonical(folder.bytes()));
  record("secure_folder", folder, secured, false);
  return found ? *found : platform::Trust::Administrators;
}

// The entry judged is the one read, as a handle holds its file: a change made before the read
// (before(Op::ReadFile, ...)) meets the name, not the judged entry.
Result<platform::TrustedRead> FakeFileSystem::read_trusted(const Path& path, std::size_t limit) {
  read_attempts_.emplace_back(kNone, canonical(path.bytes()));
  if (auto refused = arrive(Op::Trust, path)) return *refused;
  const NodeId id = find(path.bytes());
  if (id == kNone) return file_not_found();
  platform::TrustedRead judged{trust_of(id, path), std::string()};
  if (judged.trust != platform::Trust::Administrators) return judged;
  if (auto refused = arrive(Op::ReadFile, path)) {
    judged.content = *refused;
  } else if (is_folder(id) || nodes_[id].special) {
    judged.content = access_denied();
  } else {
    judged.content = nodes_[id].content.substr(0, limit);
  }
  return judged;
}

Result<std::unique_ptr<platform::WritableFile>> FakeFileSystem::create_new_file(const Path& path) {
  if (auto refused = arrive(Op::CreateNewFile, path)) {
    record("create", path, find(path.bytes()), true);
    return *refused;
  }
  auto [parent, name] = parent_and_name(path);
  if (parent == kNone || nodes_[parent].by_name.contains(name)) {
    record("create", path, find(path.bytes()), true);
    return parent == kNone ? path_not_found() : file_exists();
  }
  const NodeId id = add_child(parent, name, kAttrArchive);
  trusts_.erase(canonical(path.bytes()));
  record("create", path, id, false);
  return std::unique_ptr<platform::WritableFile>(
      std::make_unique<File>(*this, id, write_limit(path)));
}

Result<std::vector<platform::RemovedEntry>> FakeFileSystem::secure_folder_files(
    const Path& folder) {
  const NodeId id = find(folder.bytes());
  if (id == kNone || !is_folder(id)) return path_not_found();
  std::vector<platform::RemovedEntry> removed;
  const std::vector<NodeId> children = nodes_[id].children;
  for (NodeId child : children) {
    const Path path = path_of(child);
    const bool link = (nodes_[child].attributes & kAttrReparsePoint) != 0;
    if (is_folder(child) && !link) continue;
    if (auto refused = arrive(Op::Trust, path)) return *refused;
    const platform::Trust found = trust_of(child, path);
    trusts_.erase(canonical(path.bytes()));
    if (found == platform::Trust::Administrators) {
      record("secure", path, child, false);
    } else {
      record("delete", path, child, false);
      unlink(child);
      removed.push_back(platform::RemovedEntry{nodes_[child].name, found});
    }
  }
  return removed;
}

}  // namespace tindral::test_support
