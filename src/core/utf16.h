#pragma once

#include <string>
#include <string_view>

namespace kesta {

// UTF-8 to UTF-16, for names handed to the driver; invalid bytes become U+FFFD.
std::u16string to_utf16(std::string_view text);

// UTF-16 to UTF-8; unpaired surrogates become U+FFFD.
std::string to_utf8_lossy(std::u16string_view text);

#ifdef _WIN32
// The same conversions for the wide strings of Win32 calls, which are UTF-16 there.
std::wstring widen(std::string_view text);
std::string narrow(std::wstring_view text);
#endif

}  // namespace kesta
