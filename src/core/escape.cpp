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
