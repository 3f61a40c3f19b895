#include "protocol/base64.h"

#include <array>
#include <bit>
#include <cstring>

#if defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__))
#define KESTA_BASE64_SSSE3 1
#include <immintrin.h>
#endif

namespace kesta::protocol {
namespace {

constexpr char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
constexpr std::uint8_t kPad = '=';
constexpr std::uint8_t kInvalid = 0xFF;

// Symbol values; "=" is not a symbol and is handled where padding may stand.
constexpr std::array<std::uint8_t, 256> kDecodeTable = [] {
  std::array<std::uint8_t, 256> table{};
  table.fill(kInvalid);
  for (std::uint8_t i = 0; i < 64; ++i) table[static_cast<unsigned char>(kAlphabet[i])] = i;
  return table;
}();

// Per-position tables for a whole group: the four lookups OR-ed give the group's three bytes
// in memory order (little-endian), and the top bit flags a byte that is no symbol.
static_assert(std::endian::native == std::endian::little);
constexpr std::uint32_t kNotSymbol = 0x80000000;
template <class Place>
constexpr std::array<std::uint32_t, 256> group_table(Place place) {
  std::array<std::uint32_t, 256> table{};
  for (std::size_t c = 0; c < 256; ++c) {
    table[c] = kDecodeTable[c] == kInvalid ? kNotSymbol : place(std::uint32_t{kDecodeTable[c]});
  }
  return table;
}
constexpr auto kGroup0 = group_table([](std::uint32_t v) { return v << 2; });
constexpr auto kGroup1 = group_table([](std::uint32_t v) { return (v >> 4) | ((v & 0x0f) << 12); });
constexpr auto kGroup2 =
    group_table([](std::uint32_t v) { return ((v >> 2) << 8) | ((v & 0x03) << 22); });
constexpr auto kGroup3 = group_table([](std::uint32_t v) { return v << 16; });

inline std::uint32_t group_bits(const std::uint8_t* in) {
  return kGroup0[in[0]] | kGroup1[in[1]] | kGroup2[in[2]] | kGroup3[in[3]];
}

#ifdef KESTA_BASE64_SSSE3
// Whole blocks of sixteen symbols to twelve bytes with byte shuffles, while the output has
// room for a sixteen-byte store; returns the symbols consumed, stopping before a block that
// holds a byte that is no symbol. A byte is a symbol when the bits its low nibble rules out
// miss the class bit of its high nibble; its value is the byte plus an offset chosen by the
// high nibble.
__attribute__((target("ssse3"))) std::size_t decode_blocks_ssse3(const std::uint8_t* in,
                                                                 std::size_t length,
                                                                 std::uint8_t* out,
                                                                 std::size_t room) {
  const __m128i nibble = _mm_set1_epi8(0x0f);
  const __m128i ruled_out_by_low = _mm_setr_epi8(0x15, 0x11, 0x11, 0x11, 0x11, 0x11, 0x11, 0x11,
                                                 0x11, 0x11, 0x13, 0x1a, 0x1b, 0x1b, 0x1b, 0x1a);
  const __m128i class_of_high = _mm_setr_epi8(0x10, 0x10, 0x01, 0x02, 0x04, 0x08, 0x04, 0x08, 0x10,
                                              0x10, 0x10, 0x10, 0x10, 0x10, 0x10, 0x10);
  const __m128i offset_of_high =
      _mm_setr_epi8(0, 16, 19, 4, -65, -65, -71, -71, 0, 0, 0, 0, 0, 0, 0, 0);
  const __m128i order = _mm_setr_epi8(2, 1, 0, 6, 5, 4, 10, 9, 8, 14, 13, 12, -1, -1, -1, -1);
  std::size_t done = 0;
  for (; done + 16 <= length && room >= 16; done += 16, out += 12, room -= 12) {
    const __m128i text = _mm_loadu_si128(reinterpret_cast<const __m128i*>(in + done));
    const __m128i high = _mm_and_si128(_mm_srli_epi32(text, 4), nibble);
    const __m128i low = _mm_and_si128(text, nibble);
    const __m128i bad = _mm_and_si128(_mm_shuffle_epi8(ruled_out_by_low, low),
                                      _mm_shuffle_epi8(class_of_high, high));
    if (_mm_movemask_epi8(_mm_cmpeq_epi8(bad, _mm_setzero_si128())) != 0xffff) break;
    // '/' shares its high nibble with '+': step its index back by one.
    const __m128i slash = _mm_cmpeq_epi8(text, _mm_set1_epi8('/'));
    const __m128i values =
        _mm_add_epi8(text, _mm_shuffle_epi8(offset_of_high, _mm_add_epi8(slash, high)));
    const __m128i pairs = _mm_maddubs_epi16(values, _mm_set1_epi32(0x01400140));
    const __m128i groups = _mm_madd_epi16(pairs, _mm_set1_epi32(0x00011000));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(out), _mm_shuffle_epi8(groups, order));
  }
  return done;
}

// Initialised before main, possibly before the run-time's own CPU probe: probe first.
const bool kHaveSsse3 = [] {
  __builtin_cpu_init();
  return __builtin_cpu_supports("ssse3") != 0;
}();
#endif

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
  const std::size_t rem = n % 4;

