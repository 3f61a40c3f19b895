#include "protocol/base64.h"

#include <array>

#include "protocol/base64_alphabet.h"
#include "protocol/base64_fast.h"

namespace kesta::protocol {
namespace {

using base64_alphabet::kNoSymbol;
using base64_alphabet::kPad;
using base64_alphabet::kSymbols;
using base64_alphabet::kValues;

Base64Error invalid_symbol(std::uint8_t symbol, std::size_t offset) {
  return {Base64Error::Kind::kInvalidSymbol, symbol, offset};
}

}  // namespace

std::string Base64Error::message() const {
  switch (kind) {
    case Kind::kInvalidSymbol:
      return "Invalid symbol " + std::to_string(symbol) + ", offset " + std::to_string(offset) +
             ".";
    case Kind::kInvalidLength:
      return "Invalid input length: " + std::to_string(offset);
    case Kind::kInvalidLastSymbol:
      return "Invalid last symbol " + std::to_string(symbol) + ", offset " +
             std::to_string(offset) + ".";
    case Kind::kInvalidPadding:
      break;
  }
  return "Invalid padding";
}

std::expected<std::size_t, Base64Error> base64_decode(std::string_view text,
                                                      std::span<std::uint8_t> out) {
  const auto* in = reinterpret_cast<const std::uint8_t*>(text.data());
  const std::size_t n = text.size();
  if (const auto plain = base64_fast::decode_plain({in, n}, out)) return *plain;

  // What the fast path doubted is read from the start, symbol by symbol, so that the first
  // fault in text order is the one reported. A stray last byte (typically a line break) is the
  // likelier fault than the length.
  const std::size_t rem = n % 4;
  if (rem == 1 && in[n - 1] != kPad && kValues[in[n - 1]] == kNoSymbol) {
    return std::unexpected(invalid_symbol(in[n - 1], n - 1));
  }

  // Every group but the last holds four symbols; the last one may carry padding.
  std::size_t body = n - rem;
  if (rem == 0) body = body >= 4 ? body - 4 : 0;
  std::size_t written = 0;
  auto put = [&](std::uint8_t byte) {
    if (written < out.size()) out[written] = byte;
    ++written;
  };
  for (std::size_t i = 0; i < body; i += 4) {
    std::uint32_t bits = 0;
    for (std::size_t k = i; k < i + 4; ++k) {
      const std::uint8_t value = kValues[in[k]];
      if (value == kNoSymbol) return std::unexpected(invalid_symbol(in[k], k));
      bits = (bits << 6) | value;
    }
    put(static_cast<std::uint8_t>(bits >> 16));
    put(static_cast<std::uint8_t>(bits >> 8));
    put(static_cast<std::uint8_t>(bits));
  }

  // The last group: padding may only follow its second or third symbol, and nothing may
  // follow padding.
  std::array<std::uint32_t, 4> morsels{};
  std::size_t symbols = 0, pads = 0, first_pad = 0;
  std::uint8_t last_symbol = 0;
  for (std::size_t i = body; i < n; ++i) {
    const std::uint8_t c = in[i];
    if (c == kPad) {
      if (i - body < 2) return std::unexpected(invalid_symbol(kPad, i));
      if (pads++ == 0) first_pad = i;
      continue;
    }
    if (pads > 0) return std::unexpected(invalid_symbol(kPad, first_pad));
    const std::uint8_t value = kValues[c];
    if (value == kNoSymbol) return std::unexpected(invalid_symbol(c, i));
    last_symbol = c;
    morsels[symbols++] = value;
  }
  if (n > 0 && symbols < 2) {
    return std::unexpected(Base64Error{Base64Error::Kind::kInvalidLength, 0, n});
  }
  if ((symbols + pads) % 4 != 0) {
    return std::unexpected(Base64Error{Base64Error::Kind::kInvalidPadding, 0, 0});
  }
  const std::size_t bytes = symbols * 6 / 8;
  const std::uint32_t bits =
      (morsels[0] << 26) | (morsels[1] << 20) | (morsels[2] << 14) | (morsels[3] << 8);
  // Bits the last symbol carries beyond the bytes it completes must be zero.
  const std::uint32_t unused = ~std::uint32_t{0} >> (bytes * 8);
  if ((bits & unused) != 0) {
    return std::unexpected(
        Base64Error{Base64Error::Kind::kInvalidLastSymbol, last_symbol, body + symbols - 1});
  }
  for (std::size_t k = 0; k < bytes; ++k) put(static_cast<std::uint8_t>(bits >> (24 - 8 * k)));
  return written;
}

void base64_encode(std::span<const std::uint8_t> bytes, std::string& out) {
  out.reserve(out.size() + (bytes.size() + 2) / 3 * 4);
  std::size_t i = 0;
  for (; i + 3 <= bytes.size(); i += 3) {
    const std::uint32_t group = (bytes[i] << 16) | (bytes[i + 1] << 8) | bytes[i + 2];
    out += kSymbols[group >> 18];
    out += kSymbols[(group >> 12) & 63];
    out += kSymbols[(group >> 6) & 63];
    out += kSymbols[group & 63];
  }
  const std::size_t left = bytes.size() - i;
  if (left == 0) return;
  const std::uint32_t group = (bytes[i] << 16) | (left == 2 ? bytes[i + 1] << 8 : 0);
  out += kSymbols[group >> 18];
  out += kSymbols[(group >> 12) & 63];
  out += left == 2 ? kSymbols[(group >> 6) & 63] : '=';
  out += '=';
}

}  // namespace kesta::protocol
