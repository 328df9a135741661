// Who counts as an administrator when a file's owner is judged: besides the fixed accounts, a
// user in the Administrators group, which is how an administrator's file is owned where
// administrators' objects belong to their creator.

#include "platform/win32/administrators.h"

#include <gtest/gtest.h>

#include <vector>

namespace tindral::platform::win32 {
namespace {

// The SID of `text` ("S-1-5-19"), kept for the test's life.
std::vector<BYTE> sid_of(const wchar_t* text) {
  PSID sid = nullptr;
  EXPECT_TRUE(ConvertStringSidToSidW(text, &sid)) << GetLastError();
  const ScopedLocal owned(sid);
  const auto* bytes = static_cast<const BYTE*>(sid);
  return std::vector<BYTE>(bytes, bytes + GetLengthSid(sid));
}

std::vector<BYTE> own_account() {
  HANDLE token = nullptr;
  EXPECT_TRUE(OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token));
  const ScopedFileHandle owned(token);
  std::vector<BYTE> buffer(512);
  DWORD size = 0;
  EXPECT_TRUE(GetTokenInformation(token, TokenUser, buffer.data(),
                                  static_cast<DWORD>(buffer.size()), &size));
  const PSID sid = reinterpret_cast<TOKEN_USER*>(buffer.data())->User.Sid;
  const auto* bytes = static_cast<const BYTE*>(sid);
  return std::vector<BYTE>(bytes, bytes + GetLengthSid(sid));
}

// The tests run as an administrator (under Wine every program does), so their own account is
// in the group; LOCAL SERVICE is an account but no user in it, Administrators itself a group,
// and an account that does not exist is in nothing.
TEST(AdministratorsTest, AUserInTheAdministratorsGroupCountsAndNoOtherAccount) {
  std::vector<BYTE> own = own_account();
  std::vector<BYTE> local_service = sid_of(L"S-1-5-19");
  std::vector<BYTE> administrators = sid_of(L"S-1-5-32-544");
  std::vector<BYTE> users = sid_of(L"S-1-5-32-545");
  std::vector<BYTE> nobody = sid_of(L"S-1-5-21-1-2-3-99999");

  EXPECT_TRUE(is_member_of_administrators(own.data()));
  EXPECT_FALSE(is_member_of_administrators(local_service.data()));
  EXPECT_FALSE(is_member_of_administrators(administrators.data()));
  EXPECT_FALSE(is_member_of_administrators(nobody.data()));

  EXPECT_TRUE(is_administrator_account(administrators.data()));
  EXPECT_TRUE(is_administrator_account(sid_of(L"S-1-5-18").data()));
  EXPECT_FALSE(is_administrator_account(users.data()));
  EXPECT_FALSE(is_administrator_account(local_service.data()));
  EXPECT_FALSE(is_administrator_account(nobody.data()));
}

}  // namespace
}  // namespace tindral::platform::win32
