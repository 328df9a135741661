// Roots that an ordinary user can redirect, tried as that user would: the user's own links, in
// place of the root and of a folder above it, to another user's private folder; another user's
// folder inside hers; her link to the working folder of a process of hers that sits in a folder
// she bind-mounted in a namespace of her own. The service skips each with its warning, and
// tindralctl status and roots add say the same words; an administrator's link is still walked.

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "tindralctl_fixture.h"

namespace tindral::test_support {
namespace {

using testing::HasSubstr;

constexpr uid_t kAlice = 65534;
constexpr uid_t kBob = 65533;
constexpr uid_t kBystander = 65532;

const std::string kLinkRefused =
    "Root path passes through a link that another account controls, skipping: ";
const std::string kFolderRefused =
    "Root path passes into a folder that another account owns, skipping: ";
const std::string kProtected = "Root path is a protected system directory, skipping: ";

struct Row {
  Path root;
  std::string warning;  ///< the service's warning; empty for a root it walks
};

void own(const Path& path, uid_t owner, mode_t mode) {
  ASSERT_EQ(::lchown(path.bytes().c_str(), owner, owner), 0) << path.display();
  if (mode != 0) {
    ASSERT_EQ(::chmod(path.bytes().c_str(), mode), 0) << path.display();
  }
}

void link_as(const Path& link, const Path& target, uid_t owner) {
  ASSERT_TRUE(make_symlink(target, link, true));
  own(link, owner, 0);
}

// Whether an account without privileges may walk down to `path`.
bool others_may_reach(const Path& path) {
  for (Path folder = path.parent(); !folder.empty() && folder != Path("/");
       folder = folder.parent()) {
    struct stat status {};
    if (::stat(folder.bytes().c_str(), &status) != 0 || (status.st_mode & S_IXOTH) == 0) {
      return false;
    }
  }
  return true;
}

bool has_desktop_ini_below(const Path& folder) {
  std::error_code error;
  for (auto it = std::filesystem::recursive_directory_iterator(folder.bytes(), error);
       it != std::filesystem::recursive_directory_iterator(); it.increment(error)) {
    if (it->path().filename() == "desktop.ini") return true;
  }
  return false;
}

// The scanner's warnings in a console run's output, in order.
std::vector<std::string> warnings_of(const std::string& output) {
  static const std::regex kWarning(R"( WARN TindralService::scanner: (.*))");
  std::vector<std::string> warnings;
  for (auto it = std::sregex_iterator(output.begin(), output.end(), kWarning);
       it != std::sregex_iterator(); ++it) {
    warnings.push_back((*it)[1]);
  }
  return warnings;
}

class RootsThroughLinksTest : public TindralctlTest {
 protected:
  // The rule about accounts looks at every folder from "/" on, so the tree lies in a folder of
  // root's own below /tmp rather than below the checkout, which may be a user's.
  void SetUp() override {
    TindralctlTest::SetUp();
    if (IsSkipped()) return;
    std::string name = (std::filesystem::temp_directory_path() / "tindral-roots-XXXXXX").string();
    ASSERT_NE(::mkdtemp(name.data()), nullptr);
    top_ = Path(name);
    own(top_, 0, 0755);
    own(tmp_.path(), 0, 0755);
    make_folder(data_folder_);
  }

  void TearDown() override {
    if (!top_.empty()) remove_tree(top_);
    TindralctlTest::TearDown();
  }

  Path at(std::string_view relative) const {
    Path path = top_;
    for (std::size_t start = 0; start <= relative.size();) {
      const std::size_t end = std::min(relative.find('/', start), relative.size());
      path = path.child(relative.substr(start, end - start));
      start = end + 1;
    }
    return path;
  }

  // Bob's private tree, Alice's home (hers, open to others to read), and a disk of root's.
  void lay_out_homes() {
    make_folder(at("bob/album"));
    write_bytes(at("bob/album/photo.jpg"), "jpeg");
    write_bytes(at("bob/diary.txt"), "dear diary");
    for (const char* path : {"bob/album/photo.jpg", "bob/diary.txt", "bob/album"}) {
      own(at(path), kBob, 0);
    }
    own(at("bob"), kBob, 0700);
    make_folder(at("alice"));
    own(at("alice"), kAlice, 0755);
    make_folder(at("disk1/photos"));
    write_bytes(at("disk1/photos/sea.jpg"), "jpeg");
    make_folder(at("srv"));
  }

