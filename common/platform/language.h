#pragma once

namespace tindral::platform {

/// True when the primary language of the user's default user-interface language is Danish
/// (any variant). Asked afresh on every call.
bool user_ui_language_is_danish();

}  // namespace tindral::platform
