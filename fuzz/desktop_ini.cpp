// An existing desktop.ini's bytes against the service's own content: up to date, the service's
// to rewrite (marked) or somebody else's (foreign).

#include <cstddef>
#include <cstdint>
#include <string_view>

#include "desktop_ini.h"
#include "require.h"
#include "text.h"

using namespace tindral;
using fuzz::require;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  constexpr std::string_view kByteOrderMark = "\xEF\xBB\xBF";
  const std::string_view bytes(reinterpret_cast<const char*>(data), size);
  const std::string& content = desktop_ini_content();
  std::string_view text = bytes;
  while (text.starts_with(kByteOrderMark)) text.remove_prefix(kByteOrderMark.size());

  switch (classify_desktop_ini(bytes, content)) {
    case DesktopIniKind::UpToDate:
      require(text == content);
      break;
    case DesktopIniKind::Marked:
      require(text != content && text::is_valid_utf8(bytes) && is_marked(bytes));
      break;
    case DesktopIniKind::Foreign:
      require(!text::is_valid_utf8(bytes) || (!is_marked(bytes) && text != content));
      break;
  }
  // Whatever the service would write over it starts with its own content's bytes.
  require(classify_desktop_ini(std::string(kByteOrderMark) + content, content) ==
          DesktopIniKind::UpToDate);
  return 0;
}
