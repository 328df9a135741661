#include "error.h"

#include <string_view>

namespace tindral {

Error::Error(std::string message, ErrorKind kind) : chain_{std::move(message)}, kind_(kind) {}

Error Error::from_os(std::uint32_t code, std::string_view system_text, ErrorKind kind) {
  Error error(std::string(system_text) + " (os error " + std::to_string(code) + ")", kind);
  error.os_code_ = code;
  return error;
}

Error Error::wrap(std::string message) const {
  Error outer = *this;
  outer.chain_.insert(outer.chain_.begin(), std::move(message));
  return outer;
}

namespace {

std::string right_aligned(std::string text, std::size_t width) {
  if (text.size() < width) text.insert(0, width - text.size(), ' ');
  return text;
}

}  // namespace

std::string render_error_report(const Error& error) {
  const auto& chain = error.chain();
  std::string report = "Error: " + chain.front() + "\n";
  if (chain.size() == 1) return report;
  report += "\nCaused by:\n";
  if (chain.size() == 2) return report + "    " + chain[1] + "\n";
  for (std::size_t i = 1; i < chain.size(); ++i) {
    report += right_aligned(std::to_string(i - 1), 5) + ": " + chain[i] + "\n";
  }
  return report;
}

}  // namespace tindral
