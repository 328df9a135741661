// The data folder's security descriptor on Windows, read back with the system's own calls
// rather than the layer's: owner Administrators, a protected DACL of SYSTEM and Administrators
// with full control and Users with read and execute, passed down to everything inside.

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/file_system.h"
#include "platform/win32/administrators.h"
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

// A file that stays in a repaired folder is given the administrators' owner and DACL.
TEST_F(DataFolderSecurityTest, AFileThatStaysInARepairedFolderIsTheAdministratorsAlone) {
  test_support::make_folder(folder_);
  test_support::write_bytes(folder_.child("config.txt"), "C:\\Photos\n");
  test_support::open_to_everybody(folder_);
  ASSERT_TRUE(fs_.secure_folder(folder_));
  ASSERT_TRUE(fs_.secure_folder_files(folder_));
  const std::string text = security_text(folder_.child("config.txt"));
  expect_owned_by_administrators(text);
  EXPECT_EQ(dacl_of(text), "D:PAI(A;;FA;;;SY)(A;;FA;;;BA)(A;;0x1200a9;;;BU)");
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

bool privilege_enabled(const wchar_t* name) {
  HANDLE token = nullptr;
  EXPECT_TRUE(OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token));
  const win32::ScopedFileHandle owned(token);
  LUID wanted{};
  EXPECT_TRUE(LookupPrivilegeValueW(nullptr, name, &wanted));
  std::vector<BYTE> buffer(4096);
  DWORD size = 0;
  EXPECT_TRUE(GetTokenInformation(token, TokenPrivileges, buffer.data(),
                                  static_cast<DWORD>(buffer.size()), &size));
  const auto* privileges = reinterpret_cast<const TOKEN_PRIVILEGES*>(buffer.data());
  for (DWORD index = 0; index < privileges->PrivilegeCount; ++index) {
    const LUID_AND_ATTRIBUTES& held = privileges->Privileges[index];
    if (held.Luid.LowPart == wanted.LowPart && held.Luid.HighPart == wanted.HighPart) {
      return (held.Attributes & SE_PRIVILEGE_ENABLED) != 0;
    }
  }
  return false;
}

void disable_privilege(const wchar_t* name) {
  HANDLE token = nullptr;
  ASSERT_TRUE(OpenProcessToken(GetCurrentProcess(), TOKEN_ADJUST_PRIVILEGES, &token));
  const win32::ScopedFileHandle owned(token);
  TOKEN_PRIVILEGES off{1, {}};
  ASSERT_TRUE(LookupPrivilegeValueW(nullptr, name, &off.Privileges[0].Luid));
  ASSERT_TRUE(AdjustTokenPrivileges(token, FALSE, &off, 0, nullptr, nullptr));
}

// LocalSystem holds both disabled; without them a folder that shuts SYSTEM out stays so. Left
// enabled, the restore privilege would let every backup-semantics open of the service (a
// root's folder) get past its DACL, so they are on only while the folder is repaired.
TEST(RepairPrivilegesTest, TakeOwnershipAndRestoreAreEnabledWhileTheRepairRunsAndOnlyThen) {
  for (const wchar_t* name : {SE_TAKE_OWNERSHIP_NAME, SE_RESTORE_NAME}) disable_privilege(name);
  {
    const win32::RepairPrivileges privileges;
    EXPECT_TRUE(privileges.enabled());
    EXPECT_TRUE(privilege_enabled(SE_TAKE_OWNERSHIP_NAME));
    EXPECT_TRUE(privilege_enabled(SE_RESTORE_NAME));
  }
  EXPECT_FALSE(privilege_enabled(SE_TAKE_OWNERSHIP_NAME));
  EXPECT_FALSE(privilege_enabled(SE_RESTORE_NAME));
  test_support::TempDir dir;
  ASSERT_TRUE(real_file_system().secure_folder(dir / "Tindral"));
  EXPECT_FALSE(privilege_enabled(SE_RESTORE_NAME));
}

// Gives the folder to Guests with a DACL that grants only them, which the test, an administrator,
// may do with the restore privilege.
void shut_system_out(const Path& folder) {
  const win32::RepairPrivileges privileges;
  ASSERT_TRUE(privileges.enabled());
  PSECURITY_DESCRIPTOR shut_out = nullptr;
  ASSERT_TRUE(ConvertStringSecurityDescriptorToSecurityDescriptorW(
      L"O:BGD:P(A;OICI;FA;;;BG)", SDDL_REVISION_1, &shut_out, nullptr));
  const win32::ScopedLocal owned(shut_out);
  PSID owner = nullptr;
  PACL dacl = nullptr;
  BOOL defaulted = FALSE;
  BOOL present = FALSE;
  ASSERT_TRUE(GetSecurityDescriptorOwner(shut_out, &owner, &defaulted));
  ASSERT_TRUE(GetSecurityDescriptorDacl(shut_out, &present, &dacl, &defaulted));
  std::wstring wide = win32::wtf8_to_wide(folder.bytes()).value_or(std::wstring());
  ASSERT_EQ(SetNamedSecurityInfoW(wide.data(), SE_FILE_OBJECT,
                                  OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION |
                                      PROTECTED_DACL_SECURITY_INFORMATION,
                                  owner, nullptr, dacl, nullptr),
            static_cast<DWORD>(ERROR_SUCCESS));
}

// Any user may make the folder in ProgramData before the service first runs, owned by another
// account and with a DACL that lets SYSTEM do nothing: the service takes it back all the same.
TEST(ShutOutDataFolderTest, AFolderWhoseDaclLeavesSystemOutIsTakenBack) {
  test_support::TempDir dir;
  const Path folder = dir / "Tindral";
  test_support::make_folder(folder);
  shut_system_out(folder);
  if (test_support::running_under_wine()) {
    GTEST_SKIP() << "Wine keeps neither the owner nor a DACL that leaves SYSTEM out ("
                 << security_text(folder)
                 << "): it makes one up from the Unix mode, SYSTEM always in full control";
  }

  const Result<Trust> found = real_file_system().secure_folder(folder);

  ASSERT_TRUE(found) << found.error().message();
  EXPECT_EQ(*found, Trust::OtherOwner);
  const std::string text = security_text(folder);
  EXPECT_TRUE(text.starts_with("O:BA")) << text;
  EXPECT_EQ(dacl_of(text), kAdministratorsDacl);
}

}  // namespace
}  // namespace tindral::platform