  // A stray last byte (typically a line break) is the likelier fault than the length.
  if (rem == 1 && in[n - 1] != kPad && kDecodeTable[in[n - 1]] == kInvalid) {
    return std::unexpected(invalid_symbol(in[n - 1], n - 1));
  }

  // Every group but the last holds four symbols; the last one may carry padding. The fast
  // loops stop at the first doubtful group and leave it to the careful loop below them.
  std::size_t body = n - rem;
  if (rem == 0) body = body >= 4 ? body - 4 : 0;
  std::uint8_t* o = out.data();
  const std::uint8_t* const out_end = o + out.size();
  std::size_t i = 0;
#ifdef KESTA_BASE64_SSSE3
  if (kHaveSsse3) {
    i = decode_blocks_ssse3(in, body, o, out.size());
    o += i / 4 * 3;
  }
#endif
  for (; i + 8 <= body && out_end - o >= 8; i += 8, o += 6) {
    const std::uint32_t a = group_bits(in + i);
    const std::uint32_t b = group_bits(in + i + 4);
    if ((a | b) & kNotSymbol) break;
    const std::uint64_t both = std::uint64_t{a} | (std::uint64_t{b} << 24);
    std::memcpy(o, &both, 8);
  }
  std::size_t written = static_cast<std::size_t>(o - out.data());
  auto put = [&](std::uint8_t byte) {
    if (written < out.size()) out[written] = byte;
    ++written;
  };
  for (; i < body; i += 4) {
    const std::uint32_t group = group_bits(in + i);
    if (group & kNotSymbol) {
      std::size_t j = i;
      while (kDecodeTable[in[j]] != kInvalid) ++j;
      return std::unexpected(invalid_symbol(in[j], j));
    }
    put(static_cast<std::uint8_t>(group));
    put(static_cast<std::uint8_t>(group >> 8));
    put(static_cast<std::uint8_t>(group >> 16));
  }

  // A well-formed last group without padding, or with canonical padding and clean trailing
  // bits, the common case; anything else takes the careful way below.
  if (rem == 0 && n >= 4 && i == body) {
    const std::uint8_t* last = in + body;
    const std::size_t symbols = last[3] != kPad ? 4 : last[2] != kPad ? 3 : 2;
    std::uint32_t group = kGroup0[last[0]] | kGroup1[last[1]];
    if (symbols >= 3) group |= kGroup2[last[2]];
    if (symbols == 4) group |= kGroup3[last[3]];
    // Trailing bits land in the byte after the last one decoded.
    const std::uint32_t leftover = symbols == 4 ? 0 : (group >> (8 * (symbols - 1))) & 0xff;
    if (!(group & kNotSymbol) && leftover == 0) {
      for (std::size_t k = 0; k + 1 < symbols; ++k)
        put(static_cast<std::uint8_t>(group >> (8 * k)));
      return written;
    }
  }

  // The last group: padding may only follow its second or third symbol, and nothing may
  // follow padding.
  std::array<std::uint32_t, 4> morsels{};
  std::size_t symbols = 0, pads = 0, first_pad = 0;
  std::uint8_t last_symbol = 0;
  for (i = body; i < n; ++i) {
    const std::uint8_t c = in[i];
    if (c == kPad) {
      if (i - body < 2) return std::unexpected(invalid_symbol(kPad, i));
      if (pads++ == 0) first_pad = i;
      continue;
    }
    if (pads > 0) return std::unexpected(invalid_symbol(kPad, first_pad));
    const std::uint8_t value = kDecodeTable[c];
    if (value == kInvalid) return std::unexpected(invalid_symbol(c, i));
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
    out += kAlphabet[group >> 18];
    out += kAlphabet[(group >> 12) & 63];
    out += kAlphabet[(group >> 6) & 63];
    out += kAlphabet[group & 63];
  }
  const std::size_t left = bytes.size() - i;
  if (left == 0) return;
  const std::uint32_t group = (bytes[i] << 16) | (left == 2 ? bytes[i + 1] << 8 : 0);
  out += kAlphabet[group >> 18];
  out += kAlphabet[(group >> 12) & 63];
  out += left == 2 ? kAlphabet[(group >> 6) & 63] : '=';
  out += '=';
}

}  // namespace kesta::protocol
