// Real-disk helpers for Windows, written with the Win32 calls directly so that they never go
// through the file-system layer they help to test. Only the path conversion is shared: a test
// tree deeper than MAX_PATH needs the same long-path prefix the service uses.

#include "support/real_disk.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <stdexcept>
#include <string>
#include <vector>

#include "platform/environment.h"
#include "platform/os_error.h"
#include "platform/win32/wide_path.h"
#include "platform/win32/windows_api.h"
#include "support/machine.h"

namespace tindral::test_support {

namespace {

using platform::win32::ScopedFileHandle;
using platform::win32::ScopedFindHandle;

constexpr DWORD kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
constexpr DWORD kServiceBits =
    FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM;

std::string last_error_text() { return platform::last_os_error().message(); }

// The wide form of a path; a path the helpers cannot even convert is a broken test.
std::wstring wide(const Path& path) {
  auto converted = platform::win32::widen_path(path);
  if (!converted) throw std::invalid_argument(converted.error().message());
  return std::move(*converted);
}

// TINDRAL_TEST_TMP when set, else GetTempPathW's folder (under Wine inside the prefix, which
// lives in the build tree).
Path temp_base() {
  if (auto configured = platform::get_env("TINDRAL_TEST_TMP");
      configured.present() && !configured.value.empty()) {
    return Path(std::move(configured.value));
  }
  wchar_t buffer[MAX_PATH + 1];
  const DWORD length = GetTempPathW(static_cast<DWORD>(std::size(buffer)), buffer);
  if (length == 0 || length > MAX_PATH) {
    throw std::runtime_error("no temporary folder: " + last_error_text());
  }
  return Path(platform::win32::wide_to_wtf8(std::wstring_view(buffer, length)));
}

bool is_folder(const std::wstring& path) {
  const DWORD attributes = GetFileAttributesW(path.c_str());
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

std::vector<std::wstring> child_names(const Path& folder) {
  std::vector<std::wstring> names;
  WIN32_FIND_DATAW data{};
  ScopedFindHandle search(FindFirstFileW(wide(folder.child("*")).c_str(), &data));
  if (!search) {
    ADD_FAILURE() << "cannot list " << folder.display() << ": " << last_error_text();
    return names;
  }
  do {
    const std::wstring_view name = data.cFileName;
    if (name != L"." && name != L"..") names.emplace_back(name);
  } while (FindNextFileW(search.get(), &data));
  return names;
}

}  // namespace

// Named after the process and a counter, so that parallel test processes never share a folder.
TempDir::TempDir() {
  const Path base = temp_base();
  make_folder(base);
  static std::atomic<unsigned> counter{0};
  for (;;) {
    Path candidate = base.child("tindral-" + std::to_string(GetCurrentProcessId()) + "-" +
                                std::to_string(counter++));
    if (CreateDirectoryW(wide(candidate).c_str(), nullptr)) {
      path_ = std::move(candidate);
      return;
    }
    if (GetLastError() != ERROR_ALREADY_EXISTS) {
      throw std::runtime_error("cannot create a temporary folder in " + base.display() + ": " +
                               last_error_text());
    }
  }
}

TempDir::~TempDir() { remove_tree(path_); }

// Every ancestor is attempted first and its failure ignored: the drive, a share root and a folder
// that is already there all refuse, and only the folder itself has to exist in the end.
void make_folder(const Path& folder) {
  const std::string& bytes = folder.bytes();
  for (std::size_t i = 1; i < bytes.size(); ++i) {
    if (platform::is_separator(bytes[i]) && !platform::is_separator(bytes[i - 1])) {
      CreateDirectoryW(wide(Path(bytes.substr(0, i))).c_str(), nullptr);
    }
  }
  const std::wstring path = wide(folder);
  if (CreateDirectoryW(path.c_str(), nullptr)) return;
  const DWORD code = GetLastError();
  if (!is_folder(path)) {
    ADD_FAILURE() << "cannot create " << folder.display() << ": "
                  << platform::os_error(code).message();
  }
}

// CreateFileW documents that CREATE_ALWAYS fails on a hidden or system file unless the same
// attributes are passed, so they are.
void write_bytes(const Path& file, std::string_view bytes) {
  const std::wstring path = wide(file);
  const DWORD existing = GetFileAttributesW(path.c_str());
  const DWORD keep = existing == INVALID_FILE_ATTRIBUTES
                         ? 0
                         : existing & (FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM);
  ScopedFileHandle handle(CreateFileW(path.c_str(), GENERIC_WRITE, kShareAll, nullptr,
                                      CREATE_ALWAYS, keep != 0 ? keep : FILE_ATTRIBUTE_NORMAL,
                                      nullptr));
  if (!handle) {
    ADD_FAILURE() << "cannot create " << file.display() << ": " << last_error_text();
    return;
  }
  while (!bytes.empty()) {
    DWORD written = 0;
    const auto slice = static_cast<DWORD>(std::min<std::size_t>(bytes.size(), 1u << 30));
    if (!WriteFile(handle.get(), bytes.data(), slice, &written, nullptr) || written == 0) {
      ADD_FAILURE() << "cannot write " << file.display() << ": " << last_error_text();
      return;
    }
    bytes.remove_prefix(written);
  }
}

std::string read_bytes(const Path& file) {
  std::string content;
  ScopedFileHandle handle(CreateFileW(wide(file).c_str(), GENERIC_READ, kShareAll, nullptr,
                                      OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!handle) {
    ADD_FAILURE() << "cannot open " << file.display() << ": " << last_error_text();
    return content;
  }
  char buffer[8192];
  for (;;) {
    DWORD got = 0;
    if (!ReadFile(handle.get(), buffer, sizeof buffer, &got, nullptr)) {
      ADD_FAILURE() << "cannot read " << file.display() << ": " << last_error_text();
      return std::string();
    }
    if (got == 0) return content;
    content.append(buffer, got);
  }
}

// GetFileAttributesW describes a link itself, never its target.
bool path_exists(const Path& path) {
  return GetFileAttributesW(wide(path).c_str()) != INVALID_FILE_ATTRIBUTES;
}

// Without the symbolic-link privilege (neither an administrator nor developer mode) Windows
// refuses the link, and the test that wanted it skips.
bool make_symlink(const Path& target, const Path& link, bool target_is_folder) {
  if (running_under_wine()) return false;
  const DWORD flags = SYMBOLIC_LINK_FLAG_ALLOW_UNPRIVILEGED_CREATE |
                      (target_is_folder ? SYMBOLIC_LINK_FLAG_DIRECTORY : 0);
  if (CreateSymbolicLinkW(wide(link).c_str(), wide(target).c_str(), flags)) return true;
  if (GetLastError() != ERROR_PRIVILEGE_NOT_HELD) {
    ADD_FAILURE() << "cannot link " << link.display() << " to " << target.display() << ": "
                  << last_error_text();
  }
  return false;
}

void rename_entry(const Path& from, const Path& to) {
  if (!MoveFileExW(wide(from).c_str(), wide(to).c_str(), 0)) {
    ADD_FAILURE() << "cannot rename " << from.display() << " to " << to.display() << ": "
                  << last_error_text();
  }
}

// READONLY stops DeleteFileW and RemoveDirectoryW, so it comes off first (with HIDDEN and
// SYSTEM, which the tests set together with it). A link (a reparse point) is removed itself,
// never entered.
void remove_tree(const Path& path) {
  const std::wstring wide_path = wide(path);
  const DWORD attributes = GetFileAttributesW(wide_path.c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES) {
    const DWORD code = GetLastError();
    if (code != ERROR_FILE_NOT_FOUND && code != ERROR_PATH_NOT_FOUND) {
      ADD_FAILURE() << "cannot inspect " << path.display() << ": "
                    << platform::os_error(code).message();
    }
    return;
  }
  if ((attributes & kServiceBits) != 0) {
    const DWORD cleared = attributes & ~kServiceBits;
    SetFileAttributesW(wide_path.c_str(), cleared != 0 ? cleared : FILE_ATTRIBUTE_NORMAL);
  }
  const bool folder = (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
  if (folder && (attributes & FILE_ATTRIBUTE_REPARSE_POINT) == 0) {
    for (const std::wstring& name : child_names(path)) {
      remove_tree(path.child(platform::win32::wide_to_wtf8(name)));
    }
  }
  const BOOL removed =
      folder ? RemoveDirectoryW(wide_path.c_str()) : DeleteFileW(wide_path.c_str());
  if (!removed) ADD_FAILURE() << "cannot remove " << path.display() << ": " << last_error_text();
}

void open_to_everybody(const Path& path) {
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  ASSERT_TRUE(ConvertStringSecurityDescriptorToSecurityDescriptorW(
      L"D:(A;OICI;FA;;;WD)", SDDL_REVISION_1, &descriptor, nullptr));
  PACL dacl = nullptr;
  BOOL present = FALSE;
  BOOL defaulted = FALSE;
  GetSecurityDescriptorDacl(descriptor, &present, &dacl, &defaulted);
  std::wstring name = wide(path);
  const DWORD code = SetNamedSecurityInfoW(name.data(), SE_FILE_OBJECT, DACL_SECURITY_INFORMATION,
                                           nullptr, nullptr, dacl, nullptr);
  LocalFree(descriptor);
  ASSERT_EQ(code, static_cast<DWORD>(ERROR_SUCCESS)) << path.display();
}

// Everyone as the owner: setting an owner other than oneself takes the restore privilege. The
// owner is read back, because Wine reports success and keeps the owner it had.
bool give_to_another_account(const Path& path) {
  BYTE everyone[SECURITY_MAX_SID_SIZE];
  DWORD size = sizeof everyone;
  if (!CreateWellKnownSid(WinWorldSid, nullptr, everyone, &size)) return false;
  std::wstring name = wide(path);
  if (SetNamedSecurityInfoW(name.data(), SE_FILE_OBJECT, OWNER_SECURITY_INFORMATION, everyone,
                            nullptr, nullptr, nullptr) != ERROR_SUCCESS) {
    return false;
  }
  PSID owner = nullptr;
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  if (GetNamedSecurityInfoW(name.c_str(), SE_FILE_OBJECT, OWNER_SECURITY_INFORMATION, &owner,
                            nullptr, nullptr, nullptr, &descriptor) != ERROR_SUCCESS) {
    return false;
  }
  const bool given = EqualSid(owner, everyone);
  LocalFree(descriptor);
  return given;
}

void backdate(const Path& path) {
  // 2001-02-03 in 100-nanosecond intervals since 1601.
  constexpr ULONGLONG k20010203 = 126256320000000000ULL;
  ScopedFileHandle handle(
      CreateFileW(wide(path).c_str(), FILE_WRITE_ATTRIBUTES, kShareAll, nullptr, OPEN_EXISTING,
                  FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
  const FILETIME time{static_cast<DWORD>(k20010203), static_cast<DWORD>(k20010203 >> 32)};
  if (!handle || !SetFileTime(handle.get(), nullptr, nullptr, &time)) {
    ADD_FAILURE() << "cannot backdate " << path.display() << ": " << last_error_text();
  }
}

platform::FileTime last_write_time(const Path& path) {
  WIN32_FILE_ATTRIBUTE_DATA data{};
  if (!GetFileAttributesExW(wide(path).c_str(), GetFileExInfoStandard, &data)) {
    ADD_FAILURE() << "cannot inspect " << path.display() << ": " << last_error_text();
    return {};
  }
  ULARGE_INTEGER time{};
  time.LowPart = data.ftLastWriteTime.dwLowDateTime;
  time.HighPart = data.ftLastWriteTime.dwHighDateTime;
  return platform::FileTime{static_cast<std::int64_t>(time.QuadPart)};
}

DeletionBlocker::DeletionBlocker(const Path& file) : path_(file) {
  HANDLE handle = CreateFileW(wide(file).c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                              nullptr, OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
  holds_ = handle != INVALID_HANDLE_VALUE;
  if (!holds_) ADD_FAILURE() << "cannot open " << file.display() << ": " << last_error_text();
  state_ = reinterpret_cast<std::uintptr_t>(handle);
}

DeletionBlocker::~DeletionBlocker() {
  if (holds_) CloseHandle(reinterpret_cast<HANDLE>(state_));
}

}  // namespace tindral::test_support
