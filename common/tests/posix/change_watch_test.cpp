// The Linux change watcher on real file systems: fanotify as root on a tmpfs of the test's own,
// inotify as an unprivileged account, each change followed the way the update follows it.

#include <fcntl.h>
#include <grp.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <functional>
#include <set>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "platform/change_watch.h"
#include "support/log_capture.h"
#include "support/real_disk.h"

namespace tindral::platform {
namespace {

using std::chrono::milliseconds;
using Strings = std::vector<std::string>;

std::string joined(const Strings& names) {
  std::string text;
  for (const auto& name : names) text += (text.empty() ? "" : "/") + name;
  return text;
}

std::string describe(const Change& change) {
  constexpr const char* kKinds[] = {"Appeared", "Disappeared", "Listing", "Rescan"};
  std::string text = std::to_string(change.root) + " " + kKinds[static_cast<int>(change.kind)];
  if (!change.names.empty()) text += " " + joined(change.names);
  return text;
}

// Raw calls, so that a forked child can use them too; a failure names the call and the path.
void must(bool done, const std::string& what) {
  if (!done) throw std::runtime_error(what + ": " + std::strerror(errno));
}
void mkdirs(const std::string& path) {
  for (std::size_t slash = 1; slash != std::string::npos;) {
    slash = path.find('/', slash + 1);
    const std::string upto = path.substr(0, slash);
    must(::mkdir(upto.c_str(), 0755) == 0 || errno == EEXIST, "mkdir " + upto);
  }
}
void write_file(const std::string& path) {
  const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  must(fd >= 0, "create " + path);
  ::close(fd);
}
void rename_path(const std::string& from, const std::string& to) {
  must(::rename(from.c_str(), to.c_str()) == 0, "rename " + from);
}
void unlink_path(const std::string& path) { must(::unlink(path.c_str()) == 0, "unlink " + path); }

/// Watches one or more roots and does with each change what the update does: a folder that
/// appeared is entered (which adds its watch) and then listed, its subfolders likewise. What the
/// changes named and the walks found is kept in `known`.
class Follower {
 public:
  explicit Follower(Strings roots) : roots_(std::move(roots)) {}

  std::vector<ChangeSource> watch() {
    std::vector<RootToWatch> roots;
    for (const auto& root : roots_) {
      auto folder = real_file_system().open_folder(Path(root));
      must(folder.ok(), "open " + root);
      roots.push_back({Path(root), std::move(*folder)});
    }
    return watcher_->watch(std::move(roots));
  }

  /// The walk of a whole root, as a full scan does it.
  void enter(std::size_t root, const Strings& names) {
    auto folder = real_file_system().open_folder(Path(roots_[root]));
    for (const auto& name : names) {
      if (!folder) return;
      folder = (*folder)->open_subfolder(name);
    }
    if (folder) enter_tree(root, names, **folder);
  }

  /// The changes read until none came for a while, described, each followed.
  Strings follow() {
    Strings seen;
    while (watcher_->wait(milliseconds(300), stop_) == WakeReason::Changes) {
      std::vector<Change> changes;
      watcher_->take(changes);
      for (const auto& change : changes) {
        seen.push_back(describe(change));
        if (change.kind != ChangeKind::Appeared) continue;
        known.insert(joined(change.names));
        enter(change.root, change.names);
      }
    }
    return seen;
  }

  std::set<std::string> known;

 private:
  void enter_tree(std::size_t root, const Strings& names, Folder& folder) {
    watcher_->folder_entered(root, names, folder);
    auto listing = folder.open_listing();
    if (!listing) return;
    DirEntry entry;
    while (true) {
      auto more = (*listing)->next(entry);
      if (!more || !*more) return;
      Strings below = names;
      below.push_back(entry.name);
      known.insert(joined(below));
      if ((entry.attributes & kAttrDirectory) == 0) continue;
      if (auto sub = folder.open_subfolder(entry.name)) enter_tree(root, below, **sub);
    }
  }

  Strings roots_;
  std::unique_ptr<ChangeWatcher> watcher_ = make_change_watcher();
  StopSignal stop_;
};

/// A mount on a folder of its own below /tmp, gone with the object: the test's own tmpfs (so
/// that no other process's changes reach its mark), or a bind mount of part of it.
class OwnMount {
 public:
  OwnMount(const char* source, const char* type, unsigned long flags, const char* options) {
    char name[] = "/tmp/tindral-watch-XXXXXX";
    if (::mkdtemp(name) == nullptr) return;
    path_ = name;
    mounted_ = ::mount(source, name, type, flags, options) == 0;
  }
  ~OwnMount() {
    if (mounted_) ::umount2(path_.c_str(), MNT_DETACH);
    if (!path_.empty()) ::rmdir(path_.c_str());
  }
  bool mounted() const { return mounted_; }
  const std::string& path() const { return path_; }

