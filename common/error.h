#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <variant>
#include <vector>

namespace tindral {

/// What lies at the bottom of a failure, so that callers ask the error instead of parsing its text.
enum class ErrorKind {
  Other,
  NotFound,
  AccessDenied,
  InvalidData,
  /// A new file's name is already taken.
  AlreadyExists,
  /// The name is there but not what was asked for: a link where a folder or file was expected,
  /// a file where a folder was, a device where a file was.
  WrongType,
  /// The name lies on another file system (something is mounted on it), which a walk never
  /// enters.
  OtherFileSystem,
};

/// A failure as a value: a message and the chain of its causes, outermost first, the operating
/// system's error (if any) innermost with its raw code kept.
class Error {
 public:
  explicit Error(std::string message, ErrorKind kind = ErrorKind::Other);

  /// An operating-system error: the system's own text, then " (os error ", the code, ")".
  static Error from_os(std::uint32_t code, std::string_view system_text, ErrorKind kind);

  /// A new error with `message` whose cause chain is this error.
  [[nodiscard]] Error wrap(std::string message) const;

  /// The outermost message, the one a log line shows.
  const std::string& message() const { return chain_.front(); }
  /// Every message, the outermost first.
  const std::vector<std::string>& chain() const { return chain_; }
  ErrorKind kind() const { return kind_; }
  std::optional<std::uint32_t> os_code() const { return os_code_; }
  bool is_not_found() const { return kind_ == ErrorKind::NotFound; }

 private:
  std::vector<std::string> chain_;
  ErrorKind kind_;
  std::optional<std::uint32_t> os_code_;
};

/// The report printed at the process edge: "Error: " and the message, then, when there are
/// causes, an empty line, "Caused by:" and the causes (one indented by four spaces; several
/// numbered from 0, right-aligned in five characters), ending with a line feed.
std::string render_error_report(const Error& error);

/// Either a value or an Error.
template <class T>
class [[nodiscard]] Result {
 public:
  Result(T value) : state_(std::move(value)) {}
  Result(Error error) : state_(std::move(error)) {}

  bool ok() const { return state_.index() == 0; }
  explicit operator bool() const { return ok(); }

  T& value() & { return std::get<0>(state_); }
  const T& value() const& { return std::get<0>(state_); }
  T&& value() && { return std::get<0>(std::move(state_)); }
  T& operator*() & { return value(); }
  const T& operator*() const& { return value(); }
  T* operator->() { return &value(); }
  const T* operator->() const { return &value(); }

  const Error& error() const& { return std::get<1>(state_); }
  Error&& error() && { return std::get<1>(std::move(state_)); }

 private:
  std::variant<T, Error> state_;
};

/// Success or an Error.
template <>
class [[nodiscard]] Result<void> {
 public:
  Result() = default;
  Result(Error error) : error_(std::move(error)) {}

  bool ok() const { return !error_.has_value(); }
  explicit operator bool() const { return ok(); }
  const Error& error() const& { return *error_; }
  Error&& error() && { return std::move(*error_); }

 private:
  std::optional<Error> error_;
};

}  // namespace tindral
