#include "core/escape.h"

#include <cstdio>

namespace kesta {
namespace {

// Appends the escape for a control character, or returns false if `c` is not one.
bool append_control_escape(std::string& out, char32_t c) {
  switch (c) {
    case U'\t':
      out += "\\t";
      return true;
    case U'\r':
      out += "\\r";
      return true;
    case U'\n':
      out += "\\n";
      return true;
    case U'\0':
      out += "\\0";
      return true;
    default:
      break;
  }
  if (c < 0x20 || c == 0x7F || (c >= 0x80 && c <= 0x9F)) {
    char buf[16];
    std::snprintf(buf, sizeof buf, "\\u{%x}", static_cast<unsigned>(c));
    out += buf;
    return true;
  }
  return false;
}

// Characters that viewers take as line breaks (U+2028, U+2029) or that reorder what is shown
// (the bidirectional marks, embeddings, overrides and isolates): a client could make a log
// line look like two, or like something else. Returns the UTF-8 length of the one starting at
// `at`, or 0.
std::size_t format_control_length(std::string_view text, std::size_t at, char32_t& code) {
  const auto byte = [&](std::size_t k) {
    return at + k < text.size() ? static_cast<unsigned char>(text[at + k]) : 0u;
  };
  if (byte(0) == 0xD8 && byte(1) == 0x9C) {
    code = 0x061C;
    return 2;
  }
  if (byte(0) != 0xE2 || (byte(1) != 0x80 && byte(1) != 0x81)) return 0;
  code = 0x2000 + ((byte(1) & 0x3F) << 6) + (byte(2) & 0x3F);
  if ((byte(2) & 0xC0) != 0x80) return 0;
  const bool listed = code == 0x200E || code == 0x200F || (code >= 0x2028 && code <= 0x202E) ||
                      (code >= 0x2066 && code <= 0x2069);
  return listed ? 3 : 0;
}

// Walks the text once; C1 controls are the two-byte sequences C2 80..C2 9F.
template <class OnByte>
void escape_into(std::string& out, std::string_view text, OnByte on_special) {
  for (std::size_t i = 0; i < text.size(); ++i) {
    const auto b = static_cast<unsigned char>(text[i]);
    if (b == 0xC2 && i + 1 < text.size()) {
      const auto b1 = static_cast<unsigned char>(text[i + 1]);
      if (b1 >= 0x80 && b1 <= 0x9F) {
        append_control_escape(out, b1);
        ++i;
        continue;
      }
    }
    char32_t format = 0;
    if (const std::size_t length = format_control_length(text, i, format); length != 0) {
      char buf[16];
      std::snprintf(buf, sizeof buf, "\\u{%x}", static_cast<unsigned>(format));
      out += buf;
      i += length - 1;
      continue;
    }
    if (on_special(out, b)) continue;
    if (b < 0x80 && append_control_escape(out, b)) continue;
    out += static_cast<char>(b);
  }
}

}  // namespace

void append_quoted(std::string& out, std::string_view text) {
  out += '"';
  escape_into(out, text, [](std::string& o, unsigned char b) {
    if (b == '"' || b == '\\') {
      o += '\\';
      o += static_cast<char>(b);
      return true;
    }
    return false;
  });
  out += '"';
}

std::string quoted(std::string_view text) {
  std::string out;
  out.reserve(text.size() + 2);
  append_quoted(out, text);
  return out;
}

std::string escape_log_text(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  escape_into(out, text, [](std::string& o, unsigned char b) {
    if (b == '\\') {
      o += "\\\\";
      return true;
    }
    return false;
  });
  return out;
}

}  // namespace kesta
