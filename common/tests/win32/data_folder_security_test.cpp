// The data folder's security descriptor on Windows, read back with the system's own calls
// rather than the layer's: owner Administrators, a protected DACL of SYSTEM and Administrators
// with full control and Users with read and execute, passed down to everything inside.

#include <gtest/gtest.h>

#include <string>

#include "platform/file_system.h"
#include "platform/win32/wide_path.h"
#include "platform/win32/windows_api.h"
#include "support/machine.h"
#include "support/real_disk.h"

namespace tindral::platform {
namespace {

// The owner and DACL of `path` in the security descriptor definition language.
std::string security_text(const Path& path) {
  const std::wstring wide = win32::wtf8_to_wide(path.bytes()).value_or(std::wstring());
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  EXPECT_EQ(GetNamedSecurityInfoW(wide.c_str(), SE_FILE_OBJECT,
                                  OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION, nullptr,
                                  nullptr, nullptr, nullptr, &descriptor),
            static_cast<DWORD>(ERROR_SUCCESS));
  wchar_t* text = nullptr;
  EXPECT_TRUE(ConvertSecurityDescriptorToStringSecurityDescriptorW(
      descriptor, SDDL_REVISION_1, OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION, &text,
      nullptr));
  const std::string result = text != nullptr ? win32::wide_to_utf8_lossy(text) : std::string();
  LocalFree(text);
  LocalFree(descriptor);
  return result;
}

std::string dacl_of(const std::string& text) { return text.substr(text.find("D:")); }

constexpr char kAdministratorsDacl[] =
    "D:PAI(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)(A;OICI;0x1200a9;;;BU)";

class DataFolderSecurityTest : public testing::Test {
 protected:
  void SetUp() override {
    if (test_support::running_under_wine()) {
      GTEST_SKIP() << "Wine keeps no owner or DACL of its own for a file: it reports the "
                      "process's account as owner and a DACL made up from the Unix mode "
                      "(SYSTEM and the owner full control, Everyone what the mode gives others)";
    }
  }

  void expect_owned_by_administrators(const std::string& text) {
    EXPECT_TRUE(text.starts_with("O:BA")) << text;
  }

  FileSystem& fs_ = real_file_system();
  test_support::TempDir dir_;
  const Path folder_ = dir_ / "Tindral";
};

TEST_F(DataFolderSecurityTest, ANewDataFolderGetsTheAdministratorsDescriptor) {
  ASSERT_TRUE(fs_.secure_folder(folder_));
  const std::string text = security_text(folder_);
  expect_owned_by_administrators(text);
  EXPECT_EQ(dacl_of(text), kAdministratorsDacl);
}

TEST_F(DataFolderSecurityTest, APermissiveDataFolderIsRepaired) {
  test_support::make_folder(folder_);
  test_support::open_to_everybody(folder_);
  ASSERT_NE(dacl_of(security_text(folder_)), kAdministratorsDacl);

  EXPECT_EQ(*fs_.secure_folder(folder_), Trust::OpenToOthers);
  const std::string text = security_text(folder_);
  expect_owned_by_administrators(text);
  EXPECT_EQ(dacl_of(text), kAdministratorsDacl);
}

}  // namespace
}  // namespace tindral::platform
