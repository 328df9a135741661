// The Windows watcher against changes this process makes (Wine reports only changes made
// through Wine), and ReadDirectoryChangesW's answers mapped to changes as Windows and Wine give
// them. The change journal reader has no test here: Wine has no journal (see
// usn_records_test.cpp for its records and cursor).

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <ostream>
#include <string>
#include <thread>
#include <vector>

#include "platform/change_watch.h"
#include "platform/file_system.h"
#include "platform/held_changes.h"
#include "platform/win32/change_watch_readers.h"
#include "root_folder.h"
#include "support/real_disk.h"

namespace tindral::platform {
namespace {

// FILE_NOTIFY_INFORMATION entries: next entry offset (DWORD-aligned, 0 for the last), action,
// name length in bytes, the name.
std::vector<std::uint8_t> notify_buffer(
    const std::vector<std::pair<DWORD, std::wstring>>& entries) {
  std::vector<std::uint8_t> bytes;
  const auto put = [&bytes](std::uint32_t value, std::size_t at) {
    for (int i = 0; i < 4; ++i) bytes[at + i] = static_cast<std::uint8_t>(value >> (8 * i));
  };
  std::size_t previous = 0;
  for (std::size_t i = 0; i < entries.size(); ++i) {
    const std::size_t at = bytes.size();
    if (i > 0) put(static_cast<std::uint32_t>(at - previous), previous);
    bytes.resize(at + 12 + entries[i].second.size() * 2);
    put(0, at);
    put(entries[i].first, at + 4);
    put(static_cast<std::uint32_t>(entries[i].second.size() * 2), at + 8);
    for (std::size_t c = 0; c < entries[i].second.size(); ++c) {
      bytes[at + 12 + 2 * c] = static_cast<std::uint8_t>(entries[i].second[c]);
      bytes[at + 13 + 2 * c] = static_cast<std::uint8_t>(entries[i].second[c] >> 8);
    }
    bytes.resize((bytes.size() + 3) / 4 * 4);
    previous = at;
  }
  return bytes;
}

}  // namespace

void PrintTo(const Change& change, std::ostream* out) {
  static constexpr const char* kKinds[] = {"Appeared", "Disappeared", "Listing", "Rescan"};
  *out << "{root " << change.root << ", " << kKinds[static_cast<int>(change.kind)];
  for (const std::string& name : change.names) *out << ", \"" << name << '"';
  *out << '}';
}

namespace {

Change change(ChangeKind kind, std::vector<std::string> names) {
  return Change{4, kind, std::move(names)};
}

TEST(DirectoryChanges, NotificationsBecomeChangesAndAnythingLostARescan) {
  const std::vector<std::uint8_t> entries = notify_buffer({
      {FILE_ACTION_ADDED, L"a\\b\\c"},
      {FILE_ACTION_REMOVED, L"a\\old.txt"},
      {FILE_ACTION_MODIFIED, L"a\\b\\c\\photo.jpg"},
      {FILE_ACTION_RENAMED_OLD_NAME, L"a\\b"},
      {FILE_ACTION_RENAMED_NEW_NAME, L"a\\b\u00e4"},
      {FILE_ACTION_ADDED, L"a\\DESKTOP.INI"},
      {FILE_ACTION_ADDED, L"a\\.desktop.ini.tindral-new"},
      {FILE_ACTION_REMOVED, L"a\\desktop.ini"},
  });
  EXPECT_EQ(win32::directory_changes(4, true, entries),
            (std::vector<Change>{change(ChangeKind::Appeared, {"a", "b", "c"}),
                                 change(ChangeKind::Disappeared, {"a", "old.txt"}),
                                 change(ChangeKind::Disappeared, {"a", "b"}),
                                 change(ChangeKind::Appeared, {"a", "b\xC3\xA4"})}));

  const std::vector<Change> rescan{change(ChangeKind::Rescan, {})};
  std::vector<std::uint8_t> past_the_end = entries;
  past_the_end[0] = 0xF0;  // the first entry's next offset
  std::vector<std::uint8_t> name_past_the_end = notify_buffer({{FILE_ACTION_ADDED, L"abc"}});
  name_past_the_end[8] = 0x40;
  struct Lost {
    const char* what;
    bool succeeded;
    std::vector<std::uint8_t> filled;
  };
  const Lost lost[] = {
      {"an overflow as Windows reports it: success and no bytes", true, {}},
      {"an overflow as Wine reports it, or any failure", false, entries},
      {"an entry whose next offset lies past the bytes", true, past_the_end},
      {"a name past the bytes", true, name_past_the_end},
      {"a header cut short", true, std::vector<std::uint8_t>(entries.begin(), entries.begin() + 8)},
  };
  for (const Lost& case_ : lost) {
    EXPECT_EQ(win32::directory_changes(4, case_.succeeded, case_.filled), rescan) << case_.what;
  }
}

struct WatchedRoot {
  test_support::TempDir dir;
  std::unique_ptr<ChangeWatcher> watcher = make_change_watcher();
  std::vector<ChangeSource> sources;

