#include "core/utf8.h"

#include <cstring>

namespace kesta {
namespace {

bool is_continuation(unsigned char b) {
  return (b & 0xC0) == 0x80;
}

// Length of the well-formed sequence at `pos`, or the error there (maximal subpart rule).
struct Step {
  std::size_t length;      // > 0: a valid sequence of this length
  std::uint8_t error_len;  // when length == 0: the invalid subpart (0 = input ended)
};

Step step_at(std::string_view s, std::size_t pos) {
  const auto b0 = static_cast<unsigned char>(s[pos]);
  if (b0 < 0x80) return {1, 0};
  std::size_t need;
  unsigned char lo = 0x80, hi = 0xBF;  // accepted range of the second byte
  if (b0 >= 0xC2 && b0 <= 0xDF) {
    need = 2;
  } else if (b0 >= 0xE0 && b0 <= 0xEF) {
    need = 3;
    if (b0 == 0xE0) lo = 0xA0;
    if (b0 == 0xED) hi = 0x9F;  // no surrogates
  } else if (b0 >= 0xF0 && b0 <= 0xF4) {
    need = 4;
    if (b0 == 0xF0) lo = 0x90;
    if (b0 == 0xF4) hi = 0x8F;  // nothing above U+10FFFF
  } else {
    return {0, 1};
  }
  for (std::size_t i = 1; i < need; ++i) {
    if (pos + i >= s.size()) return {0, 0};
    const auto b = static_cast<unsigned char>(s[pos + i]);
    const bool ok = i == 1 ? (b >= lo && b <= hi) : is_continuation(b);
    if (!ok) return {0, static_cast<std::uint8_t>(i)};
  }
  return {need, 0};
}

}  // namespace

std::string Utf8Error::message() const {
  if (error_len == 0) {
    return "incomplete utf-8 byte sequence from index " + std::to_string(valid_up_to);
  }
  return "invalid utf-8 sequence of " + std::to_string(error_len) + " bytes from index " +
         std::to_string(valid_up_to);
}

std::optional<Utf8Error> validate_utf8(std::string_view bytes) {
  std::size_t pos = 0;
  while (pos < bytes.size()) {
    // ASCII runs are the common case: skip them eight bytes at a time.
    if (static_cast<unsigned char>(bytes[pos]) < 0x80) {
      std::uint64_t word;
      while (pos + 8 <= bytes.size()) {
        std::memcpy(&word, bytes.data() + pos, 8);
        if (word & 0x8080808080808080u) break;
        pos += 8;
      }
      while (pos < bytes.size() && static_cast<unsigned char>(bytes[pos]) < 0x80) ++pos;
      continue;
    }
    const Step step = step_at(bytes, pos);
    if (step.length == 0) return Utf8Error{pos, step.error_len};
    pos += step.length;
  }
  return std::nullopt;
}

std::string utf8_lossy(std::string_view bytes) {
  std::string out;
  out.reserve(bytes.size());
  std::size_t pos = 0;
  while (pos < bytes.size()) {
    const Step step = step_at(bytes, pos);
    if (step.length > 0) {
      out.append(bytes.substr(pos, step.length));
      pos += step.length;
    } else {
      out.append("\xEF\xBF\xBD");
      pos += step.error_len == 0 ? bytes.size() - pos : step.error_len;
    }
  }
  return out;
}

std::size_t utf8_decode_at(std::string_view text, std::size_t pos, char32_t& out) {
  const auto b0 = static_cast<unsigned char>(text[pos]);
  const Step step = step_at(text, pos);
  if (step.length == 0) {  // not UTF-8 after all: hand back the byte itself
    out = b0;
    return 1;
  }
  static constexpr unsigned char kLeadMask[] = {0, 0x7F, 0x1F, 0x0F, 0x07};
  char32_t cp = b0 & kLeadMask[step.length];
  for (std::size_t i = 1; i < step.length; ++i) {
    cp = (cp << 6) | (static_cast<unsigned char>(text[pos + i]) & 0x3F);
  }
  out = cp;
  return step.length;
}

}  // namespace kesta
