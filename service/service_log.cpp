#include "service_log.h"

#include <cstdio>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "platform/clock.h"
#include "service_log_reader.h"
#include "text.h"

namespace tindral {

namespace {

// The rewrite goes to this sibling first and replaces the log in one step. The name is fixed so
// that a file left behind by a crash is simply deleted by the next write instead of piling up.
constexpr std::string_view kTemporarySuffix = ".tmp";

// "[%Y-%m-%d %H:%M:%S] " in local time.
std::string timestamp_prefix(const platform::LocalTime& time) {
  char prefix[64];
  std::snprintf(prefix, sizeof prefix, "[%04d-%02d-%02d %02d:%02d:%02d] ", time.year, time.month,
                time.day, time.hour, time.minute, time.second);
  return prefix;
}

// The temporary file is always a new one of the service's own: whatever has its name (a file
// or link somebody left there to have the service write into it) is deleted first, and the
// file is created in the log's folder only where no file of that name exists.
Result<void> write_temporary(platform::FileSystem& fs, const Path& temporary,
                             std::string_view content) {
  static_cast<void>(fs.delete_file(temporary));
  Result<std::unique_ptr<platform::Folder>> folder = fs.open_folder(temporary.parent());
  if (!folder) return std::move(folder).error();
  Result<std::unique_ptr<platform::OpenFile>> file = (*folder)->create_file(temporary.file_name());
  if (!file) return std::move(file).error();
  return (*file)->write_all(content);
}

// Writes `content` beside the log and swaps it in, so that a reader or a crash sees either the
// old log or the new one, never a shortened one.
Result<void> replace_log(platform::FileSystem& fs, const Path& log_path, std::string_view content) {
  const Path temporary(log_path.bytes() + std::string(kTemporarySuffix));
  Result<void> written = write_temporary(fs, temporary, content);
  if (written) written = fs.replace_file(temporary, log_path);
  if (!written) {
    // Best effort: a partial copy left here would only be truncated by the next write anyway.
    static_cast<void>(fs.delete_file(temporary));
    return std::move(written).error().wrap("Failed to write service.log");
  }
  return {};
}

}  // namespace

std::string service_log_with_line(const std::vector<std::string>& existing, std::string_view line) {
  std::vector<std::string_view> lines(existing.begin(), existing.end());
  // A message with line feeds of its own takes as many of the MAX_LOG_LINES as it has lines.
  for (std::string_view piece : text::split_lines(line)) lines.push_back(piece);
  const std::size_t first = lines.size() > MAX_LOG_LINES ? lines.size() - MAX_LOG_LINES : 0;
  std::string content;
  for (std::size_t i = first; i < lines.size(); ++i) {
    content += lines[i];
    content += '\n';
  }
  return content;
}

Result<void> append_service_log(platform::FileSystem& fs, const Path& log_path,
                                std::string_view message) {
  const Path folder = log_path.parent();
  if (!folder.empty()) {
    Result<void> created = fs.create_folders(folder);
    if (!created) return std::move(created).error().wrap("Failed to create the data folder");
  }
  const std::string line = timestamp_prefix(platform::local_time_now()) + std::string(message);
  Result<std::vector<std::string>> existing = read_service_log(fs, log_path);
  if (!existing) return std::move(existing).error();
  return replace_log(fs, log_path, service_log_with_line(*existing, line));
}

}  // namespace tindral
