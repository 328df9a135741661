#include "platform/win32/administrators.h"

#include <optional>
#include <string>
#include <vector>

namespace tindral::platform::win32 {

namespace {

/// Buffers that the network management functions allocate, released with NetApiBufferFree.
struct NetBufferTraits {
  using Handle = void*;
  static Handle invalid() { return nullptr; }
  static bool is_valid(Handle handle) { return handle != nullptr; }
  static void close(Handle handle) { ::NetApiBufferFree(handle); }
};
using ScopedNetBuffer = ScopedHandle<NetBufferTraits>;

// TrustedInstaller, the service that installs Windows' own files.
constexpr wchar_t kTrustedInstallerSid[] =
    L"S-1-5-80-956008885-3418522649-1831038044-1853292631-2271478464";

// The accounts an administrator's file may belong to whatever the groups say: SYSTEM,
// Administrators, TrustedInstaller, and the account the service runs as (SYSTEM for the
// installed service).
class FixedAccounts {
 public:
  FixedAccounts() {
    add_well_known(WinLocalSystemSid);
    add_well_known(WinBuiltinAdministratorsSid);
    add_string(kTrustedInstallerSid);
    add_own_account();
  }

  bool contains(PSID sid) const {
    for (const std::vector<BYTE>& account : sids_) {
      if (EqualSid(sid, const_cast<BYTE*>(account.data()))) return true;
    }
    return false;
  }

 private:
  void add(PSID sid) {
    const auto* bytes = static_cast<const BYTE*>(sid);
    sids_.emplace_back(bytes, bytes + GetLengthSid(sid));
  }
  void add_well_known(WELL_KNOWN_SID_TYPE type) {
    BYTE sid[SECURITY_MAX_SID_SIZE];
    DWORD size = sizeof sid;
    if (CreateWellKnownSid(type, nullptr, sid, &size)) add(sid);
  }
  void add_string(const wchar_t* text) {
    PSID sid = nullptr;
    if (!ConvertStringSidToSidW(text, &sid)) return;
    ScopedLocal owned(sid);
    add(sid);
  }
  void add_own_account() {
    HANDLE token = nullptr;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token)) return;
    ScopedFileHandle owned_token(token);
    std::vector<BYTE> buffer(256);
    DWORD size = 0;
    if (!GetTokenInformation(token, TokenUser, buffer.data(), static_cast<DWORD>(buffer.size()),
                             &size)) {
      buffer.resize(size);
      if (!GetTokenInformation(token, TokenUser, buffer.data(), size, &size)) return;
    }
    add(reinterpret_cast<TOKEN_USER*>(buffer.data())->User.Sid);
  }

  std::vector<std::vector<BYTE>> sids_;
};

const FixedAccounts& fixed_accounts() {
  static const FixedAccounts accounts;
  return accounts;
}

struct AccountName {
  std::wstring qualified;  ///< DOMAIN\name
  std::wstring name;
  SID_NAME_USE use = SidTypeUnknown;
};

std::optional<AccountName> account_name(PSID sid) {
  DWORD name_length = 0;
  DWORD domain_length = 0;
  SID_NAME_USE use = SidTypeUnknown;
  LookupAccountSidW(nullptr, sid, nullptr, &name_length, nullptr, &domain_length, &use);
  if (name_length == 0) return std::nullopt;
  std::wstring name(name_length, L'\0');
  std::wstring domain(domain_length, L'\0');
  if (!LookupAccountSidW(nullptr, sid, name.data(), &name_length, domain.data(), &domain_length,
                         &use)) {
    return std::nullopt;
  }
  name.resize(name_length);
  domain.resize(domain_length);
  AccountName account;
  account.qualified = domain.empty() ? name : domain + L"\\" + name;
  account.name = std::move(name);
  account.use = use;
  return account;
}

// The group's name differs by the system's language; NetUserGetLocalGroups answers with names.
const std::optional<std::wstring>& administrators_group_name() {
  static const std::optional<std::wstring> name = [] {
    BYTE sid[SECURITY_MAX_SID_SIZE];
    DWORD size = sizeof sid;
    if (!CreateWellKnownSid(WinBuiltinAdministratorsSid, nullptr, sid, &size)) {
      return std::optional<std::wstring>();
    }
    std::optional<AccountName> group = account_name(sid);
    return group ? std::optional<std::wstring>(group->name) : std::nullopt;
  }();
  return name;
}

}  // namespace

