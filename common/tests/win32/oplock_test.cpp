// A program that holds an oplock on a file makes every other open of it wait until the program
// acknowledges the break, which it may never do. The service's opens come back at once.

#include <gtest/gtest.h>

#include <chrono>
#include <future>
#include <memory>

#include "platform/file_system.h"
#include "platform/win32/wide_path.h"
#include "platform/win32/windows_api.h"
#include "support/real_disk.h"

// After windows.h: the oplock requests.
#include <winioctl.h>

namespace tindral::platform {
namespace {

// ERROR_OPLOCK_BREAK_IN_PROGRESS, which mingw-w64's headers lack.
constexpr std::uint32_t kOplockBreakInProgress = 742;

TEST(OplockTest, AnOpenThatWouldBreakAnOplockComesBackAtOnce) {
  test_support::TempDir dir;
  const Path ini = dir / "desktop.ini";
  test_support::write_bytes(ini, "[Tindral]\r\n");
  const std::wstring wide = win32::wtf8_to_wide(ini.bytes()).value_or(std::wstring());
  win32::ScopedFileHandle holder(CreateFileW(
      wide.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
      OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr));
  ASSERT_TRUE(holder);
  win32::ScopedFileHandle broken(CreateEventW(nullptr, TRUE, FALSE, nullptr));
  OVERLAPPED overlapped{};
  overlapped.hEvent = broken.get();
  const BOOL answered = DeviceIoControl(holder.get(), FSCTL_REQUEST_BATCH_OPLOCK, nullptr, 0,
                                        nullptr, 0, nullptr, &overlapped);
  if (answered || GetLastError() != ERROR_IO_PENDING) {
    GTEST_SKIP() << "Wine: FSCTL_REQUEST_BATCH_OPLOCK fails (error " << GetLastError()
                 << "), so no oplock can be held for an open to meet";
  }
  auto folder = real_file_system().open_folder(dir.path());
  ASSERT_TRUE(folder);

  auto opening =
      std::async(std::launch::async, [&folder] { return (*folder)->open_file("desktop.ini"); });
  const bool came_back = opening.wait_for(std::chrono::seconds(5)) == std::future_status::ready;
  holder.reset();  // the break is over, so that a waiting open goes on

  ASSERT_TRUE(came_back) << "the open waited for the oplock holder";
  Result<std::unique_ptr<OpenFile>> opened = opening.get();
  ASSERT_FALSE(opened);
  EXPECT_EQ(opened.error().os_code(), kOplockBreakInProgress);
}

}  // namespace
}  // namespace tindral::platform