 private:
  std::string path_;
  bool mounted_ = false;
};

struct FanotifyCase {
  const char* name;
  std::function<void(const std::string&root, const std::string&outside)> before, act;
  Strings expected;
};

void create_files(const std::string& folder, int count) {
  mkdirs(folder);
  for (int i = 0; i < count; ++i) write_file(folder + "/f" + std::to_string(i));
}

TEST(FanotifyWatch, NamesEveryChangeBelowTheRootsAndNothingElse) {
  if (::geteuid() != 0) GTEST_SKIP() << "fanotify's whole-file-system mark needs root";
  OwnMount disk("tmpfs", "tmpfs", 0, "size=256m");
  if (!disk.mounted()) GTEST_SKIP() << "no tmpfs could be mounted: " << std::strerror(errno);
  const std::string root = disk.path() + "/root";
  const std::string quiet = disk.path() + "/quiet";
  const std::string outside = disk.path() + "/outside";
  for (const auto& folder : {root, quiet, outside + "/shared"}) mkdirs(folder);
  // The same file system mounted a second time, in part: a root there is named by that mount.
  OwnMount shared((outside + "/shared").c_str(), nullptr, MS_BIND, nullptr);
  ASSERT_TRUE(shared.mounted()) << std::strerror(errno);
  Follower follower({root, quiet, shared.path()});
  const auto sources = follower.watch();
  if (sources[0] != ChangeSource::Fanotify) GTEST_SKIP() << "the kernel refused fanotify here";
  ASSERT_EQ(sources, std::vector<ChangeSource>(3, ChangeSource::Fanotify));

  auto nothing = [](const std::string&, const std::string&) {};
  const FanotifyCase cases[] = {
      {"new nested folders",
       nothing,
       [](const std::string& r, const std::string&) {
         mkdirs(r + "/a/b/c/d/e");
         write_file(r + "/a/b/c/d/e/photo.jpg");
       },
       {"0 Appeared a", "0 Appeared a/b", "0 Appeared a/b/c", "0 Appeared a/b/c/d",
        "0 Appeared a/b/c/d/e", "0 Appeared a/b/c/d/e/photo.jpg"}},
      {"moved in and out",
       [](const std::string& r, const std::string& o) {
         mkdirs(o + "/in/x");
         mkdirs(r + "/out/y");
       },
       [](const std::string& r, const std::string& o) {
         rename_path(o + "/in", r + "/in");
         rename_path(r + "/out", o + "/out");
       },
       {"0 Appeared in", "0 Disappeared out"}},
      {"last file removed, a folder emptied and refilled",
       [](const std::string& r, const std::string&) {
         mkdirs(r + "/f");
         write_file(r + "/f/only.jpg");
         mkdirs(r + "/g/h");
         write_file(r + "/g/h/1.jpg");
       },
       [](const std::string& r, const std::string&) {
         unlink_path(r + "/f/only.jpg");
         unlink_path(r + "/g/h/1.jpg");
         write_file(r + "/g/h/2.jpg");
       },
       {"0 Disappeared f/only.jpg", "0 Disappeared g/h/1.jpg", "0 Appeared g/h/2.jpg"}},
      {"a root on a bind mount",
       nothing,
       [](const std::string& r, const std::string& o) {
         mkdirs(o + "/shared/sub");
         write_file(o + "/shared/sub/photo.jpg");
         write_file(r + "/photo.jpg");
       },
       {"2 Appeared sub", "2 Appeared sub/photo.jpg", "0 Appeared photo.jpg"}},
      {"outside the roots, and the service's own files",
       nothing,
       [](const std::string& r, const std::string& o) {
         write_file(o + "/photo.jpg");
         mkdirs(o + "/deep/er");
         write_file(r + "/desktop.ini");
         write_file(r + "/.desktop.ini.tindral-new");
         rename_path(r + "/.desktop.ini.tindral-new", r + "/DESKTOP.INI");
         write_file(r + "/.desktop.ini.tindral-old");
       },
       {}},
      {"more changes than are held become one rescan of that root",
       nothing,
       [](const std::string& r, const std::string&) { create_files(r + "/burst", 9000); },
       {"0 Rescan"}},
      {"an overflowing queue rescans every root",
       nothing,
       [](const std::string& r, const std::string&) { create_files(r + "/flood", 20000); },
       {"0 Rescan", "1 Rescan", "2 Rescan"}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    c.before(root, outside);
    follower.follow();
    c.act(root, outside);
    EXPECT_EQ(follower.follow(), c.expected);
  }
}

TEST(ChangeWatcher, TheStopSignalEndsTheWaitAtOnce) {
  StopSignal stop;
  auto watcher = make_change_watcher();
  std::thread stopper([&stop] {
    std::this_thread::sleep_for(milliseconds(50));
    stop.request();
  });
  const auto started = std::chrono::steady_clock::now();
  EXPECT_EQ(watcher->wait(std::chrono::minutes(2), stop), WakeReason::Stop);
  // Not a timing target: a wait that missed the request would only end after two minutes.
  EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::minutes(1));
  stopper.join();
  EXPECT_EQ(watcher->wait(std::chrono::minutes(2), stop), WakeReason::Stop);
}

constexpr uid_t kUnprivileged = 65534;

// Run as the unprivileged account: what the watcher reported, one line per step.
std::string inotify_steps(const std::string& root, const std::string& quiet) {
  std::string out;
  auto line = [&out](const std::string& text) { out += text + "\n"; };
  auto lines = [&line](const Strings& texts) {
    for (const auto& text : texts) line(text);
  };
  Follower follower({root, quiet});
  auto sources = [&follower] {
    std::string names;
    for (const auto source : follower.watch())
      names += " " + std::string(change_source_name(source));
    return names;
  };
  line("sources" + sources());
  follower.enter(0, {});
  follower.enter(1, {});

  // Chains created at once, faster than the follower can enter them: nothing may be missed.
  std::set<std::string> expected;
  for (int chain = 0; chain < 40; ++chain) {
    std::string names = "c" + std::to_string(chain);
    for (const char* level : {"", "/b", "/b/c", "/b/c/d", "/b/c/d/e"}) {
      expected.insert(names + level);
    }
    expected.insert(names + "/b/c/d/e/photo.jpg");
    mkdirs(root + "/" + names + "/b/c/d/e");
    write_file(root + "/" + names + "/b/c/d/e/photo.jpg");
  }
  follower.follow();
  line(follower.known == expected ? "chains complete" : "chains incomplete");

  // A folder moved within the root is watched again where it went.
  rename_path(root + "/c0", root + "/moved");
  lines(follower.follow());
  write_file(root + "/moved/b/new.jpg");
  write_file(root + "/moved/desktop.ini");
  unlink_path(root + "/moved/b/c/d/e/photo.jpg");
  lines(follower.follow());

  // A folder whose watch is refused (no read access) ends the watching of its root.
  test_support::LogCapture log;
  must(::mkdir((root + "/locked").c_str(), 0300) == 0, "mkdir locked");
  lines(follower.follow());
  lines(log.messages());
  write_file(root + "/after.jpg");
  must(::rmdir((root + "/locked").c_str()) == 0, "rmdir locked");
  lines(follower.follow());
  line("rewatched" + sources());
  follower.enter(0, {});
  write_file(root + "/again.jpg");
  lines(follower.follow());

  // More than the kernel queues (16,384 events) left unread: every root is walked again.
  for (int i = 0; i < 20000; ++i) write_file(root + "/f" + std::to_string(i));
  lines(follower.follow());
  return out;
}

TEST(InotifyWatch, AnUnprivilegedAccountFollowsNewFoldersToTheEnd) {
  if (::geteuid() != 0) GTEST_SKIP() << "dropping to another account needs root";
  char name[] = "/tmp/tindral-inotify-XXXXXX";
  ASSERT_NE(::mkdtemp(name), nullptr);
  const std::string top = name;
  const std::string root = top + "/root";
  ASSERT_EQ(::chmod(top.c_str(), 0755), 0);
  const std::string quiet = top + "/quiet";
  for (const auto& folder : {root, quiet}) {
    ASSERT_EQ(::mkdir(folder.c_str(), 0755), 0);
    ASSERT_EQ(::chown(folder.c_str(), kUnprivileged, kUnprivileged), 0);
  }

  int pipe_ends[2];
  ASSERT_EQ(::pipe(pipe_ends), 0);
  const pid_t child = ::fork();
  if (child == 0) {
    ::close(pipe_ends[0]);
    std::string answer;
    if (::setgroups(0, nullptr) != 0 || ::setgid(kUnprivileged) != 0 ||
        ::setuid(kUnprivileged) != 0) {
      answer = "could not drop privileges";
    } else {
      try {
        answer = inotify_steps(root, quiet);
      } catch (const std::exception& failure) {
        answer = failure.what();
      }
    }
    const bool written =
        ::write(pipe_ends[1], answer.data(), answer.size()) == static_cast<ssize_t>(answer.size());
    ::_exit(written ? 0 : 3);
  }
  ::close(pipe_ends[1]);
  std::string answer;
  char buffer[4096];
  for (ssize_t got; (got = ::read(pipe_ends[0], buffer, sizeof buffer)) > 0;) {
    answer.append(buffer, static_cast<std::size_t>(got));
  }
  ::close(pipe_ends[0]);
  int status = 0;
  ASSERT_EQ(::waitpid(child, &status, 0), child);
  test_support::remove_tree(Path(top));
  ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "the child failed: " << status;

  EXPECT_EQ(answer,
            "sources inotify inotify\n"
            "chains complete\n"
            "0 Disappeared c0\n"
            "0 Appeared moved\n"
            "0 Appeared moved/b/new.jpg\n"
            "0 Disappeared moved/b/c/d/e/photo.jpg\n"
            "0 Appeared locked\n"
            "0 Rescan\n"
            "Cannot watch " +
                root +
                " for changes: Permission denied (os error 13)\n"
                "rewatched inotify inotify\n"
                "0 Appeared again.jpg\n"
                "0 Rescan\n"
                "1 Rescan\n");
}

}  // namespace
}  // namespace tindral::platform
