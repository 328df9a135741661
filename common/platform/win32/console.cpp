#include "platform/console.h"

#include <algorithm>

#include "platform/win32/wide_path.h"
#include "platform/win32/windows_api.h"
#include "text.h"

namespace tindral::platform {

namespace {

// Larger pieces are written in slices of this size; the count parameters are 32 bits.
constexpr std::size_t kMaxSlice = 1u << 30;

// A console takes UTF-16 whatever its code page, so characters outside the code page still show.
// Bytes that are not UTF-8 become U+FFFD first, as they would on any terminal.
void write_console(HANDLE console, std::string_view utf8) {
  const auto wide = win32::wtf8_to_wide(text::to_lossy_utf8(utf8));
  if (!wide) return;
  std::wstring_view rest = *wide;
  while (!rest.empty()) {
    DWORD written = 0;
    const auto slice = static_cast<DWORD>(std::min(rest.size(), kMaxSlice));
    if (!WriteConsoleW(console, rest.data(), slice, &written, nullptr) || written == 0) return;
    rest.remove_prefix(written);
  }
}

// A pipe or file gets the UTF-8 bytes unchanged.
void write_bytes(HANDLE handle, std::string_view bytes) {
  while (!bytes.empty()) {
    DWORD written = 0;
    const auto slice = static_cast<DWORD>(std::min(bytes.size(), kMaxSlice));
    if (!WriteFile(handle, bytes.data(), slice, &written, nullptr) || written == 0) return;
    bytes.remove_prefix(written);
  }
}

// A service has no standard handles: nothing to write to, and nobody to tell.
void write_to(DWORD std_handle, std::string_view utf8) {
  const HANDLE handle = GetStdHandle(std_handle);
  if (handle == nullptr || handle == INVALID_HANDLE_VALUE) return;
  DWORD mode = 0;
  if (GetConsoleMode(handle, &mode)) {
    write_console(handle, utf8);
  } else {
    write_bytes(handle, utf8);
  }
}

}  // namespace

void write_stdout(std::string_view utf8) { write_to(STD_OUTPUT_HANDLE, utf8); }

void write_stderr(std::string_view utf8) { write_to(STD_ERROR_HANDLE, utf8); }

// Only a console handle has a console mode.
bool stdout_is_terminal() {
  DWORD mode = 0;
  return GetConsoleMode(GetStdHandle(STD_OUTPUT_HANDLE), &mode) != 0;
}

// Windows 10 consoles interpret ANSI escapes only with virtual-terminal processing switched on;
// a redirected stream has no console mode and needs nothing.
void enable_console_colors() {
  const HANDLE handle = GetStdHandle(STD_OUTPUT_HANDLE);
  if (handle == nullptr || handle == INVALID_HANDLE_VALUE) return;
  DWORD mode = 0;
  if (!GetConsoleMode(handle, &mode)) return;
  SetConsoleMode(handle, mode | ENABLE_VIRTUAL_TERMINAL_PROCESSING);
}

}  // namespace tindral::platform
