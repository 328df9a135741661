// settings.txt as the service reads it: decoded, split into key=value lines, each valid value
// taken, the last one winning.

#include <cstddef>
#include <cstdint>
#include <string_view>

#include "config/settings.h"
#include "require.h"
#include "text.h"

using namespace tindral;
using fuzz::require;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view bytes(reinterpret_cast<const char*>(data), size);
  Result<Settings> settings = parse_settings(bytes);
  require(settings.ok() == text::is_valid_utf8(bytes));
  if (!settings) return 0;
  // Values are trimmed text from the file, so they are valid UTF-8 and no longer than it.
  require(text::is_valid_utf8(settings->color) && text::is_valid_utf8(settings->lang));
  require(settings->color.size() <= size || settings->color == default_settings().color);
  require(settings->lang.size() <= size || settings->lang == default_settings().lang);
  return 0;
}