  // What the service, tindralctl status and tindralctl roots add say about each root.
  void expect_the_same_words(const std::vector<Row>& rows) {
    std::string config;
    std::vector<std::string> warnings;
    for (const Row& row : rows) {
      config += row.root.bytes() + "\n";
      if (!row.warning.empty()) warnings.push_back(row.warning + row.root.bytes());
    }
    write_bytes(file("config.txt"), config);

    const ChildOutcome console =
        run_child(built_program(TINDRAL_EXE), {"--console"}, {}, tmp_.path());
    EXPECT_EQ(console.exit_code, 0) << console.err;
    EXPECT_EQ(warnings_of(console.out), warnings) << console.out;

    const ChildOutcome status = tindralctl({"status"});
    for (const Row& row : rows) {
      SCOPED_TRACE(row.root.bytes());
      // No service is installed here: a root it would scan says that it waits for one.
      const std::string outcome = row.warning.empty() ? "not scanned: the service is not installed"
                                                      : row.warning + row.root.bytes();
      EXPECT_THAT(status.out, HasSubstr("\n  " + row.root.bytes() + "  (" + outcome + ")\n"));
      const ChildOutcome add = tindralctl({"roots", "add", row.root.bytes()});
      // A root the service walks is listed already; one it skips is refused for that reason.
      const std::string reason =
          row.warning.empty() ? "It is already listed as " + row.root.bytes() : outcome;
      EXPECT_EQ(add.exit_code, 6);
      EXPECT_EQ(add.err,
                "Error: Refused " + row.root.bytes() + "\n\nCaused by:\n    " + reason + "\n");
    }
  }

  Path top_;
};

TEST_F(RootsThroughLinksTest, LinksAndFoldersOfAnotherAccountAreRefusedAdministratorsLinksWalked) {
  lay_out_homes();
  link_as(at("alice/photos"), at("bob"), kAlice);
  link_as(at("alice/pictures"), at("bob"), kAlice);
  make_folder(at("public"));
  link_as(at("alice/docs"), at("public"), kAlice);
  make_folder(at("alice/shared"));
  write_bytes(at("alice/shared/note.txt"), "bob's");
  own(at("alice/shared"), kBob, 0755);
  link_as(at("srv/photos"), at("disk1/photos"), 0);
  // Every link on the way is root's, but those of /proc are the kernel's view of a process.
  link_as(at("srv/here"), Path("/proc/self/cwd"), 0);
  const std::vector<Row> rows = {
      {at("alice/photos"), kLinkRefused},
      {at("alice/pictures/album"), kLinkRefused},
      {at("alice/docs"), kLinkRefused},
      {at("alice/shared"), kFolderRefused},
      {at("srv/photos"), ""},
      {at("srv/here"), kProtected},
  };

  expect_the_same_words(rows);

  EXPECT_FALSE(has_desktop_ini_below(at("bob")));
  EXPECT_FALSE(has_desktop_ini_below(at("public")));
  EXPECT_FALSE(has_desktop_ini_below(at("alice")));
  EXPECT_TRUE(path_exists(at("disk1/photos/desktop.ini")));

  // Another account that may not enter Bob's folder sees the same for the roots it can reach.
  if (!others_may_reach(file("config.txt"))) {
    GTEST_SKIP() << "the test's data folder lies below a folder other accounts cannot enter";
  }
  const ChildOutcome bystander =
      run_child(Path("/usr/bin/setpriv"),
                {"--reuid=" + std::to_string(kBystander), "--regid=" + std::to_string(kBystander),
                 "--clear-groups", built_program(TINDRALCTL_EXE).bytes(), "roots", "list"},
                {}, tmp_.path());
  EXPECT_EQ(bystander.exit_code, 0) << bystander.err;
  for (const Row& row : {rows[2], rows[3], rows[4]}) {
    const std::string outcome = row.warning.empty() ? "scanned" : row.warning + row.root.bytes();
    EXPECT_THAT(bystander.out, HasSubstr("  " + row.root.bytes() + "  (" + outcome + ")\n"));
  }
}

// Her process's working folder, seen through /proc, lies in her own mount namespace, where she
// bind-mounted a folder of root's over a folder of hers.
TEST_F(RootsThroughLinksTest, AProcessWorkingFolderInAnotherMountNamespaceIsNoWayToARoot) {
  lay_out_homes();
  make_folder(at("system"));
  write_bytes(at("system/settings.conf"), "root's");
  make_folder(at("alice/mnt"));
  own(at("alice/mnt"), kAlice, 0755);
  ChildProcess sitter(Path("/usr/bin/setpriv"),
                      {"--reuid=" + std::to_string(kAlice), "--regid=" + std::to_string(kAlice),
                       "--clear-groups", "unshare", "-Urm", "sh", "-c",
                       "mount --bind '" + at("system").bytes() + "' '" + at("alice/mnt").bytes() +
                           "' && cd '" + at("alice/mnt").bytes() + "' && exec sleep 120"},
                      {}, tmp_.path());
  ASSERT_TRUE(sitter.started());
  const std::string cwd = "/proc/" + std::to_string(sitter.id()) + "/cwd";
  bool sitting = false;
  for (int i = 0; i < 100 && !sitting; ++i) {
    std::error_code error;
    sitting = std::filesystem::exists(std::filesystem::path(cwd) / "settings.conf", error);
    if (!sitting) {
      if (sitter.wait(std::chrono::milliseconds(100))) break;
    }
  }
  if (!sitting) {
    GTEST_SKIP() << "an unprivileged user cannot mount in a namespace of her own here: "
                 << sitter.standard_error();
  }
  link_as(at("alice/cwd"), Path(cwd), kAlice);
  link_as(at("srv/cwd"), Path(cwd), 0);

  expect_the_same_words({{at("alice/cwd"), kLinkRefused}, {at("srv/cwd"), kProtected}});

  EXPECT_FALSE(has_desktop_ini_below(at("system")));
}

}  // namespace
}  // namespace tindral::test_support
