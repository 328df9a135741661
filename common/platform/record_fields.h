#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <span>

namespace tindral::platform {

/// The value of type T that a record the system filled in holds `at` bytes into `data`, copied
/// out rather than read in place, since records in a buffer need not be aligned for T. The
/// caller has checked that the bytes lie within `data`.
template <class T>
T record_field(std::span<const std::uint8_t> data, std::size_t at) {
  T value{};
  std::memcpy(&value, data.data() + at, sizeof value);
  return value;
}

}  // namespace tindral::platform
