// The default folder.ico as Windows reads it: an icon directory of five 32-bit images, the
// small ones bottom-up bitmaps with alpha, the 256-pixel one PNG; each with see-through corners.

#include <gtest/gtest.h>

#include <cstdint>
#include <string>

#include "support/child_process.h"
#include "support/real_disk.h"

namespace tindral::test_support {
namespace {

std::uint32_t little_endian(const std::string& bytes, std::size_t at, int size) {
  std::uint32_t value = 0;
  for (int i = size - 1; i >= 0; --i) {
    value = (value << 8) | static_cast<unsigned char>(bytes.at(at + static_cast<std::size_t>(i)));
  }
  return value;
}

std::uint32_t big_endian(const std::string& bytes, std::size_t at) {
  std::uint32_t value = 0;
  for (std::size_t i = 0; i < 4; ++i)
    value = (value << 8) | static_cast<unsigned char>(bytes.at(at + i));
  return value;
}

TEST(DefaultIconTest, HoldsFiveSizesIn32BitWithTheLargestAsPng) {
  const std::string icon = read_bytes(built_program(TINDRAL_DEFAULT_ICON));
  ASSERT_GE(icon.size(), 6u);
  EXPECT_EQ(little_endian(icon, 0, 2), 0u);  // reserved
  EXPECT_EQ(little_endian(icon, 2, 2), 1u);  // an icon, not a cursor
  ASSERT_EQ(little_endian(icon, 4, 2), 5u);

  const std::uint32_t sizes[] = {16, 24, 32, 48, 256};
  std::size_t expected_offset = 6 + 16 * 5;
  for (std::size_t entry = 0; entry < 5; ++entry) {
    SCOPED_TRACE("entry " + std::to_string(entry));
    const std::size_t at = 6 + 16 * entry;
    const std::uint32_t size = sizes[entry];
    // 0 stands for 256 in the directory's one-byte width and height.
    EXPECT_EQ(little_endian(icon, at, 1), size % 256);
    EXPECT_EQ(little_endian(icon, at + 1, 1), size % 256);
    EXPECT_EQ(little_endian(icon, at + 2, 1), 0u);   // no palette
    EXPECT_EQ(little_endian(icon, at + 4, 2), 1u);   // planes
    EXPECT_EQ(little_endian(icon, at + 6, 2), 32u);  // bits per pixel
    const std::uint32_t length = little_endian(icon, at + 8, 4);
    const std::uint32_t offset = little_endian(icon, at + 12, 4);
    ASSERT_EQ(offset, expected_offset);
    ASSERT_LE(std::size_t{offset} + length, icon.size());
    expected_offset += length;
    const std::string image = icon.substr(offset, length);

    if (size == 256) {
      ASSERT_EQ(image.substr(0, 8), std::string("\x89PNG\r\n\x1a\n", 8));
      EXPECT_EQ(image.substr(12, 4), "IHDR");
      EXPECT_EQ(big_endian(image, 16), 256u);
      EXPECT_EQ(big_endian(image, 20), 256u);
      EXPECT_EQ(little_endian(image, 24, 1), 8u);  // bits per channel
      EXPECT_EQ(little_endian(image, 25, 1), 6u);  // RGBA
      continue;
    }
    // BITMAPINFOHEADER: twice the height (the AND mask follows the colours), BI_RGB.
    ASSERT_EQ(little_endian(image, 0, 4), 40u);
    EXPECT_EQ(little_endian(image, 4, 4), size);
    EXPECT_EQ(little_endian(image, 8, 4), size * 2);
    EXPECT_EQ(little_endian(image, 12, 2), 1u);
    EXPECT_EQ(little_endian(image, 14, 2), 32u);
    EXPECT_EQ(little_endian(image, 16, 4), 0u);
    const std::size_t mask_row = (size + 31) / 32 * 4;
    ASSERT_EQ(image.size(), 40 + size * size * 4 + mask_row * size);
    // Rows run bottom-up: the first pixel is the bottom-left corner, the last the top-right.
    // Both lie outside the folder's rounded shape and must be see-through.
    EXPECT_EQ(little_endian(image, 40 + 3, 1), 0u);
    EXPECT_EQ(little_endian(image, 40 + (size * size - 1) * 4 + 3, 1), 0u);
    // The middle of the folder is opaque.
    const std::size_t middle = 40 + ((size / 2) * size + size / 4) * 4;
    EXPECT_EQ(little_endian(image, middle + 3, 1), 255u);
  }
  EXPECT_EQ(expected_offset, icon.size());
}

}  // namespace
}  // namespace tindral::test_support
