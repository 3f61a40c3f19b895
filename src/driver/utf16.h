#pragma once

#include <string>
#include <string_view>

namespace kesta::driver {

// UTF-8 to UTF-16 for names handed to the driver; invalid bytes become U+FFFD.
std::u16string to_utf16(std::string_view text);

// UTF-16 from the driver to UTF-8; unpaired surrogates become U+FFFD.
std::string to_utf8_lossy(std::u16string_view text);

}  // namespace kesta::driver
