#include "core/utf8.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "codec_test_util.h"

namespace kesta {
namespace {

using test::hex;

TEST(Utf8, AcceptsWellFormedText) {
  const char* const rows[] = {
      "",
      "41 62 63",
      "00 7f",
      "c2 80",        // U+0080, smallest two-byte
      "df bf",        // U+07FF
      "e0 a0 80",     // U+0800, smallest three-byte
      "ed 9f bf",     // U+D7FF, just below the surrogates
      "ee 80 80",     // U+E000, just above them
      "ef bf bf",     // U+FFFF
      "f0 90 80 80",  // U+10000, smallest four-byte
      "f4 8f bf bf",  // U+10FFFF, the last code point
      "e2 82 ac 20 f0 9f 98 80 c3 a9",
  };
  for (const char* row : rows) {
    SCOPED_TRACE(row);
    EXPECT_EQ(validate_utf8(hex(row)), std::nullopt);
  }
}

// Each error is the longest valid prefix and Unicode's maximal invalid subpart.
TEST(Utf8, ReportsLongestValidPrefixAndMaximalSubpart) {
  struct Row {
    const char* bytes;
    std::size_t valid_up_to;
    int error_len;
    const char* message;
  };
  const Row rows[] = {
      {"80", 0, 1, "invalid utf-8 sequence of 1 bytes from index 0"},
      {"41 80", 1, 1, "invalid utf-8 sequence of 1 bytes from index 1"},
      {"bf 41", 0, 1, "invalid utf-8 sequence of 1 bytes from index 0"},
      {"c0 80", 0, 1, "invalid utf-8 sequence of 1 bytes from index 0"},
      {"c1 bf", 0, 1, "invalid utf-8 sequence of 1 bytes from index 0"},
      {"c2 41", 0, 1, "invalid utf-8 sequence of 1 bytes from index 0"},
      {"e0 80", 0, 1, "invalid utf-8 sequence of 1 bytes from index 0"},
      {"e0 9f bf", 0, 1, "invalid utf-8 sequence of 1 bytes from index 0"},
      {"e1 80 41", 0, 2, "invalid utf-8 sequence of 2 bytes from index 0"},
      {"e2 82 e2 82 ac", 0, 2, "invalid utf-8 sequence of 2 bytes from index 0"},
      {"ed a0 80", 0, 1, "invalid utf-8 sequence of 1 bytes from index 0"},
      {"ed bf bf", 0, 1, "invalid utf-8 sequence of 1 bytes from index 0"},
      {"f0 80 80 80", 0, 1, "invalid utf-8 sequence of 1 bytes from index 0"},
      {"f0 8f bf bf", 0, 1, "invalid utf-8 sequence of 1 bytes from index 0"},
      {"f0 90 41", 0, 2, "invalid utf-8 sequence of 2 bytes from index 0"},
      {"f0 90 80 41", 0, 3, "invalid utf-8 sequence of 3 bytes from index 0"},
      {"f4 90", 0, 1, "invalid utf-8 sequence of 1 bytes from index 0"},
      {"f4 90 80 80", 0, 1, "invalid utf-8 sequence of 1 bytes from index 0"},
      {"f5 80 80 80", 0, 1, "invalid utf-8 sequence of 1 bytes from index 0"},
      {"f8 88 80 80 80", 0, 1, "invalid utf-8 sequence of 1 bytes from index 0"},
      {"fe", 0, 1, "invalid utf-8 sequence of 1 bytes from index 0"},
      {"ff", 0, 1, "invalid utf-8 sequence of 1 bytes from index 0"},
      {"e2 82 ac 80", 3, 1, "invalid utf-8 sequence of 1 bytes from index 3"},
      {"c3 a9 fe 41", 2, 1, "invalid utf-8 sequence of 1 bytes from index 2"},
      {"61 62 63 ed a0 80", 3, 1, "invalid utf-8 sequence of 1 bytes from index 3"},
      // The input ends inside a sequence that is valid so far.
      {"c2", 0, 0, "incomplete utf-8 byte sequence from index 0"},
      {"e0 a0", 0, 0, "incomplete utf-8 byte sequence from index 0"},
      {"ed 9f", 0, 0, "incomplete utf-8 byte sequence from index 0"},
      {"f0", 0, 0, "incomplete utf-8 byte sequence from index 0"},
      {"f0 90 80", 0, 0, "incomplete utf-8 byte sequence from index 0"},
      {"f4 8f bf", 0, 0, "incomplete utf-8 byte sequence from index 0"},
      {"61 62 e2 82", 2, 0, "incomplete utf-8 byte sequence from index 2"},
      // A sequence cut short before more text is invalid, not incomplete.
      {"c2 c3 a9", 0, 1, "invalid utf-8 sequence of 1 bytes from index 0"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.bytes);
    auto error = validate_utf8(hex(row.bytes));
    ASSERT_TRUE(error.has_value());
    EXPECT_EQ(error->valid_up_to, row.valid_up_to);
    EXPECT_EQ(error->error_len, row.error_len);
    EXPECT_EQ(error->message(), row.message);
  }
}

TEST(Utf8, LossyReplacesEachMaximalSubpartWithOneReplacementCharacter) {
  struct Row {
    const char* bytes;
    std::string expected;
  };
  const std::string r = "\xEF\xBF\xBD";  // U+FFFD
  const Row rows[] = {
      {"41 62 63", "Abc"},
      {"c3 a9", "\xC3\xA9"},
      {"61 80 62", "a" + r + "b"},
      {"e1 80 41", r + "A"},
      {"e0 80", r + r},
      {"ed a0 80", r + r + r},
      {"c0 af", r + r},
      {"f4 90 80 80", r + r + r + r},
      {"f0 90 80 41", r + "A"},
      {"f0 90 80", r},
      {"41 e2 82", "A" + r},
      // The example of the Unicode standard's chapter on U+FFFD substitution.
      {"61 f1 80 80 e1 80 c2 62 80 63 80 bf 64", "a" + r + r + r + "b" + r + "c" + r + r + "d"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.bytes);
    EXPECT_EQ(utf8_lossy(hex(row.bytes)), row.expected);
  }
}

TEST(Utf8, DecodesTheCodePointAtAPosition) {
  struct Row {
    const char* bytes;
    std::size_t pos;
    char32_t code_point;
    std::size_t length;
  };
  const Row rows[] = {
      {"41", 0, U'A', 1},
      {"00", 0, U'\0', 1},
      {"c2 85", 0, U'\u0085', 2},
      {"41 c3 a9 42", 1, U'\u00e9', 2},
      {"41 c3 a9 42", 3, U'B', 1},
      {"e2 80 8b", 0, U'\u200b', 3},
      {"41 e3 80 80", 1, U'\u3000', 3},
      {"ef bf bf", 0, U'\uffff', 3},
      {"f0 90 8d 88", 0, U'\U00010348', 4},
      {"f4 8f bf bf", 0, U'\U0010ffff', 4},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.bytes);
    std::string text = hex(row.bytes);
    char32_t out = 0;
    EXPECT_EQ(utf8_decode_at(text, row.pos, out), row.length);
    EXPECT_EQ(out, row.code_point);
  }
}

// An invalid sequence at every character boundary of a long mixed text, for decoders that
// check blocks of ASCII at once.
TEST(Utf8, FindsAnInvalidSequenceAtEveryPositionOfALongText) {
  std::string text;
  std::vector<std::size_t> boundaries;
  const char* const pieces[] = {
      "a",  "bc", "\xC3\xA9", "defghij", "\xE2\x82\xAC", "0123456789abcdef", "\xF0\x9F\x98\x80",
      "xyz"};
  for (int round = 0; round < 4; ++round)
    for (const char* piece : pieces) {
      std::string_view p(piece);
      std::size_t step = static_cast<unsigned char>(p[0]) < 0x80 ? 1 : p.size();
      for (std::size_t i = 0; i < p.size(); i += step) {
        boundaries.push_back(text.size());
        text.append(p.substr(i, step));
      }
    }
  boundaries.push_back(text.size());
  ASSERT_EQ(validate_utf8(text), std::nullopt);

  const std::string r = "\xEF\xBF\xBD";
  struct Bad {
    std::string bytes;
    int error_len;
    std::string replaced;
  };
  const Bad bads[] = {
      {hex("80"), 1, r},    {hex("c0"), 1, r},       {hex("ff"), 1, r},
      {hex("e1 80"), 2, r}, {hex("f0 9f 98"), 3, r}, {hex("ed a0 80"), 1, r + r + r},
  };
  for (std::size_t p : boundaries) {
    for (const Bad& bad : bads) {
      SCOPED_TRACE("at " + std::to_string(p) + ": " + testing::PrintToString(bad.bytes));
      const std::string t = text.substr(0, p) + bad.bytes + text.substr(p);
      auto error = validate_utf8(t);
      ASSERT_TRUE(error.has_value());
      EXPECT_EQ(error->valid_up_to, p);
      // At the very end a sequence that is valid so far is incomplete, not invalid.
      const bool incomplete = p == text.size() && bad.error_len > 1;
      EXPECT_EQ(error->error_len, incomplete ? 0 : bad.error_len);
      EXPECT_EQ(utf8_lossy(t), text.substr(0, p) + bad.replaced + text.substr(p));
    }
    SCOPED_TRACE("incomplete at " + std::to_string(p));
    auto error = validate_utf8(text.substr(0, p) + hex("f0 9f 98"));
    ASSERT_TRUE(error.has_value());
    EXPECT_EQ(error->message(), "incomplete utf-8 byte sequence from index " + std::to_string(p));
  }
}

}  // namespace
}  // namespace kesta
