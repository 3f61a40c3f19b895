#include "core/escape.h"

#include <gtest/gtest.h>

#include <string>

namespace kesta {
namespace {

using namespace std::string_literals;

struct Row {
  std::string text;
  std::string quoted;    // what append_quoted and quoted give
  std::string log_text;  // what escape_log_text gives
};

// Texts with every class of character the escaping distinguishes.
const Row kRows[] = {
    {""s, R"("")", ""},
    {"pEluZm8="s, R"("pEluZm8=")", "pEluZm8="},
    {"vpn.example.com:51820/a b?c=d&e'f"s, R"("vpn.example.com:51820/a b?c=d&e'f")",
     "vpn.example.com:51820/a b?c=d&e'f"},
    {"a\"b"s, R"("a\"b")", "a\"b"},
    {"a\\b"s, R"("a\\b")", R"(a\\b)"},
    {"\\\\"s, R"("\\\\")", R"(\\\\)"},
    {"\t"s, R"("\t")", R"(\t)"},
    {"\r"s, R"("\r")", R"(\r)"},
    {"\n"s, R"("\n")", R"(\n)"},
    {"\0"s, R"("\0")", R"(\0)"},
    {"\x01"s, R"("\u{1}")", R"(\u{1})"},
    {"\x08"s, R"("\u{8}")", R"(\u{8})"},
    {"\x0b\x0c"s, R"("\u{b}\u{c}")", R"(\u{b}\u{c})"},
    {"\x1b[31m"s, R"("\u{1b}[31m")", R"(\u{1b}[31m)"},
    {"\x1f"s, R"("\u{1f}")", R"(\u{1f})"},
    {"\x7f"s, R"("\u{7f}")", R"(\u{7f})"},
    {"\xC2\x80"s, R"("\u{80}")", R"(\u{80})"},  // U+0080
    {"\xC2\x85"s, R"("\u{85}")", R"(\u{85})"},  // U+0085, next line
    {"\xC2\x9F"s, R"("\u{9f}")", R"(\u{9f})"},  // U+009F
    {"\xC2\xA0"s, "\"\xC2\xA0\"", "\xC2\xA0"},  // U+00A0 is no control character
    {"\xC3\xA9\xE2\x82\xAC"s, "\"\xC3\xA9\xE2\x82\xAC\"", "\xC3\xA9\xE2\x82\xAC"},
    // Line and paragraph separators and the bidirectional controls, which viewers act on.
    {"\xD8\x9C"s, R"("\u{61c}")", R"(\u{61c})"},
    {"\xE2\x80\x8E\xE2\x80\x8F"s, R"("\u{200e}\u{200f}")", R"(\u{200e}\u{200f})"},
    {"a\xE2\x80\xA8Service stopped"s, R"("a\u{2028}Service stopped")",
     R"(a\u{2028}Service stopped)"},
    {"\xE2\x80\xA9\xE2\x80\xAA\xE2\x80\xAE"s, R"("\u{2029}\u{202a}\u{202e}")",
     R"(\u{2029}\u{202a}\u{202e})"},
    {"\xE2\x81\xA6\xE2\x81\xA9"s, R"("\u{2066}\u{2069}")", R"(\u{2066}\u{2069})"},
    // Their neighbours are ordinary text.
    {"\xD8\x9B\xE2\x80\x8D\xE2\x80\xA7\xE2\x80\xAF\xE2\x81\xA5\xE2\x81\xAA"s,
     "\"\xD8\x9B\xE2\x80\x8D\xE2\x80\xA7\xE2\x80\xAF\xE2\x81\xA5\xE2\x81\xAA\"",
     "\xD8\x9B\xE2\x80\x8D\xE2\x80\xA7\xE2\x80\xAF\xE2\x81\xA5\xE2\x81\xAA"},
    {"\xE2\x80"s, "\"\xE2\x80\"", "\xE2\x80"},  // cut short: not a character
    {"\xF0\x9F\x98\x80"s, "\"\xF0\x9F\x98\x80\"", "\xF0\x9F\x98\x80"},
    {"Line\nInjected: \"x\"\\\r\n"s, R"("Line\nInjected: \"x\"\\\r\n")",
     R"(Line\nInjected: "x"\\\r\n)"},
    {"a\0b\tc"s, R"("a\0b\tc")", R"(a\0b\tc)"},
};

TEST(Escape, QuotedEscapesQuotesBackslashesAndControlCharacters) {
  for (const Row& row : kRows) {
    SCOPED_TRACE(row.quoted);
    EXPECT_EQ(kesta::quoted(row.text), row.quoted);
    std::string out = "url: ";
    append_quoted(out, row.text);
    EXPECT_EQ(out, "url: " + row.quoted);
  }
}

TEST(Escape, LogTextDoublesBackslashesAndEscapesControlCharactersButNotQuotes) {
  for (const Row& row : kRows) {
    SCOPED_TRACE(row.quoted);
    EXPECT_EQ(escape_log_text(row.text), row.log_text);
  }
}

// A character that needs escaping at every position of a long text, for scanners that skip
// plain runs in blocks.
TEST(Escape, EscapesAtEveryPositionOfALongText) {
  const std::string plain =
      "The quick brown fox jumps over the lazy dog 0123456789 !#$%&'()*+,-./:;<=>?@[]^_`{|}~";
  struct Special {
    std::string raw;
    std::string quoted;
    std::string log_text;
  };
  const Special specials[] = {
      {"\"", "\\\"", "\""},
      {"\\", "\\\\", "\\\\"},
      {"\n", "\\n", "\\n"},
      {"\x1b", "\\u{1b}", "\\u{1b}"},
      {"\x7f", "\\u{7f}", "\\u{7f}"},
      {"\xC2\x9B", "\\u{9b}", "\\u{9b}"},
      {"\xC3\xA9", "\xC3\xA9", "\xC3\xA9"},
      {"\xE2\x80\xA9", "\\u{2029}", "\\u{2029}"},
  };
  for (std::size_t p = 0; p <= plain.size(); ++p) {
    for (const Special& sp : specials) {
      SCOPED_TRACE("at " + std::to_string(p) + ": " + sp.quoted);
      const std::string text = plain.substr(0, p) + sp.raw + plain.substr(p);
      EXPECT_EQ(kesta::quoted(text),
                "\"" + plain.substr(0, p) + sp.quoted + plain.substr(p) + "\"");
      EXPECT_EQ(escape_log_text(text), plain.substr(0, p) + sp.log_text + plain.substr(p));
    }
  }
}

}  // namespace
}  // namespace kesta
