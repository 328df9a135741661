#pragma once

// The one header of the Windows layer that includes <windows.h>, and the owners of the handles
// the layer opens. The build defines the configuration macros for every target; they are
// checked here because a file compiled without them would silently get the ANSI functions, the
// min/max macros or miss the Windows 10 declarations.

#if !defined(UNICODE) || !defined(_UNICODE)
#error "The Windows layer calls the wide-character API only: define UNICODE and _UNICODE."
#endif
#if !defined(WIN32_LEAN_AND_MEAN) || !defined(NOMINMAX)
#error "Define WIN32_LEAN_AND_MEAN and NOMINMAX before <windows.h>."
#endif
#if !defined(_WIN32_WINNT) || _WIN32_WINNT < 0x0A00
#error "Define _WIN32_WINNT as 0x0A00 (Windows 10) or later."
#endif

#include <cstddef>

#include <windows.h>
// After <windows.h>, which it needs: the native calls that open names relative to an open
// folder (NtCreateFile with OBJECT_ATTRIBUTES.RootDirectory), which the Win32 API lacks.
#include <winternl.h>
// Security descriptors of the data folder and the files in it, and the groups of an account.
#include <aclapi.h>
#include <lm.h>
#include <sddl.h>

namespace tindral::platform::win32 {

/// Owns one handle of the kind `Traits` describes and releases it when it goes.
template <class Traits>
class ScopedHandle {
 public:
  using Handle = typename Traits::Handle;

  ScopedHandle() = default;
  explicit ScopedHandle(Handle handle) : handle_(handle) {}
  ~ScopedHandle() { reset(); }
  ScopedHandle(const ScopedHandle&) = delete;
  ScopedHandle& operator=(const ScopedHandle&) = delete;
  ScopedHandle(ScopedHandle&& other) noexcept : handle_(other.release()) {}
  ScopedHandle& operator=(ScopedHandle&& other) noexcept {
    if (this != &other) reset(other.release());
    return *this;
  }

  /// The handle, still owned.
  Handle get() const { return handle_; }
  /// True when a handle is held (the API call that made it succeeded).
  explicit operator bool() const { return Traits::is_valid(handle_); }
  /// Gives up ownership without closing.
  Handle release() {
    Handle handle = handle_;
    handle_ = Traits::invalid();
    return handle;
  }
  /// Closes the held handle (if any) and takes `handle` instead.
  void reset(Handle handle = Traits::invalid()) {
    if (Traits::is_valid(handle_)) Traits::close(handle_);
    handle_ = handle;
  }

 private:
  Handle handle_ = Traits::invalid();
};

/// Kernel object handles, closed with CloseHandle. CreateFileW fails with INVALID_HANDLE_VALUE,
/// CreateEventW and most other creators with NULL; neither is a handle.
struct FileHandleTraits {
  using Handle = HANDLE;
  static Handle invalid() { return INVALID_HANDLE_VALUE; }
  static bool is_valid(Handle handle) {
    return handle != INVALID_HANDLE_VALUE && handle != nullptr;
  }
  static void close(Handle handle) { ::CloseHandle(handle); }
};

/// Search handles from FindFirstFileExW, which must be closed with FindClose.
struct FindHandleTraits {
  using Handle = HANDLE;
  static Handle invalid() { return INVALID_HANDLE_VALUE; }
  static bool is_valid(Handle handle) {
    return handle != INVALID_HANDLE_VALUE && handle != nullptr;
  }
  static void close(Handle handle) { ::FindClose(handle); }
};

/// Registry keys from RegOpenKeyExW.
struct RegKeyTraits {
  using Handle = HKEY;
  static Handle invalid() { return nullptr; }
  static bool is_valid(Handle handle) { return handle != nullptr; }
  static void close(Handle handle) { ::RegCloseKey(handle); }
};

/// Security descriptors and SIDs that the system allocates with LocalAlloc.
struct LocalFreeTraits {
  using Handle = void*;
  static Handle invalid() { return nullptr; }
  static bool is_valid(Handle handle) { return handle != nullptr; }
  static void close(Handle handle) { ::LocalFree(handle); }
};

using ScopedFileHandle = ScopedHandle<FileHandleTraits>;
using ScopedFindHandle = ScopedHandle<FindHandleTraits>;
using ScopedRegKey = ScopedHandle<RegKeyTraits>;
using ScopedLocal = ScopedHandle<LocalFreeTraits>;

// FileDispositionInfoEx (Windows 10 1607; its IGNORE_READONLY_ATTRIBUTE flag from 1809).
// mingw-w64 hides the enumerator unless _WIN32_WINNT is at least 0x0A000002, a comparison of
// _WIN32_WINNT with an NTDDI value that no real _WIN32_WINNT passes, and older Windows SDKs lack
// the flag. The values are part of the ABI, so they are declared here under names of our own.

/// The FILE_INFO_BY_HANDLE_CLASS value of FILE_DISPOSITION_INFO_EX.
inline constexpr FILE_INFO_BY_HANDLE_CLASS kFileDispositionInfoEx =
    static_cast<FILE_INFO_BY_HANDLE_CLASS>(21);

/// The layout of FILE_DISPOSITION_INFO_EX.
struct FileDispositionInfoEx {
  DWORD flags;
};

/// Flags of FILE_DISPOSITION_INFO_EX.
inline constexpr DWORD kDispositionDelete = 0x1;
inline constexpr DWORD kDispositionPosixSemantics = 0x2;
inline constexpr DWORD kDispositionIgnoreReadonly = 0x10;

// FileRenameInfoEx (Windows 10 1607), hidden by mingw-w64 in the same way, and FILE_RENAME_INFO
// with its Flags member, which headers for older targets declare as a BOOLEAN.

/// The FILE_INFO_BY_HANDLE_CLASS value of FILE_RENAME_INFO with flags.
inline constexpr FILE_INFO_BY_HANDLE_CLASS kFileRenameInfoEx =
    static_cast<FILE_INFO_BY_HANDLE_CLASS>(22);

/// The layout of FILE_RENAME_INFO; the name follows in place of `file_name`.
struct FileRenameInfoEx {
  DWORD flags;
  HANDLE root_directory;
  DWORD file_name_length;
  WCHAR file_name[1];
};
static_assert(offsetof(FileRenameInfoEx, file_name) == offsetof(FILE_RENAME_INFO, FileName));

/// Flags of FileRenameInfoEx.
inline constexpr DWORD kRenameReplaceIfExists = 0x1;
inline constexpr DWORD kRenamePosixSemantics = 0x2;

}  // namespace tindral::platform::win32
