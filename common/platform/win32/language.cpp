#include "platform/language.h"

#include "platform/win32/windows_api.h"

namespace tindral::platform {

bool user_ui_language_is_danish() {
  // The primary language is the low 10 bits of a LANGID; the sub-language (Denmark, Greenland
  // ...) does not matter.
  constexpr LANGID kPrimaryLanguageMask = 0x3FF;
  return (GetUserDefaultUILanguage() & kPrimaryLanguageMask) == LANG_DANISH;
}

}  // namespace tindral::platform
