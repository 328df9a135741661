// Where a junction or symbolic link leads, from reparse data built by hand as NTFS stores it:
// Wine makes no links of this kind to read back.

#include "platform/win32/reparse_data.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace tindral::platform::win32 {
namespace {

constexpr std::uint32_t kMountPoint = 0xA0000003;
constexpr std::uint32_t kSymbolicLink = 0xA000000C;

// REPARSE_DATA_BUFFER: tag, data length, reserved; substitute name offset and length, print
// name offset and length; a symbolic link's flags; the names.
std::vector<std::uint8_t> reparse_data(std::uint32_t tag, std::wstring_view substitute,
                                       std::optional<std::uint32_t> flags = std::nullopt) {
  std::vector<std::uint8_t> data;
  const auto put = [&data](auto value) {
    const auto* bytes = reinterpret_cast<const std::uint8_t*>(&value);
    data.insert(data.end(), bytes, bytes + sizeof value);
  };
  const std::wstring_view print = L"shown";
  const auto substitute_bytes = static_cast<std::uint16_t>(substitute.size() * sizeof(wchar_t));
  put(tag);
  put(std::uint16_t{0});
  put(std::uint16_t{0});
  put(std::uint16_t{0});
  put(substitute_bytes);
  put(substitute_bytes);
  put(static_cast<std::uint16_t>(print.size() * sizeof(wchar_t)));
  if (flags) put(*flags);
  for (wchar_t c : substitute) put(static_cast<std::uint16_t>(c));
  for (wchar_t c : print) put(static_cast<std::uint16_t>(c));
  return data;
}

struct Case {
  const char* what;
  std::vector<std::uint8_t> data;
  std::string path;
  std::wstring volume;
};

TEST(ReparseDataTest, JunctionsAndSymbolicLinksGiveThePathTheyStore) {
  const std::wstring volume = L"\\??\\Volume{01234567-89ab-cdef-0123-456789abcdef}\\";
  std::vector<std::uint8_t> cut_short = reparse_data(kMountPoint, L"\\??\\D:\\Photos");
  cut_short.resize(cut_short.size() - 16);
  const Case cases[] = {
      {"junction", reparse_data(kMountPoint, L"\\??\\D:\\Photos\\"), "D:\\Photos\\", L""},
      {"junction to a share", reparse_data(kMountPoint, L"\\??\\UNC\\nas\\photos"),
       "\\\\nas\\photos", L""},
      {"absolute symbolic link", reparse_data(kSymbolicLink, L"\\??\\C:\\Data", 0), "C:\\Data",
       L""},
      {"relative symbolic link", reparse_data(kSymbolicLink, L"..\\disk1\\photos", 1),
       "..\\disk1\\photos", L""},
      {"mount point of a volume", reparse_data(kMountPoint, volume), "", volume},
      {"device path", reparse_data(kSymbolicLink, L"\\Device\\HarddiskVolume2\\x", 0), "", L""},
      {"not a link", reparse_data(0x80000017, L"\\??\\C:\\Data"), "", L""},
      {"cut short", cut_short, "", L""},
  };
  for (const Case& c : cases) {
    const LinkTarget target = link_target(c.data);
    EXPECT_EQ(target.path, c.path) << c.what;
    EXPECT_TRUE(target.volume == c.volume) << c.what;
  }
}

}  // namespace
}  // namespace tindral::platform::win32
