#pragma once

#include <cstdint>
#include <expected>
#include <memory>
#include <string>

namespace kesta {

// A recoverable failure: a message and an optional cause, which is itself an error.
class Error {
 public:
  explicit Error(std::string message);
  Error(std::string message, Error cause);

  const std::string& message() const noexcept { return message_; }
  const Error* cause() const noexcept { return cause_.get(); }  // nullptr when there is none
  // The Windows error code of a system error (made by system_error); 0 for any other error.
  std::uint32_t system_code() const noexcept { return system_code_; }

  // The message, then, when there is a cause, a blank line, "Caused by:" and one line per cause.
  std::string report() const;

 private:
  std::string message_;
  // Shared and immutable, so copying an error never copies its chain.
  std::shared_ptr<const Error> cause_;
  std::uint32_t system_code_ = 0;

  friend Error system_error(std::uint32_t code);
};

template <class T = void>
using Result = std::expected<T, Error>;

// A system error: the platform's text for `code` with trailing white space trimmed, then
// " (os error N)". Natively (tests) a portable stand-in text with the same " (os error N)" tail.
Error system_error(std::uint32_t code);
std::string system_error_message(std::uint32_t code);
// The platform's text alone, without the " (os error N)" tail.
std::string system_error_text(std::uint32_t code);

// The calling thread's last system error as an error. Call it first thing after the call that
// failed: whatever runs in between may overwrite the last error.
Error last_error();

// GetLastError() on Windows; natively a thread-local value that tests set.
std::uint32_t last_system_error();
void set_last_system_error(std::uint32_t code);

}  // namespace kesta
