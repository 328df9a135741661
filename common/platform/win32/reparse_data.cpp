#include "platform/win32/reparse_data.h"

#include <cstring>
#include <string_view>

#include "platform/win32/wide_path.h"
#include "platform/win32/windows_api.h"

namespace tindral::platform::win32 {

namespace {

// The layout of REPARSE_DATA_BUFFER (ntifs.h, which the SDK does not ship): the tag, the data's
// length and a reserved word, then for both kinds of link the substitute name's offset and
// length in bytes from the path buffer (then the print name's, unused here), and the path buffer
// itself, for a symbolic link after a word of flags.
constexpr std::uint32_t kTagMountPoint = 0xA0000003;
constexpr std::uint32_t kTagSymbolicLink = 0xA000000C;
constexpr std::size_t kNamesAt = 8;
constexpr std::size_t kMountPointPathsAt = kNamesAt + 8;
constexpr std::size_t kSymbolicLinkFlagsAt = kNamesAt + 8;
constexpr std::size_t kSymbolicLinkPathsAt = kSymbolicLinkFlagsAt + 4;
constexpr std::uint32_t kSymbolicLinkRelative = 1;

constexpr std::wstring_view kDosDevicesPrefix = L"\\??\\";
constexpr std::wstring_view kSharePrefix = L"UNC\\";
constexpr std::wstring_view kVolumePrefix = L"Volume{";

template <class T>
T field(std::span<const std::uint8_t> data, std::size_t at) {
  T value{};
  std::memcpy(&value, data.data() + at, sizeof value);
  return value;
}

bool starts_with_ignoring_case(std::wstring_view text, std::wstring_view prefix) {
  return text.size() >= prefix.size() &&
         CompareStringOrdinal(text.data(), static_cast<int>(prefix.size()), prefix.data(),
                              static_cast<int>(prefix.size()), TRUE) == CSTR_EQUAL;
}

// "\??\C:\Photos" is C:\Photos and "\??\UNC\server\share" \\server\share; other names of the
// object manager ("\Device\...") are nothing a path spells.
LinkTarget absolute_target(std::wstring_view name) {
  LinkTarget target;
  if (!name.starts_with(kDosDevicesPrefix)) return target;
  const std::wstring_view rest = name.substr(kDosDevicesPrefix.size());
  if (starts_with_ignoring_case(rest, kVolumePrefix)) {
    target.volume = std::wstring(name);
  } else if (starts_with_ignoring_case(rest, kSharePrefix)) {
    target.path = "\\\\" + wide_to_wtf8(rest.substr(kSharePrefix.size()));
  } else {
    target.path = wide_to_wtf8(rest);
  }
  return target;
}

}  // namespace

LinkTarget link_target(std::span<const std::uint8_t> data) {
  if (data.size() < kMountPointPathsAt) return {};
  const auto tag = field<std::uint32_t>(data, 0);
  std::size_t paths_at = kMountPointPathsAt;
  bool relative = false;
  if (tag == kTagSymbolicLink) {
    if (data.size() < kSymbolicLinkPathsAt) return {};
    relative = (field<std::uint32_t>(data, kSymbolicLinkFlagsAt) & kSymbolicLinkRelative) != 0;
    paths_at = kSymbolicLinkPathsAt;
  } else if (tag != kTagMountPoint) {
    return {};
  }
  const auto offset = field<std::uint16_t>(data, kNamesAt);
  const auto length = field<std::uint16_t>(data, kNamesAt + 2);
  if (paths_at + offset + length > data.size()) return {};
  std::wstring name(length / sizeof(wchar_t), L'\0');
  std::memcpy(name.data(), data.data() + paths_at + offset, name.size() * sizeof(wchar_t));
  if (relative) return LinkTarget{wide_to_wtf8(name), {}};
  return absolute_target(name);
}

}  // namespace tindral::platform::win32
