#include "protocol/base64_fast.h"

#include <bit>
#include <cstring>

#include "protocol/base64_alphabet.h"

#if defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__))
#define KESTA_BASE64_SSSE3 1
#include <immintrin.h>
#endif

namespace kesta::protocol::base64_fast {
namespace {

using base64_alphabet::kNoSymbol;
using base64_alphabet::kPad;
using base64_alphabet::kValues;

// Per-position tables for a whole group: the four lookups OR-ed give the group's three bytes
// in memory order (little-endian), and the top bit flags a byte that is no symbol.
static_assert(std::endian::native == std::endian::little);
constexpr std::uint32_t kNotSymbol = 0x80000000;
template <class Place>
constexpr std::array<std::uint32_t, 256> group_table(Place place) {
  std::array<std::uint32_t, 256> table{};
  for (std::size_t c = 0; c < 256; ++c) {
    table[c] = kValues[c] == kNoSymbol ? kNotSymbol : place(std::uint32_t{kValues[c]});
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

// The last group: four symbols, or two or three followed by padding, with zero trailing bits.
// Returns its byte count with the bytes in memory order in `bytes`, or 0 when it is doubtful.
std::size_t last_group(const std::uint8_t* last, std::uint32_t& bytes) {
  const std::size_t symbols = last[3] != kPad ? 4 : last[2] != kPad ? 3 : 2;
  std::uint32_t group = kGroup0[last[0]] | kGroup1[last[1]];
  if (symbols >= 3) group |= kGroup2[last[2]];
  if (symbols == 4) group |= kGroup3[last[3]];
  // Trailing bits land in the byte after the last one decoded.
  const std::uint32_t leftover = symbols == 4 ? 0 : (group >> (8 * (symbols - 1))) & 0xff;
  if ((group & kNotSymbol) || leftover != 0) return 0;
  bytes = group;
  return symbols - 1;
}

}  // namespace

std::optional<std::size_t> decode_plain(std::span<const std::uint8_t> text,
                                        std::span<std::uint8_t> out) {
  const std::size_t n = text.size();
  if (n == 0 || n % 4 != 0) return std::nullopt;
  const std::uint8_t* in = text.data();
  const std::size_t body = n - 4;
  std::uint8_t* o = out.data();
  const std::uint8_t* const out_end = o + out.size();
  std::size_t i = 0;
#ifdef KESTA_BASE64_SSSE3
  if (kHaveSsse3) {
    i = decode_blocks_ssse3(in, body, o, out.size());
    o += i / 4 * 3;
  }
#endif
  // Two groups at a time through the tables, with one eight-byte store; then one at a time.
  for (; i + 8 <= body && out_end - o >= 8; i += 8, o += 6) {
    const std::uint32_t a = group_bits(in + i);
    const std::uint32_t b = group_bits(in + i + 4);
    if ((a | b) & kNotSymbol) return std::nullopt;
    const std::uint64_t both = std::uint64_t{a} | (std::uint64_t{b} << 24);
    std::memcpy(o, &both, 8);
  }
  for (; i < body; i += 4, o += 3) {
    const std::uint32_t group = group_bits(in + i);
    if ((group & kNotSymbol) || out_end - o < 3) return std::nullopt;
    o[0] = static_cast<std::uint8_t>(group);
    o[1] = static_cast<std::uint8_t>(group >> 8);
    o[2] = static_cast<std::uint8_t>(group >> 16);
  }
  std::uint32_t bytes = 0;
  const std::size_t count = last_group(in + body, bytes);
  if (count == 0 || static_cast<std::size_t>(out_end - o) < count) return std::nullopt;
  for (std::size_t k = 0; k < count; ++k) o[k] = static_cast<std::uint8_t>(bytes >> (8 * k));
  return static_cast<std::size_t>(o - out.data()) + count;
}

}  // namespace kesta::protocol::base64_fast
