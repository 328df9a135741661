// A buffer as FSCTL_READ_USN_JOURNAL fills it: whatever the volume (or a driver between it and
// the service) returns, the parser reads nothing past the buffer, and what it accepts fits in it.

#include <cstddef>
#include <cstdint>
#include <span>

#include "platform/usn_records.h"
#include "require.h"

using namespace tindral;
using fuzz::require;

namespace {

// The smallest record the parser accepts: USN_RECORD_V2's fixed part.
constexpr std::size_t kSmallestRecord = 60;

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::span<const std::uint8_t> buffer(data, size);
  const Result<platform::UsnReadResult> parsed = platform::parse_usn_records(buffer);
  if (!parsed) {
    require(parsed.error().kind() == ErrorKind::InvalidData);
    return 0;
  }
  std::size_t bytes = 8;
  for (const platform::UsnRecord& record : parsed->records) {
    bytes += kSmallestRecord + 2 * record.name.size();
  }
  require(bytes <= size);
  return 0;
}
