// How the POSIX file system stores Windows attributes, checked from outside through the raw
// extended attribute and mode bits, so that a tree decorated natively and one decorated by the
// Windows build under Wine agree.

#include <sys/stat.h>
#include <sys/xattr.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <optional>
#include <string>

#include "platform/file_system.h"
#include "support/real_disk.h"

namespace tindral::platform {
namespace {

using test_support::write_bytes;

constexpr char kDosAttrib[] = "user.DOSATTRIB";
constexpr std::uint32_t kHiddenSystem = kAttrHidden | kAttrSystem;

class PosixAttributesTest : public testing::Test {
 protected:
  FileSystem& fs = real_file_system();
  test_support::TempDir dir;

  void SetUp() override {
    write_bytes(dir / "file", "x");
    test_support::make_folder(dir / "folder");
  }

  // The stored attribute, or nullopt when there is none.
  static std::optional<std::string> stored(const Path& path) {
    char text[256];
    const ssize_t length = ::getxattr(path.bytes().c_str(), kDosAttrib, text, sizeof text);
    if (length < 0) {
      EXPECT_EQ(errno, ENODATA) << path.display();
      return std::nullopt;
    }
    return std::string(text, static_cast<std::size_t>(length));
  }

  static void store(const Path& path, std::string_view text) {
    ASSERT_EQ(::setxattr(path.bytes().c_str(), kDosAttrib, text.data(), text.size(), 0), 0)
        << path.display();
  }

  static mode_t mode_of(const Path& path) {
    struct stat status {};
    EXPECT_EQ(::stat(path.bytes().c_str(), &status), 0) << path.display();
    return status.st_mode & 07777;
  }

  void set(const Path& path, std::uint32_t bits) {
    auto changed = fs.set_attributes(path, bits);
    ASSERT_TRUE(changed) << changed.error().message();
  }
};

TEST_F(PosixAttributesTest, StoresBitsAsWinesText) {
  struct Case {
    const char* name;
    std::uint32_t bits;
    const char* text;
  };
  for (const Case& c : {
           Case{"file", kHiddenSystem, "0x6"},
           Case{"file", kHiddenSystem | kAttrArchive, "0x26"},
           Case{"folder", kAttrDirectory | kAttrReadonly, "0x1"},
           Case{"folder", kAttrDirectory | kAttrReadonly | kHiddenSystem, "0x7"},
       }) {
    set(dir / c.name, c.bits);
    EXPECT_EQ(stored(dir / c.name), std::optional<std::string>(c.text)) << c.name << " " << c.bits;
  }
}

TEST_F(PosixAttributesTest, ReadsTheFormsOtherWritersLeave) {
  struct Case {
    const char* name;
    std::string text;
    std::uint32_t expected;
  };
  for (const Case& c : {
           Case{"file", "0x6", kHiddenSystem},
           Case{"file", "0x26", kHiddenSystem | kAttrArchive},
           Case{"file", "0X2", kAttrHidden},
           Case{"file", std::string("0x22\0\3\0\0\0\x11", 10), kAttrHidden | kAttrArchive},
           Case{"file", "4", kAttrSystem},
           Case{"file", "not hex", kAttrNormal},
           // A file's READONLY is its mode, and a directory bit on a file means nothing.
           Case{"file", "0x11", kAttrNormal},
           Case{"folder", "0x13", kAttrDirectory | kAttrReadonly | kAttrHidden},
       }) {
    store(dir / c.name, c.text);
    auto read = fs.get_attributes(dir / c.name);
    ASSERT_TRUE(read) << read.error().message();
    EXPECT_EQ(*read, c.expected) << c.name << " " << c.text;
  }
}

TEST_F(PosixAttributesTest, AFilesReadonlyIsTheAbsenceOfWriteBits) {
  set(dir / "file", kAttrReadonly);
  EXPECT_EQ(mode_of(dir / "file") & 0222, 0u);
  EXPECT_EQ(stored(dir / "file"), std::nullopt);

  set(dir / "file", kAttrNormal);
  EXPECT_NE(mode_of(dir / "file") & S_IWUSR, 0u);

  // As Wine reads it: a file somebody made unwritable is READONLY.
  ASSERT_EQ(::chmod((dir / "file").bytes().c_str(), 0444), 0);
  EXPECT_EQ(*fs.get_attributes(dir / "file"), kAttrReadonly);
}

TEST_F(PosixAttributesTest, HiddenAndSystemSurviveOnAReadonlyFile) {
  ASSERT_EQ(::chmod((dir / "file").bytes().c_str(), 0444), 0);

  set(dir / "file", kAttrReadonly | kHiddenSystem);

  EXPECT_EQ(stored(dir / "file"), std::optional<std::string>("0x6"));
  EXPECT_EQ(mode_of(dir / "file"), 0444u);
}

TEST_F(PosixAttributesTest, AFoldersReadonlyLeavesItsModeAlone) {
  const mode_t before = mode_of(dir / "folder");
  set(dir / "folder", kAttrDirectory | kAttrReadonly);
  EXPECT_EQ(mode_of(dir / "folder"), before);
}

TEST_F(PosixAttributesTest, NoBitsLeftRemovesTheAttribute) {
  set(dir / "file", kHiddenSystem);
  set(dir / "file", kAttrNormal);
  EXPECT_EQ(stored(dir / "file"), std::nullopt);

  set(dir / "folder", kAttrDirectory | kAttrReadonly);
  set(dir / "folder", kAttrDirectory);
  EXPECT_EQ(stored(dir / "folder"), std::nullopt);
}

// Linux keeps user attributes off special files, which makes a real refusal on any disk.
TEST_F(PosixAttributesTest, BitsThatCannotBeStoredAreAnError) {
  const Path fifo = dir / "fifo";
  ASSERT_EQ(::mkfifo(fifo.bytes().c_str(), 0666), 0);

  auto changed = fs.set_attributes(fifo, kHiddenSystem);

  ASSERT_FALSE(changed);
  EXPECT_TRUE(changed.error().os_code().has_value()) << changed.error().message();
  EXPECT_EQ(*fs.get_attributes(fifo) & kHiddenSystem, 0u);
}

}  // namespace
}  // namespace tindral::platform
