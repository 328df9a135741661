#include "support/file_system_under_test.h"

#include <utility>

#include "support/fake_file_system.h"
#include "support/real_disk.h"

namespace tindral::test_support {

namespace {

class RealDisk final : public FileSystemUnderTest {
 public:
  platform::FileSystem& fs() override { return platform::real_file_system(); }
  const Path& folder() const override { return dir_.path(); }
  bool on_real_disk() const override { return true; }

  bool make_link(const Path& target, const Path& link, bool target_is_folder) override {
    return make_symlink(target, link, target_is_folder);
  }
  void rename(const Path& from, const Path& to) override { rename_entry(from, to); }
  void backdate(const Path& path) override { test_support::backdate(path); }
  platform::FileTime stored_last_write_time(const Path& path) override {
    return last_write_time(path);
  }
  bool block_deletion(const Path& file) override {
    blocker_ = std::make_unique<DeletionBlocker>(file);
    return blocker_->holds();
  }

  std::string stored_content(const Path& file) override { return read_bytes(file); }
  bool stored(const Path& path) override { return path_exists(path); }

 private:
  TempDir dir_;
  // Goes before the folder, which it may have made undeletable.
  std::unique_ptr<DeletionBlocker> blocker_;
};

// Spelled as the platform spells an absolute path, so that what a case compares holds for the
// real disk's folder and the fake's alike.
Path fake_folder() {
  return Path::from_text(platform::kSeparator == '\\' ? "C:\\Users\\Test\\Work"
                                                      : "/home/test/work");
}

class Fake final : public FileSystemUnderTest {
 public:
  Fake() { fake_.add_folder(folder_); }

  platform::FileSystem& fs() override { return fake_; }
  const Path& folder() const override { return folder_; }
  bool on_real_disk() const override { return false; }

  bool make_link(const Path& target, const Path& link, bool target_is_folder) override {
    fake_.add_symlink(link, target, target_is_folder);
    return true;
  }
  void rename(const Path& from, const Path& to) override { fake_.move(from, to); }
  void backdate(const Path& path) override { fake_.set_last_write_time(path, {-1}); }
  platform::FileTime stored_last_write_time(const Path& path) override {
    return fake_.last_write_time(path);
  }
  bool block_deletion(const Path& file) override {
    fake_.refuse(FakeFileSystem::Op::DeleteFile, file, ErrorKind::Other);
    return true;
  }

  std::string stored_content(const Path& file) override { return fake_.content(file); }
  bool stored(const Path& path) override { return fake_.contains(path); }

 private:
  FakeFileSystem fake_;
  const Path folder_ = fake_folder();
};

template <class Kind>
FileSystemKind kind(std::string name) {
  return FileSystemKind{std::move(name), [] { return std::make_unique<Kind>(); }};
}

}  // namespace

std::vector<FileSystemKind> real_disk_and_fake() {
  return {kind<RealDisk>("RealDisk"), kind<Fake>("Fake")};
}

std::string kind_name(const testing::TestParamInfo<FileSystemKind>& info) {
  return info.param.name;
}

void PrintTo(const FileSystemKind& kind, std::ostream* out) { *out << kind.name; }

}  // namespace tindral::test_support
