#include <gtest/gtest.h>

#include "platform/os_error.h"
#include "platform/win32/windows_api.h"
#include "support/small_stack.h"

namespace tindral::test_support {

namespace {

DWORD WINAPI run_work(LPVOID work) {
  (*static_cast<const std::function<void()>*>(work))();
  return 0;
}

}  // namespace

// The size is the stack's reservation, not only its first commit, so that the thread cannot
// grow past it.
void run_on_small_stack(std::size_t stack_bytes, const std::function<void()>& work) {
  HANDLE thread =
      CreateThread(nullptr, stack_bytes, run_work, const_cast<std::function<void()>*>(&work),
                   STACK_SIZE_PARAM_IS_A_RESERVATION, nullptr);
  ASSERT_NE(thread, nullptr) << "cannot start a thread with a " << stack_bytes
                             << "-byte stack: " << platform::last_os_error().message();
  const platform::win32::ScopedFileHandle owned(thread);
  ASSERT_EQ(WaitForSingleObject(thread, INFINITE), WAIT_OBJECT_0);
}

}  // namespace tindral::test_support
