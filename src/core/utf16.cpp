#include "core/utf16.h"

#include "core/utf8.h"

namespace kesta {
namespace {

void append_utf8(std::string& out, char32_t c) {
  if (c < 0x80) {
    out.push_back(static_cast<char>(c));
  } else if (c < 0x800) {
    out.push_back(static_cast<char>(0xC0 | (c >> 6)));
    out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
  } else if (c < 0x10000) {
    out.push_back(static_cast<char>(0xE0 | (c >> 12)));
    out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
  } else {
    out.push_back(static_cast<char>(0xF0 | (c >> 18)));
    out.push_back(static_cast<char>(0x80 | ((c >> 12) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
  }
}

bool is_high(char16_t c) {
  return c >= 0xD800 && c <= 0xDBFF;
}
bool is_low(char16_t c) {
  return c >= 0xDC00 && c <= 0xDFFF;
}

// One conversion for both kinds of UTF-16 string: char16_t and, on Windows, wchar_t.
template <class Char>
std::basic_string<Char> utf16_of(std::string_view text) {
  static_assert(sizeof(Char) == sizeof(char16_t));
  const std::string valid = utf8_lossy(text);
  std::basic_string<Char> out;
  out.reserve(valid.size());
  for (std::size_t pos = 0; pos < valid.size();) {
    char32_t c = 0;
    pos += utf8_decode_at(valid, pos, c);
    if (c < 0x10000) {
      out.push_back(static_cast<Char>(c));
    } else {
      c -= 0x10000;
      out.push_back(static_cast<Char>(0xD800 | (c >> 10)));
      out.push_back(static_cast<Char>(0xDC00 | (c & 0x3FF)));
    }
  }
  return out;
}

template <class Char>
std::string utf8_of(std::basic_string_view<Char> text) {
  static_assert(sizeof(Char) == sizeof(char16_t));
  std::string out;
  out.reserve(text.size());
  for (std::size_t i = 0; i < text.size(); ++i) {
    const auto c = static_cast<char16_t>(text[i]);
    const auto next = i + 1 < text.size() ? static_cast<char16_t>(text[i + 1]) : char16_t{0};
    if (is_high(c) && is_low(next)) {
      append_utf8(out, 0x10000 + ((char32_t{c} - 0xD800) << 10) + (char32_t{next} - 0xDC00));
      ++i;
    } else if (is_high(c) || is_low(c)) {
      append_utf8(out, U'\uFFFD');
    } else {
      append_utf8(out, c);
    }
  }
  return out;
}

}  // namespace

std::u16string to_utf16(std::string_view text) {
  return utf16_of<char16_t>(text);
}

std::string to_utf8_lossy(std::u16string_view text) {
  return utf8_of(text);
}

#ifdef _WIN32
std::wstring widen(std::string_view text) {
  return utf16_of<wchar_t>(text);
}

std::string narrow(std::wstring_view text) {
  return utf8_of(text);
}
#endif

}  // namespace kesta
