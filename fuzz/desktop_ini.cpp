// An existing desktop.ini's bytes against the service's own content: up to date, the service's
// to rewrite (marked), the user's customisation of it, or somebody else's (foreign), in UTF-8
// and in UTF-16 of either byte order; and the service's own content for an icon path that the
// input's first line names.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

#include "desktop_ini.h"
#include "require.h"
#include "text.h"

using namespace tindral;
using fuzz::require;

namespace {

constexpr std::string_view kUtf8ByteOrderMark = "\xEF\xBB\xBF";
constexpr std::string_view kUtf16LeByteOrderMark = "\xFF\xFE";
constexpr std::string_view kUtf16BeByteOrderMark = "\xFE\xFF";

enum class Encoding { Utf8, Utf16Le, Utf16Be };

Encoding encoding_of(std::string_view bytes) {
  if (bytes.starts_with(kUtf16LeByteOrderMark)) return Encoding::Utf16Le;
  if (bytes.starts_with(kUtf16BeByteOrderMark)) return Encoding::Utf16Be;
  return Encoding::Utf8;
}

// The UTF-8 `text` as a file in `encoding`, with the byte-order mark UTF-16 needs.
std::string encoded(std::string_view text, Encoding encoding) {
  if (encoding == Encoding::Utf8) return std::string(text);
  std::string units = text::utf8_to_utf16le(text);
  if (encoding == Encoding::Utf16Le) return std::string(kUtf16LeByteOrderMark) + units;
  for (std::size_t i = 0; i + 1 < units.size(); i += 2) std::swap(units[i], units[i + 1]);
  return std::string(kUtf16BeByteOrderMark) + units;
}

bool is_up_to_date_bytes(std::string_view bytes, std::string_view content) {
  if (!bytes.ends_with(content)) return false;
  std::string_view prefix = bytes.substr(0, bytes.size() - content.size());
  // Only the service's UTF-8 content may stand behind byte-order marks of an editor's.
  if (!prefix.empty() && content.starts_with(kUtf16LeByteOrderMark)) return false;
  while (prefix.starts_with(kUtf8ByteOrderMark)) prefix.remove_prefix(kUtf8ByteOrderMark.size());
  return prefix.empty();
}

void check_classification(std::string_view bytes, std::string_view content) {
  const DesktopIniKind kind = classify_desktop_ini(bytes, content);
  const std::optional<std::string> text = desktop_ini_text(bytes);
  require((kind == DesktopIniKind::UpToDate) == is_up_to_date_bytes(bytes, content));
  // Whatever carries no marker in any encoding the service reads is never its to change.
  if (kind == DesktopIniKind::Foreign) {
    require(!text || !is_marked(*text));
    return;
  }
  require(text && is_marked(*text));
  // The encoding does not decide whose a file is, only whether it is up to date.
  for (const Encoding encoding : {Encoding::Utf8, Encoding::Utf16Le, Encoding::Utf16Be}) {
    const DesktopIniKind again = classify_desktop_ini(encoded(*text, encoding), content);
    require(again == kind || again == DesktopIniKind::UpToDate ||
            (kind == DesktopIniKind::UpToDate && again == DesktopIniKind::Marked));
  }
  if (kind == DesktopIniKind::Customised) return;
  // Anything added to the service's own file makes it the user's: another section as the
  // shell's Customize tab adds, or another key in the last section.
  const Encoding encoding = encoding_of(bytes);
  for (const std::string_view extra : {"\r\n[ViewState]\r\nMode=\r\n", "\nInfoTip=x\n"}) {
    require(classify_desktop_ini(encoded(*text + std::string(extra), encoding), content) ==
            DesktopIniKind::Customised);
  }
}

// The icon path an administrator could set: one line of the input, trimmed as settings.txt is.
std::optional<std::string> icon_path_of(std::string_view bytes) {
  const std::string_view line = bytes.substr(0, bytes.find_first_of("\r\n"));
  if (!text::is_valid_utf8(line)) return std::nullopt;
  const std::string_view icon = text::trim(line);
  if (icon.empty()) return std::nullopt;
  return std::string(icon);
}

void check_own_content(std::string_view icon) {
  const std::string text = "[.ShellClassInfo]\r\nIconResource=" + std::string(icon) +
                           ",0\r\n[Tindral]\r\nGenerated=true\r\n";
  const std::string content = build_desktop_ini_content_for_icon(icon);
  // An ASCII path keeps the bytes the service has always written; any other goes as UTF-16LE.
  require(content == (text::is_ascii(icon) ? text : encoded(text, Encoding::Utf16Le)));
  require(classify_desktop_ini(content, content) == DesktopIniKind::UpToDate);
  check_classification(content, content);
  // The same keys as an earlier version or an INI writer left them are still the service's.
  std::string lf_text = text;
  std::erase(lf_text, '\r');
  for (const Encoding encoding : {Encoding::Utf8, Encoding::Utf16Le, Encoding::Utf16Be}) {
    const std::string earlier = encoded(lf_text, encoding);
    require(classify_desktop_ini(earlier, content) == DesktopIniKind::Marked);
    check_classification(earlier, content);
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view bytes(reinterpret_cast<const char*>(data), size);
  check_classification(bytes, desktop_ini_content());
  if (const std::optional<std::string> icon = icon_path_of(bytes)) {
    check_classification(bytes, build_desktop_ini_content_for_icon(*icon));
    check_own_content(*icon);
  }
  return 0;
}
