// config.txt as the service reads it: decoded, split into trimmed lines, the console user's
// placeholders and the environment's references expanded, each line refused or made canonical.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>

#include "canonical_path.h"
#include "config/root_paths.h"
#include "platform/environment.h"
#include "require.h"
#include "text.h"

using namespace tindral;
using fuzz::require;

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  // References the inputs can reach: a plain value, one that opens another reference, and two
  // cycles that the expansion must end.
  platform::set_env("A", "alpha");
  platform::set_env("B", "%A%/beta");
  platform::set_env("SELF", "%SELF%");
  platform::set_env("PING", "%PONG%");
  platform::set_env("PONG", "%PING%");
  platform::set_env("USERNAME", "svc");
  platform::unset_env("USERPROFILE");
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view bytes(reinterpret_cast<const char*>(data), size);
  // Whether the console user resolves depends on the input's length, so both ways are tried.
  const InteractiveUserLookup lookup = [size]() -> std::optional<InteractiveUser> {
    if (size % 2 == 0) return std::nullopt;
    return InteractiveUser{"bob", "/home/bob"};
  };
  Result<std::vector<RootEntry>> entries = parse_root_entries(bytes, lookup);
  require(entries.ok() == text::is_valid_utf8(bytes));
  if (!entries) return 0;
  for (const RootEntry& entry : *entries) {
    if (entry.refusal) {
      require(entry.path.empty());
      continue;
    }
    // A root the service keeps is absolute, canonical and holds no NUL.
    const std::string& path = entry.path.bytes();
    require(path.starts_with(platform::kSeparator));
    require(path.find('\0') == std::string::npos);
    const CanonicalPath again = canonical_path(path, kPlatformPathStyle);
    require(again.problem == CanonicalPath::Problem::None && again.text == path);
  }
  return 0;
}
