#include "core/console_win.h"

#include "core/error.h"
#include "core/utf16.h"

namespace kesta {
namespace {

// Hands `text` to `write` at most `limit` units at a time until every unit is taken.
template <class Char, class Write>
std::expected<void, WriteFailure> write_chunks(std::basic_string_view<Char> text, DWORD limit,
                                               Write write) {
  while (!text.empty()) {
    const DWORD chunk = text.size() > limit ? limit : static_cast<DWORD>(text.size());
    DWORD written = 0;
    if (!write(text.data(), chunk, &written)) return std::unexpected(WriteFailure{GetLastError()});
    if (written == 0) return std::unexpected(WriteFailure{0});
    text.remove_prefix(written);
  }
  return {};
}

std::expected<void, WriteFailure> write_console(HANDLE console, std::string_view text) {
  const std::wstring wide = widen(text);
  return write_chunks(std::wstring_view(wide), 8192,
                      [console](const wchar_t* data, DWORD size, DWORD* written) {
                        return WriteConsoleW(console, data, size, written, nullptr);
                      });
}

}  // namespace

std::string WriteFailure::message() const {
  return code == 0 ? std::string("failed to write whole buffer") : system_error_message(code);
}

std::expected<void, WriteFailure> write_all(HANDLE file, std::string_view bytes) {
  return write_chunks(bytes, 0x40000000, [file](const char* data, DWORD size, DWORD* written) {
    return WriteFile(file, data, size, written, nullptr);
  });
}

std::expected<void, WriteFailure> write_standard_error(std::string_view text) {
  const HANDLE handle = GetStdHandle(STD_ERROR_HANDLE);
  if (handle == nullptr || handle == INVALID_HANDLE_VALUE) return {};
  DWORD mode = 0;
  const auto written =
      GetConsoleMode(handle, &mode) ? write_console(handle, text) : write_all(handle, text);
  // A handle the process was given but that leads nowhere counts as no standard error.
  if (!written && written.error().code == ERROR_INVALID_HANDLE) return {};
  return written;
}

}  // namespace kesta
