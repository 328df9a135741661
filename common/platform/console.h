#pragma once

#include <string_view>

namespace tindral::platform {

/// Writes UTF-8 text to standard output in one piece: UTF-16 to a Windows console, the bytes
/// to a pipe or file. Nothing happens when there is no standard output.
void write_stdout(std::string_view utf8);

/// The same for standard error.
void write_stderr(std::string_view utf8);

/// True when standard output is an interactive terminal (a console window), not a pipe or file.
bool stdout_is_terminal();

/// Makes the console interpret ANSI escape sequences where it needs to be told to (a Windows
/// console needs virtual-terminal processing enabled). Failures are ignored.
void enable_console_colors();

}  // namespace tindral::platform
