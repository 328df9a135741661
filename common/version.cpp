#include "version.h"

namespace tindral {

// Defined for this file alone (common/CMakeLists.txt), so that a new version recompiles one file.
std::string_view program_version() { return TINDRAL_VERSION; }

}  // namespace tindral
