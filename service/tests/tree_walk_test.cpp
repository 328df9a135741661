// The walks through open folders against a tree that changes under them: what a user who owns
// the tree can do between two calls of the service (swap a folder for a link, move a folder away
// and put another in its place, stop the service), made to happen at exactly the wrong moment by
// the fake.

#include "tree_walk.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <functional>
#include <string>

#include "cleanup_folder.h"
#include "desktop_ini.h"
#include "platform/stop_signal.h"
#include "scan_folder.h"
#include "support/fake_file_system.h"
#include "support/small_stack.h"

namespace tindral {
namespace {

using platform::kAttrHidden;
using platform::kAttrSystem;
using test_support::FakeFileSystem;

/// Which walk runs: the scan decides bottom-up, the cleanup removes top-down.
enum class Walk { Scan, Cleanup };

std::string walk_name(const testing::TestParamInfo<Walk>& info) {
  return info.param == Walk::Scan ? "Scan" : "Cleanup";
}

const Path kRoot = Path::from_text("Root");
const Path kElsewhere = Path::from_text("Elsewhere");

void add_service_ini(FakeFileSystem& fs, const Path& folder) {
  fs.add_file(folder.child("desktop.ini"), desktop_ini_content(), kAttrHidden | kAttrSystem);
}

bool has_ini(const FakeFileSystem& fs, const Path& folder) {
  return fs.contains(folder.child("desktop.ini"));
}

/// Folders walked, desktop.ini files changed (written or removed), and whether it stopped.
struct Outcome {
  std::uint64_t folders = 0;
  std::uint64_t changed = 0;
  bool cut_short = false;
  bool cut_at_depth_limit = false;
};

Outcome walk(Walk which, FakeFileSystem& fs, const platform::StopSignal* stop = nullptr) {
  if (which == Walk::Scan) {
    const FolderScanResult result = scan_folder(fs, kRoot, stop);
    return {result.folders, result.ini_written + result.ini_removed, result.cut_short,
            result.cut_at_depth_limit};
  }
  const CleanupStats stats = cleanup_folder(fs, kRoot, stop);
  return {stats.folders_visited, stats.ini_removed, stats.cut_short, stats.cut_at_depth_limit};
}

class TreeWalkTest : public testing::TestWithParam<Walk> {
 protected:
  FakeFileSystem fs_;
};

// Between the listing that showed a folder and the walk's opening it, its owner moves the folder
// out of the root and puts a link in its place: the walk neither follows the link nor acts on
// the moved folder.
TEST_P(TreeWalkTest, AFolderSwappedForALinkAfterTheListingIsNotEntered) {
  const Path sub = kRoot.child("Sub");
  const Path moved = kElsewhere.child("Sub");
  fs_.add_file(sub.child("photo.jpg"));
  add_service_ini(fs_, sub.child("Empty"));
  fs_.add_folder(kElsewhere);
  fs_.before(FakeFileSystem::Op::OpenFolder, sub, [&] {
    fs_.move(sub, moved);
    fs_.add_link(sub);
  });

  const Outcome outcome = walk(GetParam(), fs_);

  EXPECT_EQ(outcome.folders, 2u);  // Root, and Sub, which could not be opened as a folder
  EXPECT_EQ(outcome.changed, 0u);
  EXPECT_TRUE(has_ini(fs_, moved.child("Empty")));
  EXPECT_FALSE(has_ini(fs_, moved));
  EXPECT_FALSE(has_ini(fs_, kRoot));
}

// The walk checks for a stop request at every folder and ends at the next one, leaving the
// folders it entered and did not leave as they were: a decision without the whole subtree would
// be wrong.
TEST_P(TreeWalkTest, AStopRequestEndsTheWalkAtTheNextFolder) {
  for (const char* name : {"A", "B", "C"}) {
    fs_.add_file(kRoot.child(name).child("photo.jpg"));
    add_service_ini(fs_, kRoot.child(name));
  }
  add_service_ini(fs_, kRoot);
  platform::StopSignal stop;
  fs_.before(FakeFileSystem::Op::OpenFolder, kRoot.child("B"), [&] { stop.request(); });

  const Outcome outcome = walk(GetParam(), fs_, &stop);

  EXPECT_TRUE(outcome.cut_short);
  EXPECT_EQ(outcome.folders, 3u);  // Root, A and B
  EXPECT_TRUE(has_ini(fs_, kRoot.child("C")));
  if (GetParam() == Walk::Scan) {
    // A was decided (its file is up to date, its folder becomes read-only); nothing above it.
    EXPECT_EQ(outcome.changed, 0u);
    EXPECT_EQ(fs_.operations(),
              std::vector<std::string>{"set_attributes " + kRoot.child("A").display() + " 0x11"});
  } else {
    // Root, A and B lost their files on the way down; the walk ended before C.
    EXPECT_EQ(outcome.changed, 3u);
    EXPECT_FALSE(has_ini(fs_, kRoot.child("B")));
  }
}

TEST_P(TreeWalkTest, ARequestMadeBeforeTheWalkTouchesNothing) {
  add_service_ini(fs_, kRoot);
  platform::StopSignal stop;
  stop.request();
  const Outcome outcome = walk(GetParam(), fs_, &stop);
  EXPECT_TRUE(outcome.cut_short);
  EXPECT_EQ(outcome.folders, 0u);
  EXPECT_TRUE(fs_.operations().empty());
}

// However deep the tree, the walk keeps a bounded number of folders open, so that it runs within
// a process's default descriptor limit, and its own stack use stays flat: a walk that recursed
// once per level would overflow this small stack long before the bottom.
TEST_P(TreeWalkTest, ADeepChainIsWalkedToTheBottomWithFewFoldersOpen) {
  struct Depth {
    std::size_t levels;
    bool parent_opens;
  };
  for (const Depth depth : {Depth{30000, true}, Depth{10000, false}}) {
    SCOPED_TRACE(depth.levels);
    FakeFileSystem fs;
    if (!depth.parent_opens) fs.refuse_open_parent();
    const Path deepest = fs.add_folder_chain(kRoot, "d", depth.levels);
    fs.add_file(deepest.child("photo.jpg"));
    if (GetParam() == Walk::Cleanup) {
      add_service_ini(fs, deepest);
      add_service_ini(fs, kRoot);
    }

    Outcome outcome;
    test_support::run_on_small_stack(64 * 1024, [&] { outcome = walk(GetParam(), fs); });

    EXPECT_EQ(outcome.folders, depth.levels + 1);
    EXPECT_EQ(outcome.changed, GetParam() == Walk::Scan ? depth.levels + 1 : 2u);
    EXPECT_EQ(has_ini(fs, deepest), GetParam() == Walk::Scan);
    EXPECT_EQ(has_ini(fs, kRoot), GetParam() == Walk::Scan);
    EXPECT_LE(fs.max_open_folders(), 130);
    EXPECT_EQ(fs.open_folders(), 0);
    EXPECT_EQ(fs.max_open_listings(), 1);
  }
}

// However deep someone builds a tree, the walks go kMaxWalkDepth levels down and no further: the
// folder at the limit is decided on its own files, and what lies below it is not there for them,
// not even the service's own file.
TEST_P(TreeWalkTest, NothingBelowTheDepthLimitIsEntered) {
  const Path at_limit = fs_.add_folder_chain(kRoot, "d", kMaxWalkDepth);
  const Path below = fs_.add_folder_chain(at_limit, "d", 2);
  fs_.add_file(at_limit.child("photo.jpg"));
  fs_.add_file(below.child("photo.jpg"));
  add_service_ini(fs_, at_limit);
  add_service_ini(fs_, below);

  Outcome outcome;
  test_support::run_on_small_stack(64 * 1024, [&] { outcome = walk(GetParam(), fs_); });

  EXPECT_EQ(outcome.folders, kMaxWalkDepth + 1);
  EXPECT_TRUE(outcome.cut_at_depth_limit);
  // The scan writes every folder above the limit (the one at the limit is up to date); the
  // cleanup removes the file at the limit.
  EXPECT_EQ(outcome.changed, GetParam() == Walk::Scan ? kMaxWalkDepth : 1u);
  EXPECT_EQ(has_ini(fs_, at_limit), GetParam() == Walk::Scan);
  EXPECT_FALSE(has_ini(fs_, at_limit.child("d")));
  EXPECT_TRUE(has_ini(fs_, below));
}

// Far down a deep chain the scan has let go of the folders above it. Their owner moves one of
// them away and creates an empty folder of the same name: on the way back up the scan must see
// that the name now holds another folder and leave that one alone, whether the platform opens a
// folder's parent through its handle (POSIX) or the walk reopens folders by name (Windows).
TEST(TreeWalkScanTest, AFolderReplacedWhileTheScanIsFarBelowItIsLeftAlone) {
  constexpr std::size_t kDepth = 400;
  for (const bool parent_opens : {true, false}) {
    SCOPED_TRACE(parent_opens ? "the parent opens through the handle" : "reopened by name");
    FakeFileSystem fs;
    if (!parent_opens) fs.refuse_open_parent();
    const Path top = kRoot.child("Top");
    const Path replaced = top.child("d");
    const Path deepest = fs.add_folder_chain(top, "d", kDepth);
    fs.add_file(deepest.child("photo.jpg"));
    fs.before(FakeFileSystem::Op::OpenListing, deepest, [&] {
      fs.move(replaced, kRoot.child("Moved"));
      fs.add_folder(replaced);
    });

    const FolderScanResult result = scan_folder(fs, kRoot);

    EXPECT_EQ(result.folders, kDepth + 2);
    EXPECT_FALSE(has_ini(fs, replaced));
    EXPECT_EQ(fs.attributes(replaced), platform::kAttrDirectory);
    EXPECT_TRUE(has_ini(fs, top));
    EXPECT_TRUE(has_ini(fs, kRoot));
    // Reopened by name, the moved folders between it and the nearest folder kept open cannot be
    // reached any more and stay undecided; through their handles every one is decided.
    if (parent_opens) {
      EXPECT_EQ(result.ini_written, kDepth + 2);
      EXPECT_TRUE(has_ini(fs, kRoot.child("Moved")));
    } else {
      EXPECT_LT(result.ini_written, kDepth + 2);
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Walks, TreeWalkTest, testing::Values(Walk::Scan, Walk::Cleanup),
                         walk_name);

}  // namespace
}  // namespace tindral
