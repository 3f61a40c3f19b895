#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace kesta {

// Where and how a byte sequence stops being UTF-8.
struct Utf8Error {
  std::size_t valid_up_to = 0;  // length of the longest valid prefix
  std::uint8_t error_len = 0;   // length of the maximal invalid subpart; 0 when the input ends
                                // inside a sequence that is valid so far
  // "invalid utf-8 sequence of {k} bytes from index {i}" or
  // "incomplete utf-8 byte sequence from index {i}".
  std::string message() const;
};

std::optional<Utf8Error> validate_utf8(std::string_view bytes);

// Replaces each maximal invalid subpart (and an incomplete tail) with U+FFFD.
std::string utf8_lossy(std::string_view bytes);

// Decodes the code point that starts at `pos` of valid UTF-8 text; returns its byte length.
std::size_t utf8_decode_at(std::string_view text, std::size_t pos, char32_t& out);

}  // namespace kesta
