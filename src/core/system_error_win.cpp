#include <windows.h>

#include <string>

#include "core/system_error.h"
#include "core/unique_handle_win.h"
#include "core/utf16.h"

namespace kesta {

std::string system_error_message(std::uint32_t code) {
  // Saved and restored: a failure must stay readable after its text has been looked up.
  const DWORD saved = GetLastError();
  UniqueLocalMemory<wchar_t> buffer;
  const DWORD length = FormatMessageW(
      FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
      nullptr, code, 0, reinterpret_cast<wchar_t*>(buffer.put()), 0, nullptr);
  std::string text = length == 0 ? std::string("Unknown error") : narrow({buffer.get(), length});
  buffer.reset();
  SetLastError(saved);
  return compose_system_error_message(text, code);
}

std::uint32_t last_system_error() {
  return GetLastError();
}

void set_last_system_error(std::uint32_t code) {
  SetLastError(code);
}

}  // namespace kesta
