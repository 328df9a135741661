#include "line_file.h"

#include "config/config_file.h"
#include "text.h"

namespace tindral::ctl {
namespace {

// The service's own log writer keeps "service.log.tmp"; this name is tindralctl's.
constexpr std::string_view kTemporarySuffix = ".tindralctl.tmp";

std::string_view line_end_of(std::string_view line) {
  if (line.ends_with("\r\n")) return "\r\n";
  if (line.ends_with('\n')) return "\n";
  return "";
}

}  // namespace

Result<LineFile> LineFile::read(platform::FileSystem& fs, const Path& path) {
  LineFile file;
  Result<ConfigFileRead> read = read_config_file(fs, path);
  if (!read) return std::move(read).error().wrap("Failed to read " + path.display());
  // Editing a file the service ignores would make whatever somebody else wrote into it count.
  if (read->ignored_because) {
    return Error("The service ignores it: " + std::string(*read->ignored_because) +
                 "; delete it, or write it again as an administrator")
        .wrap("Failed to read " + path.display());
  }
  if (!read->bytes) return file;
  const std::string& bytes = *read->bytes;
  if (!text::is_valid_utf8(bytes)) {
    return Error("It is not UTF-8 text; the service cannot read it either")
        .wrap("Failed to read " + path.display());
  }
  std::string_view rest = bytes;
  while (!rest.empty()) {
    const std::size_t end = rest.find('\n');
    const std::size_t length = end == std::string_view::npos ? rest.size() : end + 1;
    file.lines_.emplace_back(rest.substr(0, length));
    rest.remove_prefix(length);
  }
  return file;
}

std::string_view LineFile::text(std::size_t index) const {
  const std::string_view line = lines_[index];
  return line.substr(0, line.size() - line_end_of(line).size());
}

void LineFile::replace(std::size_t index, std::string_view text) {
  const std::string end(line_end_of(lines_[index]));
  lines_[index] = std::string(text) + end;
}

void LineFile::erase(std::size_t index) {
  lines_.erase(lines_.begin() + static_cast<std::ptrdiff_t>(index));
}

void LineFile::append(std::string_view text) {
  std::string_view end = "\n";
  for (const std::string& line : lines_) {
    if (line_end_of(line) == "\r\n") end = "\r\n";
  }
  if (!lines_.empty() && line_end_of(lines_.back()).empty()) lines_.back() += end;
  lines_.push_back(std::string(text) + std::string(end));
}

Result<void> write_file_atomically(platform::FileSystem& fs, const Path& path,
                                   std::string_view content) {
  const Path temporary(path.bytes() + std::string(kTemporarySuffix));
  if (auto written = platform::replace_with_new_file(fs, temporary, path, content); !written) {
    return std::move(written).error().wrap("Failed to write " + path.display());
  }
  return {};
}

Result<void> LineFile::write(platform::FileSystem& fs, const Path& path) const {
  std::string content;
  for (const std::string& line : lines_) content += line;
  return write_file_atomically(fs, path, content);
}

}  // namespace tindral::ctl
