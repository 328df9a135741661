// Who counts as an administrator natively, asked by root and by a service that runs as an
// account of its own: root's files and the service account's count, files that the group or
// everybody may write never do, whoever asks.

#include <fcntl.h>
#include <grp.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <map>
#include <string>

#include "config/data_folder_security.h"
#include "platform/file_system.h"
#include "support/real_disk.h"

namespace tindral::platform {
namespace {

constexpr uid_t kServiceAccount = 65534;  // nobody: what an unprivileged service runs as
constexpr uid_t kStranger = 65533;

const char* name_of(Trust trust) {
  switch (trust) {
    case Trust::Administrators:
      return "administrators";
    case Trust::Link:
      return "link";
    case Trust::OtherOwner:
      return "other owner";
    case Trust::OpenToOthers:
      return "open to others";
  }
  return "?";
}

// How trust() and read_trusted() judge `file`, and what a read of a file that counts gave:
// "judged/read-judged:bytes".
std::string judgement(const Path& file) {
  FileSystem& fs = real_file_system();
  Result<Trust> trust = fs.trust(file);
  Result<TrustedRead> read = fs.read_trusted(file, 64);
  std::string text = trust ? name_of(*trust) : "error " + trust.error().message();
  text += "/";
  text += read ? name_of(read->trust) : "error " + read.error().message();
  if (read && read->trust == Trust::Administrators) {
    text += ":" + (read->content ? *read->content : read->content.error().message());
  }
  return text;
}

// A folder of its own below /tmp, which every account may pass through (the test's usual
// temporary folder may lie below one that only root may enter).
class OpenTempDir {
 public:
  OpenTempDir() {
    char name[] = "/tmp/tindral-trust-XXXXXX";
    if (::mkdtemp(name) != nullptr && ::chmod(name, 0755) == 0) path_ = Path(std::string(name));
  }
  ~OpenTempDir() {
    if (!path_.empty()) test_support::remove_tree(path_);
  }
  OpenTempDir(const OpenTempDir&) = delete;
  OpenTempDir& operator=(const OpenTempDir&) = delete;
  const Path& path() const { return path_; }

 private:
  Path path_;
};

struct Planted {
  const char* name;
  uid_t owner;
  mode_t mode;
  const char* as_root;
  const char* as_service_account;
};

TEST(TrustAsAnotherAccountTest, RootAndTheServicesAccountCountWritableByGroupOrOthersNever) {
  if (::geteuid() != 0) GTEST_SKIP() << "only root may make files of other accounts";
  OpenTempDir dir;
  ASSERT_FALSE(dir.path().empty());
  const Planted planted[] = {
      {"root.txt", 0, 0644, "administrators/administrators:bytes",
       "administrators/administrators:bytes"},
      {"root-private.txt", 0, 0600, "administrators/administrators:bytes",
       "administrators/error Permission denied (os error 13)"},
      {"group.txt", 0, 0664, "open to others/open to others", "open to others/open to others"},
      {"others.txt", 0, 0646, "open to others/open to others", "open to others/open to others"},
      {"service.txt", kServiceAccount, 0644, "other owner/other owner",
       "administrators/administrators:bytes"},
      {"service-group.txt", kServiceAccount, 0660, "other owner/other owner",
       "open to others/open to others"},
      {"stranger.txt", kStranger, 0644, "other owner/other owner", "other owner/other owner"},
  };
  for (const Planted& file : planted) {
    const Path path = dir.path().child(file.name);
    test_support::write_bytes(path, "bytes");
    ASSERT_EQ(::chown(path.bytes().c_str(), file.owner, file.owner), 0);
    ASSERT_EQ(::chmod(path.bytes().c_str(), file.mode), 0);
  }
  ASSERT_TRUE(test_support::make_symlink(dir.path().child("root.txt"), dir.path().child("link.txt"),
                                         false));
  // A folder of root's that the service's account cannot make its own.
  const Path data = dir.path().child("Tindral");
  test_support::make_folder(data);
  ASSERT_EQ(::chmod(data.bytes().c_str(), 0777), 0);

  int pipe_ends[2];
  ASSERT_EQ(::pipe(pipe_ends), 0);
  const pid_t child = ::fork();
  if (child == 0) {
    ::close(pipe_ends[0]);
    if (::setgroups(0, nullptr) != 0 || ::setgid(kServiceAccount) != 0 ||
        ::setuid(kServiceAccount) != 0) {
      ::_exit(2);
    }
    std::string answers;
    for (const Planted& file : planted) answers += judgement(dir.path().child(file.name)) + "\n";
    answers += judgement(dir.path().child("link.txt")) + "\n";
    for (const std::string& line : data_folder_report(
             secure_data_folder(real_file_system(), data, dir.path().child("root.txt")))) {
      answers += line + "\n";
    }
    const bool written = ::write(pipe_ends[1], answers.data(), answers.size()) ==
                         static_cast<ssize_t>(answers.size());
    ::_exit(written ? 0 : 3);
  }
  ::close(pipe_ends[1]);
  std::string answers;
  char buffer[4096];
  for (ssize_t got; (got = ::read(pipe_ends[0], buffer, sizeof buffer)) > 0;) {
    answers.append(buffer, static_cast<std::size_t>(got));
  }
  ::close(pipe_ends[0]);
  int status = 0;
  ASSERT_EQ(::waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "the child failed: " << status;

  std::string expected_as_service;
  for (const Planted& file : planted) {
    EXPECT_EQ(judgement(dir.path().child(file.name)), file.as_root) << file.name << " as root";
    expected_as_service += std::string(file.as_service_account) + "\n";
  }
  EXPECT_EQ(judgement(dir.path().child("link.txt")), "link/link");
  expected_as_service += "link/link\n";
  expected_as_service += "Data folder could not be secured: Operation not permitted (os error 1)\n";
  EXPECT_EQ(answers, expected_as_service);
}

}  // namespace
}  // namespace tindral::platform