bool is_administrator_account(PSID sid) {
  return fixed_accounts().contains(sid) || is_member_of_administrators(sid);
}

// Where "Default owner for objects created by members of the Administrators group" is "Object
// creator", an administrator's files belong to the administrator's own account. Only a token
// tells every group of an account; for a SID, NetUserGetLocalGroups with LG_INCLUDE_INDIRECT is
// the documented question, and it also counts membership through a global group that is a
// member of the local group. Only user accounts are asked (a group or a deleted account owns
// no administrator's file), and any failure (a domain controller out of reach) is an answer of
// no: the file then does not count.
bool is_member_of_administrators(PSID sid) {
  const std::optional<std::wstring>& administrators = administrators_group_name();
  const std::optional<AccountName> account = account_name(sid);
  if (!administrators || !account || account->use != SidTypeUser) return false;
  LPBYTE buffer = nullptr;
  DWORD read = 0;
  DWORD total = 0;
  const NET_API_STATUS status =
      NetUserGetLocalGroups(nullptr, account->qualified.c_str(), 0, LG_INCLUDE_INDIRECT, &buffer,
                            MAX_PREFERRED_LENGTH, &read, &total);
  const ScopedNetBuffer owned(buffer);
  if (status != NERR_Success || buffer == nullptr) return false;
  const auto* groups = reinterpret_cast<const LOCALGROUP_USERS_INFO_0*>(buffer);
  for (DWORD index = 0; index < read; ++index) {
    if (CompareStringOrdinal(groups[index].lgrui0_name, -1, administrators->c_str(), -1, TRUE) ==
        CSTR_EQUAL) {
      return true;
    }
  }
  return false;
}

// SeTakeOwnershipPrivilege grants WRITE_OWNER on any object, whatever its DACL, and
// SeRestorePrivilege lets the owner be set to any account and grants write access through
// backup-intent opens; the owner is always granted READ_CONTROL and WRITE_DAC.
// AdjustTokenPrivileges succeeds also when the token lacks a privilege, and then says so with
// ERROR_NOT_ALL_ASSIGNED; it hands back the state before, which the destructor restores.
RepairPrivileges::RepairPrivileges() {
  HANDLE token = nullptr;
  if (!OpenProcessToken(GetCurrentProcess(), TOKEN_ADJUST_PRIVILEGES | TOKEN_QUERY, &token)) {
    return;
  }
  token_.reset(token);
  struct {
    DWORD count;
    LUID_AND_ATTRIBUTES privileges[2];
  } wanted{2, {}};
  if (!LookupPrivilegeValueW(nullptr, SE_TAKE_OWNERSHIP_NAME, &wanted.privileges[0].Luid) ||
      !LookupPrivilegeValueW(nullptr, SE_RESTORE_NAME, &wanted.privileges[1].Luid)) {
    return;
  }
  wanted.privileges[0].Attributes = SE_PRIVILEGE_ENABLED;
  wanted.privileges[1].Attributes = SE_PRIVILEGE_ENABLED;
  previous_.resize(sizeof wanted);
  DWORD previous_size = 0;
  if (!AdjustTokenPrivileges(token_.get(), FALSE, reinterpret_cast<TOKEN_PRIVILEGES*>(&wanted),
                             static_cast<DWORD>(previous_.size()),
                             reinterpret_cast<TOKEN_PRIVILEGES*>(previous_.data()),
                             &previous_size)) {
    previous_.clear();
    return;
  }
  enabled_ = GetLastError() != ERROR_NOT_ALL_ASSIGNED;
}

RepairPrivileges::~RepairPrivileges() {
  if (!token_ || previous_.empty()) return;
  AdjustTokenPrivileges(token_.get(), FALSE, reinterpret_cast<TOKEN_PRIVILEGES*>(previous_.data()),
                        0, nullptr, nullptr);
}

}  // namespace tindral::platform::win32