  WatchedRoot() {
    OpenedRoot opened = open_root(real_file_system(), dir.path());
    EXPECT_FALSE(opened.refusal.has_value());
    EXPECT_TRUE(opened.folder);
    if (!opened.folder) return;
    std::vector<RootToWatch> roots;
    roots.push_back(RootToWatch{opened.location, std::move(opened.folder).value()});
    sources = watcher->watch(std::move(roots));
  }

  // Every change until `done` holds of them, or nothing more comes for two seconds.
  std::vector<Change> changes_until(const std::function<bool(const std::vector<Change>&)>& done) {
    StopSignal stop;
    std::vector<Change> changes;
    while (!done(changes) && watcher->wait(std::chrono::seconds(2), stop) == WakeReason::Changes) {
      watcher->take(changes);
    }
    return changes;
  }
};

bool has(const std::vector<Change>& changes, ChangeKind kind,
         const std::vector<std::string>& names) {
  return std::find(changes.begin(), changes.end(), Change{0, kind, names}) != changes.end();
}

TEST(ChangeWatcher, FoldersAndFilesMadeRenamedAndRemovedBelowARootAreReported) {
  WatchedRoot root;
  ASSERT_EQ(root.sources.size(), 1u);
  ASSERT_NE(root.sources[0], ChangeSource::None);

  const Path a = root.dir / "a";
  const Path e = a.child("b").child("c").child("d").child("e");
  test_support::make_folder(e);  // level by level
  test_support::write_bytes(e.child("photo.jpg"), "jpeg");
  test_support::write_bytes(a.child("desktop.ini"), "[Tindral]\r\n");
  test_support::rename_entry(a.child("b"), a.child("bb"));
  test_support::remove_tree(a.child("bb").child("c").child("d").child("e").child("photo.jpg"));

  const std::vector<std::string> deepest = {"a", "b", "c", "d", "e"};
  const auto photo_gone = [](const std::vector<Change>& changes) {
    return std::any_of(changes.begin(), changes.end(), [](const Change& change) {
      return change.kind == ChangeKind::Disappeared && change.names.back() == "photo.jpg";
    });
  };
  const std::vector<Change> changes = root.changes_until(photo_gone);

  for (std::size_t depth = 1; depth <= deepest.size(); ++depth) {
    const std::vector<std::string> names(deepest.begin(), deepest.begin() + depth);
    EXPECT_TRUE(has(changes, ChangeKind::Appeared, names)) << names.back();
  }
  std::vector<std::string> photo = deepest;
  photo.push_back("photo.jpg");
  EXPECT_TRUE(has(changes, ChangeKind::Appeared, photo));
  EXPECT_TRUE(has(changes, ChangeKind::Disappeared, {"a", "b"}));
  EXPECT_TRUE(has(changes, ChangeKind::Appeared, {"a", "bb"}));
  // Under the old name or the new: names are hints, which the walk does not trust.
  EXPECT_TRUE(photo_gone(changes));
  for (const Change& change : changes) {
    EXPECT_NE(change.kind, ChangeKind::Rescan);
    EXPECT_FALSE(is_service_file_name(change.names.back())) << change.names.back();
  }
}

TEST(ChangeWatcher, AStopEndsTheWaitAndNothingChangedIsATimeout) {
  WatchedRoot root;
  StopSignal stop;
  EXPECT_EQ(root.watcher->wait(std::chrono::milliseconds(50), stop), WakeReason::Timeout);

  std::thread stopper([&stop] {
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    stop.request();
  });
  // A wait the stop does not end runs out its time (and then sees the stop).
  const auto started = std::chrono::steady_clock::now();
  EXPECT_EQ(root.watcher->wait(std::chrono::seconds(30), stop), WakeReason::Stop);
  EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(20));
  stopper.join();
  EXPECT_EQ(root.watcher->wait(std::chrono::seconds(30), stop), WakeReason::Stop);
}

TEST(ChangeWatcher, MoreChangesThanAReadHoldsAreARescan) {
  WatchedRoot root;
  ASSERT_EQ(root.sources.size(), 1u);
  if (root.sources[0] == ChangeSource::UsnJournal) {
    GTEST_SKIP() << "the root's volume keeps a change journal, which holds every record";
  }
  // About 200 KB of notifications, three times what one read's buffer holds, made before the
  // watcher reads again.
  const std::string long_name(150, 'n');
  for (int i = 0; i < 600; ++i) {
    test_support::write_bytes(root.dir / (long_name + std::to_string(i)), "");
  }
  const auto rescanned = [](const std::vector<Change>& changes) {
    return std::any_of(changes.begin(), changes.end(),
                       [](const Change& change) { return change.kind == ChangeKind::Rescan; });
  };
  const std::vector<Change> changes = root.changes_until(rescanned);
  // Wine 8 reports it as a failure with ERROR_NOTIFY_ENUM_DIR (1022), Windows as success with no
  // bytes; the mapping of both is tested above.
  EXPECT_TRUE(rescanned(changes)) << changes.size() << " changes, none of them a rescan";
}

}  // namespace
}  // namespace tindral::platform
