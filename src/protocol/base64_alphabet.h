#pragma once

// The standard Base64 alphabet, shared by the encoder, the decoder and its fast paths.

#include <array>
#include <cstdint>

namespace kesta::protocol::base64_alphabet {

inline constexpr char kSymbols[] =
    "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
inline constexpr std::uint8_t kPad = '=';
inline constexpr std::uint8_t kNoSymbol = 0xFF;

// Each byte's symbol value, or kNoSymbol; "=" is not a symbol and is handled where padding may
// stand.
inline constexpr std::array<std::uint8_t, 256> kValues = [] {
  std::array<std::uint8_t, 256> table{};
  table.fill(kNoSymbol);
  for (std::uint8_t i = 0; i < 64; ++i) table[static_cast<unsigned char>(kSymbols[i])] = i;
  return table;
}();

}  // namespace kesta::protocol::base64_alphabet
