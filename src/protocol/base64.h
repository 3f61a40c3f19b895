#pragma once

#include <cstddef>
#include <cstdint>
#include <expected>
#include <span>
#include <string>
#include <string_view>

namespace kesta::protocol {

struct Base64Error {
  enum class Kind { kInvalidSymbol, kInvalidLength, kInvalidLastSymbol, kInvalidPadding };
  Kind kind = Kind::kInvalidPadding;
  std::uint8_t symbol = 0;  // the offending byte (symbol kinds)
  std::size_t offset = 0;   // its byte offset (symbol kinds) or the text length (length kind)
  std::string message() const;
  bool operator==(const Base64Error&) const = default;
};

// Upper bound of the bytes that `text_length` characters decode to.
constexpr std::size_t base64_decoded_capacity(std::size_t text_length) {
  return text_length / 4 * 3 + 3;
}

// Strict standard-alphabet decoding: canonical "=" padding, zero trailing bits. Returns the
// decoded byte count; bytes beyond `out.size()` are counted but not stored.
std::expected<std::size_t, Base64Error> base64_decode(std::string_view text,
                                                      std::span<std::uint8_t> out);

// Padded standard-alphabet encoding, appended to `out`.
void base64_encode(std::span<const std::uint8_t> bytes, std::string& out);

}  // namespace kesta::protocol
