#include "protocol/base64.h"

#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "codec_test_util.h"

namespace kesta::protocol {
namespace {

using test::hex;

std::string encode(std::string_view bytes) {
  std::string out;
  base64_encode({reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size()}, out);
  return out;
}

// The decoded bytes, or the failure text.
std::string decode(std::string_view text) {
  std::vector<std::uint8_t> out(base64_decoded_capacity(text.size()));
  auto result = base64_decode(text, out);
  if (!result) return "<error> " + result.error().message();
  if (*result > out.size()) return "<count beyond capacity>";
  return std::string(out.begin(), out.begin() + static_cast<std::ptrdiff_t>(*result));
}

struct Pair {
  std::string bytes;
  std::string text;
};

const Pair kPairs[] = {
    {"", ""},
    {"f", "Zg=="},
    {"fo", "Zm8="},
    {"foo", "Zm9v"},
    {"foob", "Zm9vYg=="},
    {"fooba", "Zm9vYmE="},
    {"foobar", "Zm9vYmFy"},
    {hex("00"), "AA=="},
    {hex("ff"), "/w=="},
    {hex("fb"), "+w=="},
    {hex("ff ff ff"), "////"},
    {hex("00108310518720928b30d38f41149351559761969b71d79f8218a39259a7a29aabb2dbafc31cb3d35db7e39e"
         "bbf3dfbf"),
     "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/"},
    // Whole messages as they travel.
    {hex("a4 49 6e 66 6f"), "pEluZm8="},
    {hex("81 a4 49 6e 66 6f c0"), "gaRJbmZvwA=="},
    {hex("aa 44 69 73 63 6f 6e 6e 65 63 74"), "qkRpc2Nvbm5lY3Q="},
    {hex("ac 44 69 73 63 6f 6e 6e 65 63 74 65 64"), "rERpc2Nvbm5lY3RlZA=="},
    {hex("81 a9 43 6f 6e 6e 65 63 74 65 64 93 c0 00 00"), "galDb25uZWN0ZWSTwAAA"},
    {hex("81 a9 43 6f 6e 6e 65 63 74 65 64 93 92 ce 65 53 f1 00 ce 1d cd 65 00 cd 04 d2 cd 16 2e"),
     "galDb25uZWN0ZWSTks5lU/EAzh3NZQDNBNLNFi4="},
    {test::bytes_of(test::key_counting_from(0)), "AAECAwQFBgcICQoLDA0ODxAREhMUFRYXGBkaGxwdHh8="},
};

TEST(Base64, EncodesPadded) {
  for (const Pair& pair : kPairs) {
    SCOPED_TRACE(pair.text);
    EXPECT_EQ(encode(pair.bytes), pair.text);
  }
}

TEST(Base64, DecodesWhatItEncodes) {
  for (const Pair& pair : kPairs) {
    SCOPED_TRACE(pair.text);
    EXPECT_EQ(decode(pair.text), pair.bytes);
  }
}

TEST(Base64, EncodeAppendsToWhatIsThere) {
  std::string out = "line: ";
  const std::uint8_t bytes[] = {'f', 'o'};
  base64_encode(bytes, out);
  EXPECT_EQ(out, "line: Zm8=");
}

TEST(Base64, DecodeCountsBytesBeyondTheBufferWithoutStoringThem) {
  std::uint8_t out[4] = {0, 0, 0, 0x55};
  auto result = base64_decode("Zm9vYmFy", std::span<std::uint8_t>(out, 3));
  ASSERT_TRUE(result.has_value());
  EXPECT_EQ(*result, 6u);
  EXPECT_EQ(std::string(out, out + 4), "foo\x55");
}

TEST(Base64, RefusesEverythingButCanonicalStandardBase64) {
  struct Row {
    std::string text;
    std::string message;
  };
  const Row rows[] = {
      // Characters outside the alphabet: the first one in text order.
      {"pEl uZm8=", "Invalid symbol 32, offset 3."},
      {" pEluZm8=", "Invalid symbol 32, offset 0."},
      {"-w==", "Invalid symbol 45, offset 0."},
      {"_w==", "Invalid symbol 95, offset 0."},
      {"Zm9v-A==", "Invalid symbol 45, offset 4."},
      {"Zm9v_A==", "Invalid symbol 95, offset 4."},
      {"Zm9v.A==", "Invalid symbol 46, offset 4."},
      {"Zm9v\nZm9v", "Invalid symbol 10, offset 4."},
      {"Zm9vYmFy\r", "Invalid symbol 13, offset 8."},
      {"Zm9v\xC3\xA9Zm", "Invalid symbol 195, offset 4."},
      {std::string("Zm\0v", 4), "Invalid symbol 0, offset 2."},
      {"Zm 9v!!", "Invalid symbol 32, offset 2."},
      // Length one more than a multiple of four and an invalid last byte: that byte first.
      {" m9v!", "Invalid symbol 33, offset 4."},
      {"Zm-v!", "Invalid symbol 33, offset 4."},
      {"Zg==!", "Invalid symbol 33, offset 4."},
      {"Zm9vYmFy\n", "Invalid symbol 10, offset 8."},
      {"Zm9\xC3\xA9", "Invalid symbol 169, offset 4."},
      // A last "=" is no invalid byte, so the first offending byte is reported as usual.
      {" m9v=", "Invalid symbol 32, offset 0."},
      // The same length with a valid last byte: the first offending byte as usual.
      {"Zm 9v", "Invalid symbol 32, offset 2."},
      // "=" out of place.
      {"====", "Invalid symbol 61, offset 0."},
      {"Z===", "Invalid symbol 61, offset 1."},
      {"Zm=v", "Invalid symbol 61, offset 2."},
      {"Zg==Zg==", "Invalid symbol 61, offset 2."},
      {"Zm9vY=", "Invalid symbol 61, offset 5."},
      {"Zm9vY===", "Invalid symbol 61, offset 5."},
      {"Zm8=Zm8=", "Invalid symbol 61, offset 3."},
      // ambiguous: "=" alone in a last group of one character; it stands in the first position of
      // that group, so it is misplaced, rather than "Invalid input length: 5".
      {"Zm9v=", "Invalid symbol 61, offset 4."},
      // ambiguous: a surplus "=" makes the last group hold only "=", so the first "=" stands in
      // an earlier group and is reported, rather than "Invalid padding".
      {"Zg===", "Invalid symbol 61, offset 2."},
      {"Zm8==", "Invalid symbol 61, offset 3."},
      // ambiguous: a misplaced "=" is a symbol failure and comes before the length failure.
      {"Zg==Z", "Invalid symbol 61, offset 2."},
      // A last group of a single alphabet character.
      {"Z", "Invalid input length: 1"},
      {"Zm9vY", "Invalid input length: 5"},
      {"Zm9vYmFyZ", "Invalid input length: 9"},
      // Padding missing or incomplete.
      {"Zg", "Invalid padding"},
      {"Zg=", "Invalid padding"},
      {"Zm8", "Invalid padding"},
      {"Zm9vYg", "Invalid padding"},
      {"Zm9vYmE", "Invalid padding"},
      {"pEluZm8", "Invalid padding"},
      // Unused low bits of the last symbol set.
      {"Zh==", "Invalid last symbol 104, offset 1."},
      {"Zm9=", "Invalid last symbol 57, offset 2."},
      {"Zm9vZh==", "Invalid last symbol 104, offset 5."},
      {"Zm9vYmF=", "Invalid last symbol 70, offset 6."},
      {"AB==", "Invalid last symbol 66, offset 1."},
      {"AAB=", "Invalid last symbol 66, offset 2."},
      {"//==", "Invalid last symbol 47, offset 1."},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.text);
    EXPECT_EQ(decode(row.text), "<error> " + row.message);
  }
}

std::string random_bytes(std::size_t n, std::mt19937& rng) {
  std::string out(n, '\0');
  for (char& c : out) c = static_cast<char>(rng() & 0xff);
  return out;
}

// Long texts cross every block boundary a fast decoder may use.
TEST(Base64, RoundTripsEveryLengthUpTo300Bytes) {
  std::mt19937 rng(7);
  for (std::size_t n = 0; n <= 300; ++n) {
    const std::string bytes = random_bytes(n, rng);
    const std::string text = test::b64(bytes);
    SCOPED_TRACE(text);
    EXPECT_EQ(encode(bytes), text);
    EXPECT_EQ(decode(text), bytes);
  }
}

TEST(Base64, ReportsTheFirstBadSymbolAtEveryPositionOfALongText) {
  std::mt19937 rng(11);
  for (std::size_t n : {150u, 151u, 152u}) {
    const std::string text = test::b64(random_bytes(n, rng));
    const std::size_t symbols = text.find('=') == std::string::npos ? text.size() : text.find('=');
    for (std::size_t p = 0; p < symbols; ++p) {
      for (char bad : {' ', '-', '_', '\n', '\x80', '\xff', '*', '\0', '='}) {
        std::string t = text;
        t[p] = bad;
        SCOPED_TRACE("length " + std::to_string(t.size()) + ", byte " +
                     std::to_string(static_cast<std::uint8_t>(bad)) + " at " + std::to_string(p));
        // An "=" that only "=" follow in the last group is padding, not a misplaced symbol.
        if (bad == '=' && t.find_first_not_of('=', p) == std::string::npos) continue;
        EXPECT_EQ(decode(t), "<error> Invalid symbol " +
                                 std::to_string(static_cast<std::uint8_t>(bad)) + ", offset " +
                                 std::to_string(p) + ".");
        // A second bad byte further on changes nothing.
        if (p + 5 < symbols) {
          t[p + 5] = '!';
          EXPECT_EQ(decode(t), "<error> Invalid symbol " +
                                   std::to_string(static_cast<std::uint8_t>(bad)) + ", offset " +
                                   std::to_string(p) + ".");
        }
      }
    }
  }
}

TEST(Base64, RefusesBadEndingsOfLongTexts) {
  std::mt19937 rng(13);
  const std::string t150 = test::b64(random_bytes(150, rng));  // 200 symbols, no padding
  const std::string t151 = test::b64(random_bytes(151, rng));  // ends in "=="
  const std::string t152 = test::b64(random_bytes(152, rng));  // ends in "="
  struct Row {
    std::string text;
    std::string message;
  };
  const Row rows[] = {
      {t150 + "A", "Invalid input length: 201"},
      {t150 + "AA", "Invalid padding"},
      {t151.substr(0, 202), "Invalid padding"},
      {t151.substr(0, 203), "Invalid padding"},
      {t152.substr(0, 203), "Invalid padding"},
      {t151.substr(0, 201) + "B==", "Invalid last symbol 66, offset 201."},
      {t152.substr(0, 202) + "B=", "Invalid last symbol 66, offset 202."},
      {t150 + "====", "Invalid symbol 61, offset 200."},
      {t151 + t151, "Invalid symbol 61, offset 202."},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.text);
    EXPECT_EQ(decode(row.text), "<error> " + row.message);
  }
}

TEST(Base64, ErrorMessagesFollowTheirKind) {
  struct Row {
    Base64Error error;
    const char* message;
  };
  const Row rows[] = {
      {{Base64Error::Kind::kInvalidSymbol, 45, 12}, "Invalid symbol 45, offset 12."},
      {{Base64Error::Kind::kInvalidLength, 0, 45}, "Invalid input length: 45"},
      {{Base64Error::Kind::kInvalidLastSymbol, 66, 42}, "Invalid last symbol 66, offset 42."},
      {{Base64Error::Kind::kInvalidPadding, 0, 0}, "Invalid padding"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.message);
    EXPECT_EQ(row.error.message(), row.message);
  }
}

}  // namespace
}  // namespace kesta::protocol
