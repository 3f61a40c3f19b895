#pragma once

#include <windows.h>

#include <expected>
#include <string>
#include <string_view>

namespace kesta {

// Why a write stopped short: a system error code, or 0 when a write accepted no bytes.
struct WriteFailure {
  DWORD code;
  // The system's text for the code, or "failed to write whole buffer".
  std::string message() const;
};

// Writes every byte to `file`, repeating partial writes.
std::expected<void, WriteFailure> write_all(HANDLE file, std::string_view bytes);

// Writes UTF-8 `text` to standard error: to a console as UTF-16, so that it shows every
// character, else as the bytes themselves. A process without standard error (a service), or
// with one that leads nowhere, writes nothing, and that is no failure.
std::expected<void, WriteFailure> write_standard_error(std::string_view text);

}  // namespace kesta
