#include <windows.h>

#include <string>

#include "core/system_error.h"

namespace kesta {
namespace {

std::string to_utf8(std::wstring_view text) {
  if (text.empty()) return {};
  const int size = WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()),
                                       nullptr, 0, nullptr, nullptr);
  if (size <= 0) return {};
  std::string out(static_cast<std::size_t>(size), '\0');
  WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), out.data(), size,
                      nullptr, nullptr);
  return out;
}

}  // namespace

std::string system_error_message(std::uint32_t code) {
  // Saved and restored: a failure must stay readable after its text has been looked up.
  const DWORD saved = GetLastError();
  wchar_t* buffer = nullptr;
  const DWORD length = FormatMessageW(
      FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
      nullptr, code, 0, reinterpret_cast<wchar_t*>(&buffer), 0, nullptr);
  std::string text = length == 0 ? std::string("Unknown error") : to_utf8({buffer, length});
  if (buffer != nullptr) LocalFree(buffer);
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
