// What a watcher hands over between two takes: bounded, a change repeated at once held once, a
// root whose changes overflow the bound one rescan, and the service's own file names never.

#include "platform/held_changes.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace tindral::platform {
namespace {

Change appeared(std::size_t root, std::string name) {
  return Change{root, ChangeKind::Appeared, {"a", std::move(name)}};
}
Change rescan(std::size_t root) { return Change{root, ChangeKind::Rescan, {}}; }

TEST(HeldChanges, ARootBeyondTheBoundOrRescannedIsOneRescanUntilTheNextTake) {
  HeldChanges held(3);
  held.reset(3);
  held.add(appeared(0, "x"));
  held.add(appeared(0, "x"));
  held.add(appeared(1, "y"));
  held.add(appeared(0, "z"));
  held.add(appeared(1, "over the bound"));
  held.add(appeared(1, "dropped: its root is rescanned"));
  held.add(rescan(2));
  held.add(rescan(2));
  held.add(appeared(2, "dropped as well"));
  held.add(appeared(7, "a root that is not watched"));
  std::vector<Change> taken;
  held.take(taken);
  EXPECT_EQ(taken, (std::vector<Change>{appeared(0, "x"), appeared(0, "z"), rescan(1), rescan(2)}));
  EXPECT_TRUE(held.empty());

  // After the take the rescanned roots' changes count again.
  held.add(appeared(1, "again"));
  taken.clear();
  held.take(taken);
  EXPECT_EQ(taken, std::vector<Change>{appeared(1, "again")});
}

TEST(HeldChanges, TheServicesOwnFileNamesAreKnownInAnyLetterCase) {
  for (const char* name : {"desktop.ini", "DESKTOP.INI", "Desktop.Ini", ".desktop.ini.tindral-new",
                           ".desktop.ini.tindral-old"}) {
    EXPECT_TRUE(is_service_file_name(name)) << name;
  }
  for (const char* name : {"desktop.ini.bak", "desktop", "folder.ico", "photo.jpg",
                           "d\xC4\xB1sktop.ini", ".desktop.ini.tindral"}) {
    EXPECT_FALSE(is_service_file_name(name)) << name;
  }
}

}  // namespace
}  // namespace tindral::platform
