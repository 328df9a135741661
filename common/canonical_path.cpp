#include "canonical_path.h"

#include <algorithm>
#include <vector>

#include "text.h"

namespace tindral {

namespace {

using Problem = CanonicalPath::Problem;

constexpr char kWindowsSeparator = '\\';
constexpr char kPosixSeparator = '/';

/// The root a path starts from and the names after it.
struct Root {
  Problem problem = Problem::None;
  std::string text;  ///< ends with a separator
  std::string_view names;
};

Root refused(Problem problem) { return Root{problem, {}, {}}; }

/// The name at the front of `rest`, which then holds what follows the separator after it.
std::string_view take_name(std::string_view& rest, char separator) {
  const std::size_t end = rest.find(separator);
  const std::string_view name = rest.substr(0, end);
  rest = end == std::string_view::npos ? std::string_view() : rest.substr(end + 1);
  return name;
}

bool is_drive_letter(char c) { return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z'); }

// "C:\": a drive and its root. "C:" alone is the current folder of drive C, and behind a prefix
// ("\\?\C:") the volume itself rather than its root folder.
bool starts_with_drive_root(std::string_view path) {
  return path.size() >= 3 && is_drive_letter(path[0]) && path[1] == ':' &&
         path[2] == kWindowsSeparator;
}

Root drive_root(std::string_view path) {
  return Root{Problem::None, std::string(path.substr(0, 3)), path.substr(3)};
}

// "server\share" after the two leading separators of a share. A server named "?" or "." would
// read as a prefix once the path is spelled again.
Root share_root(std::string_view rest) {
  const std::string_view server = take_name(rest, kWindowsSeparator);
  const std::string_view share = take_name(rest, kWindowsSeparator);
  for (std::string_view name : {server, share}) {
    if (name.empty() || name == "." || name == ".." || name == "?") {
      return refused(Problem::NotValid);
    }
  }
  std::string text = "\\\\";
  text.append(server).append(1, kWindowsSeparator).append(share).append(1, kWindowsSeparator);
  return Root{Problem::None, std::move(text), rest};
}

// `path` with backslashes only. "\\?\" hands a path to the file system without the usual
// normalisation and "\\.\" opens the device namespace; both reach a drive or a share as the
// plain spelling does, and anything else behind them (a volume by its GUID, a device, the
// object namespace's root) is no folder tree the service decorates.
Root windows_root(std::string_view path) {
  constexpr std::string_view kVerbatimPrefix = "\\\\?\\";
  constexpr std::string_view kDevicePrefix = "\\\\.\\";
  constexpr std::string_view kSharePrefix = "UNC\\";
  if (path.starts_with(kVerbatimPrefix) || path.starts_with(kDevicePrefix)) {
    const std::string_view rest = path.substr(kVerbatimPrefix.size());
    if (text::ascii_iequals(rest.substr(0, kSharePrefix.size()), kSharePrefix)) {
      return share_root(rest.substr(kSharePrefix.size()));
    }
    if (starts_with_drive_root(rest)) return drive_root(rest);
    return refused(Problem::NotValid);
  }
  if (path.starts_with("\\\\")) return share_root(path.substr(2));
  if (starts_with_drive_root(path)) return drive_root(path);
  return refused(Problem::NotAbsolute);
}

Root posix_root(std::string_view path) {
  if (!path.starts_with(kPosixSeparator)) return refused(Problem::NotAbsolute);
  return Root{Problem::None, std::string(1, kPosixSeparator), path};
}

}  // namespace

CanonicalPath canonical_path(std::string_view bytes, PathStyle style) {
  if (bytes.find('\0') != std::string_view::npos) return CanonicalPath{Problem::NotValid, {}};
  const bool windows = style == PathStyle::Windows;
  const char separator = windows ? kWindowsSeparator : kPosixSeparator;
  std::string spelled(bytes);
  if (windows) std::replace(spelled.begin(), spelled.end(), '/', kWindowsSeparator);
  Root root = windows ? windows_root(spelled) : posix_root(spelled);
  if (root.problem != Problem::None) return CanonicalPath{root.problem, {}};

  std::vector<std::string_view> names;
  for (std::string_view rest = root.names; !rest.empty();) {
    const std::string_view name = take_name(rest, separator);
    if (name.empty() || name == ".") continue;
    if (name == "..") {
      if (!names.empty()) names.pop_back();
      continue;
    }
    // NTFS allows no ":" in a name: "Folder:stream" names a stream of the folder, and
    // "Folder::$INDEX_ALLOCATION" the folder itself under another spelling.
    if (windows && name.find(':') != std::string_view::npos) {
      return CanonicalPath{Problem::NotValid, {}};
    }
    names.push_back(name);
  }

  std::string text = std::move(root.text);
  for (std::size_t i = 0; i < names.size(); ++i) {
    if (i > 0) text += separator;
    text += names[i];
  }
  return CanonicalPath{Problem::None, std::move(text)};
}

}  // namespace tindral
