#include "protocol/decode.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "codec_test_util.h"

namespace kesta::protocol {
namespace {

using test::hex;
using test::kBytesEof;
using test::kDataEof;
using test::kMarkerEof;
using test::message_error;
namespace mp = test::mp;

const std::string kReplacement = "\xEF\xBF\xBD";  // U+FFFD
const std::string kExpectedOneOf = ", expected one of `Connect`, `Disconnect`, `Info`";

std::string config_bytes() {
  return test::config_wire(test::sample_config());
}

TEST(DecodeCommand, AcceptsEveryFormOfTheVariants) {
  struct Row {
    const char* name;
    std::string bytes;
    Command expected;
  };
  const Row rows[] = {
      {"Info by name", hex("a4 49 6e 66 6f"), Info{}},
      {"Info in map form", hex("81 a4 49 6e 66 6f c0"), Info{}},
      {"Disconnect by name", hex("aa 44 69 73 63 6f 6e 6e 65 63 74"), Disconnect{}},
      {"Disconnect in map form", hex("81 aa 44 69 73 63 6f 6e 6e 65 63 74 c0"), Disconnect{}},
      {"extra bytes after the command", hex("a4 49 6e 66 6f 00"), Info{}},
      {"a reserved byte after the command", hex("a4 49 6e 66 6f c1"), Info{}},
      {"Info by index", hex("02"), Info{}},
      {"Disconnect by index", hex("01"), Disconnect{}},
      {"index as uint 8", hex("cc 02"), Info{}},
      {"index as uint 16", hex("cd 00 01"), Disconnect{}},
      {"index as uint 32", hex("ce 00 00 00 02"), Info{}},
      {"index as uint 64", hex("cf 00 00 00 00 00 00 00 02"), Info{}},
      {"name as str 8", mp::str8("Info"), Info{}},
      {"name as str 16", mp::str16("Disconnect"), Disconnect{}},
      {"name as str 32", mp::str32("Info"), Info{}},
      {"name as bin 8", mp::bin8("Info"), Info{}},
      {"name as bin 16", mp::bin16("Disconnect"), Disconnect{}},
      {"name as bin 32", mp::bin32("Info"), Info{}},
      {"map key by index", hex("81 02 c0"), Info{}},
      {"map key as uint 8 index", hex("81 cc 01 c0"), Disconnect{}},
      {"map key as bin", mp::map(1) + mp::bin8("Info") + mp::kNil, Info{}},
      {"wrapper as map 16", mp::map16(1) + mp::str("Info") + mp::kNil, Info{}},
      {"wrapper as map 32", mp::map32(1) + mp::str("Disconnect") + mp::kNil, Disconnect{}},
      {"Connect by name", test::connect_wire(config_bytes()), Connect{test::sample_config()}},
      {"Connect by index", mp::map(1) + mp::uint(0) + config_bytes(),
       Connect{test::sample_config()}},
      {"Connect by uint 8 index", mp::map(1) + mp::u8(0) + config_bytes(),
       Connect{test::sample_config()}},
      {"Connect by bin name", mp::map(1) + mp::bin8("Connect") + config_bytes(),
       Connect{test::sample_config()}},
      {"Connect in a map 16", mp::map16(1) + mp::str("Connect") + config_bytes(),
       Connect{test::sample_config()}},
      {"Connect followed by extra bytes", test::connect_wire(config_bytes()) + hex("c1 00 ff"),
       Connect{test::sample_config()}},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    auto decoded = decode_command(test::line_of(row.bytes));
    ASSERT_TRUE(decoded.command.has_value()) << decoded.command.error().message;
    EXPECT_EQ(*decoded.command, row.expected);
  }
}

// Literal lines as clients send them.
TEST(DecodeCommand, WorkedExampleLines) {
  struct Row {
    const char* line;
    Command command;
  };
  const Row rows[] = {
      {"pEluZm8=", Info{}},       {"pEluZm8=\n", Info{}},
      {"pEluZm8=\r\n", Info{}},   {" \t pEluZm8= \t \n", Info{}},
      {"gaRJbmZvwA==\n", Info{}}, {"qkRpc2Nvbm5lY3Q=\n", Disconnect{}},
      {"AgAA\n", Info{}},  // the byte 02 and two ignored zero bytes
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.line);
    auto decoded = decode_command(row.line);
    ASSERT_TRUE(decoded.command.has_value()) << decoded.command.error().message;
    EXPECT_EQ(*decoded.command, row.command);
  }
  EXPECT_EQ(test::base64_stage_error("pEluZm8\n"), "Invalid padding");
  EXPECT_EQ(test::base64_stage_error("pEl uZm8=\n"), "Invalid symbol 32, offset 3.");
}

TEST(DecodeCommand, RefusesBadVariants) {
  struct Row {
    const char* name;
    std::string bytes;
    std::string message;
  };
  const Row rows[] = {
      {"index 3", hex("03"), "invalid value: integer `3`, expected variant index 0 <= i < 3"},
      {"index 127", hex("7f"), "invalid value: integer `127`, expected variant index 0 <= i < 3"},
      {"index 255 as uint 8", hex("cc ff"),
       "invalid value: integer `255`, expected variant index 0 <= i < 3"},
      {"largest uint 64 index", hex("cf ff ff ff ff ff ff ff ff"),
       "invalid value: integer `18446744073709551615`, expected variant index 0 <= i < 3"},
      {"map key index 3", hex("81 03 c0"),
       "invalid value: integer `3`, expected variant index 0 <= i < 3"},
      {"int 8 holding 2", hex("d0 02"), "invalid type: integer `2`, expected variant identifier"},
      {"int 16 holding 1", hex("d1 00 01"),
       "invalid type: integer `1`, expected variant identifier"},
      {"int 32 holding 0", hex("d2 00 00 00 00"),
       "invalid type: integer `0`, expected variant identifier"},
      {"int 64 holding 2", hex("d3 00 00 00 00 00 00 00 02"),
       "invalid type: integer `2`, expected variant identifier"},
      {"negative fixint -1", hex("ff"), "invalid type: integer `-1`, expected variant identifier"},
      {"negative fixint -32", hex("e0"),
       "invalid type: integer `-32`, expected variant identifier"},
      {"smallest int 64", hex("d3 80 00 00 00 00 00 00 00"),
       "invalid type: integer `-9223372036854775808`, expected variant identifier"},
      {"map key int 8 holding 0", mp::map(1) + hex("d0 00") + config_bytes(),
       "invalid type: integer `0`, expected variant identifier"},
      {"nil", hex("c0"), "invalid type: unit value, expected variant identifier"},
      {"false", hex("c2"), "invalid type: boolean `false`, expected variant identifier"},
      {"true", hex("c3"), "invalid type: boolean `true`, expected variant identifier"},
      {"float 32", mp::f32(1.5f),
       "invalid type: floating point `1.5`, expected variant identifier"},
      {"float 64", mp::f64(2.0), "invalid type: floating point `2.0`, expected variant identifier"},
      {"fixext", hex("d4 01 00"), "invalid type: newtype struct, expected variant identifier"},
      {"top-level array", hex("91 a4 49 6e 66 6f"),
       "invalid type: sequence, expected variant identifier"},
      {"empty array", hex("90"), "invalid type: sequence, expected variant identifier"},
      {"empty array 16", hex("dc 00 00"), "invalid type: sequence, expected variant identifier"},
      {"map key nil", hex("81 c0 c0"), "invalid type: unit value, expected variant identifier"},
      {"map key true", hex("81 c3 c0"),
       "invalid type: boolean `true`, expected variant identifier"},
      {"map key array", hex("81 90 c0"), "invalid type: sequence, expected variant identifier"},
      {"map key map", hex("81 80 c0"), "invalid type: map, expected variant identifier"},
      {"lower-case name", hex("a4 69 6e 66 6f"), "unknown variant `info`" + kExpectedOneOf},
      {"unknown name in map form", mp::map(1) + mp::str("Nope") + mp::kNil,
       "unknown variant `Nope`" + kExpectedOneOf},
      {"empty name", hex("a0"), "unknown variant ``" + kExpectedOneOf},
      {"name with a trailing space", mp::str("Info "), "unknown variant `Info `" + kExpectedOneOf},
      {"bin name in lower case", mp::bin8("disconnect"),
       "unknown variant `disconnect`" + kExpectedOneOf},
      {"bin name with an invalid byte", hex("c4 03 41 ff 42"),
       "unknown variant `A" + kReplacement + "B`" + kExpectedOneOf},
      {"bin name with a truncated sequence", hex("c4 03 e1 80 41"),
       "unknown variant `" + kReplacement + "A`" + kExpectedOneOf},
      {"bin name with a surrogate", hex("c4 04 ed a0 80 41"),
       "unknown variant `" + kReplacement + kReplacement + kReplacement + "A`" + kExpectedOneOf},
      {"bin name ending inside a sequence", mp::map(1) + hex("c4 03 41 f0 90") + mp::kNil,
       "unknown variant `A" + kReplacement + "`" + kExpectedOneOf},
      // A client's name reaches the log: backslashes doubled, control characters escaped.
      {"name with a line feed", hex("a3 61 0a 62"), "unknown variant `a\\nb`" + kExpectedOneOf},
      {"name with a backslash", hex("a3 61 5c 62"), "unknown variant `a\\\\b`" + kExpectedOneOf},
      {"name with a double quote", hex("a3 61 22 62"), "unknown variant `a\"b`" + kExpectedOneOf},
      {"name with an escape sequence", hex("a4 1b 5b 32 4a"),
       "unknown variant `\\u{1b}[2J`" + kExpectedOneOf},
      {"name with NUL, CR and DEL", hex("a4 00 0d 7f 09"),
       "unknown variant `\\0\\r\\u{7f}\\t`" + kExpectedOneOf},
      {"name with a C1 control", hex("a3 41 c2 9b"), "unknown variant `A\\u{9b}`" + kExpectedOneOf},
      {"Connect without payload", hex("a7 43 6f 6e 6e 65 63 74"),
       "invalid type: unit variant, expected newtype variant"},
      {"Connect by index without payload", hex("00"),
       "invalid type: unit variant, expected newtype variant"},
      {"Connect as bin without payload", mp::bin8("Connect"),
       "invalid type: unit variant, expected newtype variant"},
      {"Connect with nil payload", mp::map(1) + mp::str("Connect") + mp::kNil,
       "invalid type: unit value, expected struct Config"},
      {"Disconnect with payload 1", hex("81 aa 44 69 73 63 6f 6e 6e 65 63 74 01"),
       "wrong msgpack marker FixPos(1)"},
      {"map of two entries", hex("82 a4 49 6e 66 6f c0 aa 44 69 73 63 6f 6e 6e 65 63 74 c0"),
       "array had incorrect length, expected 2"},
      {"empty map", hex("80"), "array had incorrect length, expected 0"},
      {"empty map 16", hex("de 00 00"), "array had incorrect length, expected 0"},
      {"map 16 of two entries", mp::map16(2) + hex("02 c0 01 c0"),
       "array had incorrect length, expected 2"},
      {"map 32 of three entries", mp::map32(3) + hex("02 c0 01 c0 02 c0"),
       "array had incorrect length, expected 3"},
      // ambiguous: the entry count is refused from the header, before any entry is read.
      {"map 32 claiming many entries", mp::map32(0x7fffffff) + hex("02 c0"),
       "array had incorrect length, expected 2147483647"},
      {"reserved byte", hex("c1"), "wrong msgpack marker Reserved"},
      {"reserved byte as map key", hex("81 c1 c0"), "wrong msgpack marker Reserved"},
      {"reserved byte as payload", hex("81 a4 49 6e 66 6f c1"), "wrong msgpack marker Reserved"},
      // ambiguous: a str name that is not UTF-8 could also be shown with U+FFFD like a bin name;
      // the text rule for str values says it fails as invalid UTF-8.
      {"str name that is not UTF-8", hex("a2 ff 41"),
       "string found to be invalid utf8: invalid utf-8 sequence of 1 bytes from index 0"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    EXPECT_EQ(message_error(row.bytes), row.message);
  }
}

// Every marker family where Info's payload must be nil; the value after the marker is complete,
// so only the marker can be blamed.
TEST(DecodeCommand, NamesTheMarkerOfANonNilPayload) {
  struct Row {
    std::string value;
    const char* marker;
  };
  const Row rows[] = {
      {hex("00"), "FixPos(0)"},
      {hex("01"), "FixPos(1)"},
      {hex("7f"), "FixPos(127)"},
      {hex("ff"), "FixNeg(-1)"},
      {hex("e0"), "FixNeg(-32)"},
      {hex("80"), "FixMap(0)"},
      {hex("82 01 02 03 04"), "FixMap(2)"},
      {mp::map(15) + std::string(30, '\x01'), "FixMap(15)"},
      {hex("90"), "FixArray(0)"},
      {mp::array(15) + std::string(15, '\x01'), "FixArray(15)"},
      {hex("a0"), "FixStr(0)"},
      {hex("a2 35 33"), "FixStr(2)"},
      {mp::str(std::string(31, 'x')), "FixStr(31)"},
      {hex("c1"), "Reserved"},
      {hex("c2"), "False"},
      {hex("c3"), "True"},
      {mp::bin8("ab"), "Bin8"},
      {mp::bin16("ab"), "Bin16"},
      {mp::bin32("ab"), "Bin32"},
      {hex("c7 01 05 00"), "Ext8"},
      {hex("c8 00 01 05 00"), "Ext16"},
      {hex("c9 00 00 00 01 05 00"), "Ext32"},
      {mp::f32(1.0f), "F32"},
      {mp::f64(1.0), "F64"},
      {mp::u8(1), "U8"},
      {mp::u16(1), "U16"},
      {mp::u32(1), "U32"},
      {mp::u64(1), "U64"},
      {mp::i8(1), "I8"},
      {mp::i16(1), "I16"},
      {mp::i32(1), "I32"},
      {mp::i64(1), "I64"},
      {hex("d4 05 00"), "FixExt1"},
      {hex("d5 05 00 00"), "FixExt2"},
      {hex("d6 05 00 00 00 00"), "FixExt4"},
      {hex("d7 05") + std::string(8, '\0'), "FixExt8"},
      {hex("d8 05") + std::string(16, '\0'), "FixExt16"},
      {mp::str8("ab"), "Str8"},
      {mp::str16("ab"), "Str16"},
      {mp::str32("ab"), "Str32"},
      {mp::array16(1) + hex("01"), "Array16"},
      {mp::array32(1) + hex("01"), "Array32"},
      {mp::map16(1) + hex("01 02"), "Map16"},
      {mp::map32(1) + hex("01 02"), "Map32"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.marker);
    EXPECT_EQ(message_error(mp::map(1) + mp::str("Info") + row.value),
              std::string("wrong msgpack marker ") + row.marker);
    EXPECT_EQ(message_error(mp::map(1) + mp::uint(1) + row.value),
              std::string("wrong msgpack marker ") + row.marker);
  }
}

// Every character with the Unicode White_Space property, on both ends of a request.
TEST(DecodeCommand, TrimsEveryUnicodeWhiteSpaceCharacter) {
  const char* const white_space[] = {
      "\t",           "\n",           "\v",
      "\f",           "\r",           " ",
      "\xC2\x85",      // U+0085
      "\xC2\xA0",      // U+00A0
      "\xE1\x9A\x80",  // U+1680
      "\xE2\x80\x80", "\xE2\x80\x81", "\xE2\x80\x82",
      "\xE2\x80\x83", "\xE2\x80\x84", "\xE2\x80\x85",
      "\xE2\x80\x86", "\xE2\x80\x87", "\xE2\x80\x88",
      "\xE2\x80\x89",
      "\xE2\x80\x8A",  // U+2000 to U+200A
      "\xE2\x80\xA8",  // U+2028
      "\xE2\x80\xA9",  // U+2029
      "\xE2\x80\xAF",  // U+202F
      "\xE2\x81\x9F",  // U+205F
      "\xE3\x80\x80",  // U+3000
  };
  std::string all;
  for (const char* ws : white_space) all += ws;
  EXPECT_EQ(trim_white_space(all + all + "gaRJbmZvwA==" + all), "gaRJbmZvwA==");
  EXPECT_EQ(decode_command(all + "gaRJbmZvwA==" + all).command, Command{Info{}});
  for (const char* ws : white_space) {
    SCOPED_TRACE(testing::PrintToString(std::string(ws)));
    const std::string line = std::string(ws) + ws + "pEluZm8=" + ws + "\r\n" + ws;
    EXPECT_EQ(trim_white_space(line), "pEluZm8=");
    auto decoded = decode_command(line);
    EXPECT_EQ(decoded.trimmed, "pEluZm8=");
    ASSERT_TRUE(decoded.command.has_value()) << decoded.command.error().message;
    EXPECT_EQ(*decoded.command, Command{Info{}});
    EXPECT_EQ(trim_white_space(std::string(ws) + "a" + ws + "b" + ws), std::string("a") + ws + "b");
    EXPECT_EQ(trim_white_space(std::string(ws) + ws), "");
  }
}

// Characters that look like white space but lack the property stay and fail the Base64 step.
TEST(DecodeCommand, KeepsCharactersWithoutTheWhiteSpaceProperty) {
  struct Row {
    std::string ch;
    const char* base64_message;
  };
  const Row rows[] = {
      {"\xE2\x80\x8B", "Invalid symbol 226, offset 0."},  // U+200B zero width space
      {"\xE2\x80\x8C", "Invalid symbol 226, offset 0."},  // U+200C
      {"\xE2\x81\xA0", "Invalid symbol 226, offset 0."},  // U+2060 word joiner
      {"\xE1\xA0\x8E", "Invalid symbol 225, offset 0."},  // U+180E
      {"\xEF\xBB\xBF", "Invalid symbol 239, offset 0."},  // U+FEFF
      {"\x1c", "Invalid symbol 28, offset 0."},           // information separators: not White_Space
      {"\x1f", "Invalid symbol 31, offset 0."},
      {std::string(1, '\0'), "Invalid symbol 0, offset 0."},
  };
  for (const Row& row : rows) {
    const std::string& ch = row.ch;
    SCOPED_TRACE(testing::PrintToString(ch));
    EXPECT_EQ(trim_white_space(ch + "pEluZm8=" + ch), ch + "pEluZm8=" + ch);
    const std::string line = " " + ch + "pEluZm8=\n";
    auto decoded = decode_command(line);
    EXPECT_EQ(decoded.trimmed, ch + "pEluZm8=");
    EXPECT_EQ(test::base64_stage_error(line), row.base64_message);
  }
}

TEST(DecodeCommand, ReportsBase64FailuresOfTheTrimmedText) {
  struct Row {
    std::string line;
    const char* trimmed;
    const char* message;
  };
  const Row rows[] = {
      {"pEluZm8\n", "pEluZm8", "Invalid padding"},
      {"pEl uZm8=\n", "pEl uZm8=", "Invalid symbol 32, offset 3."},
      {"  \tpEl uZm8= \r\n", "pEl uZm8=", "Invalid symbol 32, offset 3."},
      {"pEl\xE3\x80\x80uZm8=\n", "pEl\xE3\x80\x80uZm8=", "Invalid symbol 227, offset 3."},
      {"pEl\r\nuZm8=\n", "pEl\r\nuZm8=", "Invalid symbol 13, offset 3."},
      {"_w==\n", "_w==", "Invalid symbol 95, offset 0."},  // URL-safe alphabet
      {"-w==\n", "-w==", "Invalid symbol 45, offset 0."},
      {"gaRJbmZvwA\n", "gaRJbmZvwA", "Invalid padding"},
      {"gaRJbmZvwB==\n", "gaRJbmZvwB==", "Invalid last symbol 66, offset 9."},
      {"pEluZ\n", "pEluZ", "Invalid input length: 5"},
      {"pEluZm8=pEluZm8=\n", "pEluZm8=pEluZm8=", "Invalid symbol 61, offset 7."},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.line);
    auto decoded = decode_command(row.line);
    EXPECT_EQ(decoded.trimmed, row.trimmed);
    EXPECT_EQ(test::base64_stage_error(row.line), row.message);
  }
}

// The URL-safe spelling of the same bytes is refused at the first "-" or "_".
TEST(DecodeCommand, RefusesTheUrlSafeAlphabet) {
  const std::string bytes = mp::map(1) + mp::str("Error") + mp::str("\xfb\xff\xfb\xff");
  std::string url_safe = test::b64(bytes);
  ASSERT_NE(url_safe.find_first_of("+/"), std::string::npos);
  std::size_t first = url_safe.find_first_of("+/");
  char expected = url_safe[first] == '+' ? '-' : '_';
  for (char& c : url_safe) c = c == '+' ? '-' : c == '/' ? '_' : c;
  EXPECT_EQ(test::base64_stage_error(url_safe + "\n"),
            "Invalid symbol " + std::to_string(static_cast<int>(expected)) + ", offset " +
                std::to_string(first) + ".");
}

TEST(DecodeCommand, EmptyOrWhiteSpaceLineFailsAtTheFirstMarker) {
  for (std::string line : {"", "\n", "\r\n", " \t \r\n", "\xE3\x80\x80\n"}) {
    SCOPED_TRACE(line);
    auto decoded = decode_command(line);
    EXPECT_EQ(decoded.trimmed, "");
    ASSERT_FALSE(decoded.command.has_value());
    EXPECT_EQ(decoded.command.error(),
              (CommandDecodeError{CommandDecodeError::Stage::kMessage, std::string(kMarkerEof)}));
  }
}

TEST(DecodeCommand, ReportsWhereTheBytesRanOut) {
  struct Row {
    const char* bytes;
    std::string_view message;
  };
  const Row rows[] = {
      {"81", kMarkerEof},                 // the key is missing
      {"81 a4 49 6e 66 6f", kMarkerEof},  // the payload is missing
      {"81 a4 49 6e", kBytesEof},         // inside the bytes of a str
      {"a4 49 6e 66", kBytesEof},
      {"c4 05 49 6e", kBytesEof},  // inside the bytes of a bin
      {"c4", kDataEof},            // the length of a bin
      {"d9", kDataEof},            // the length of a str
      {"da 00", kDataEof},
      {"db 00 00 00", kDataEof},
      {"cc", kDataEof},  // inside numbers
      {"cd 01", kDataEof},
      {"ce 00 00 00", kDataEof},
      {"cf 00 00 00 00 00 00 00", kDataEof},
      {"d0", kDataEof},
      {"d3 00", kDataEof},
      {"de 00", kDataEof},  // the length of a map
      {"df 00 00 00", kDataEof},
      {"dc", kDataEof},  // the length of an array
      {"81 da 00 07 43 6f", kBytesEof},
      {"81 cd 00", kDataEof},
      // A declared length is not checked against the bytes left: the missing element fails.
      {"81 a7 43 6f 6e 6e 65 63 74 dd ff ff ff ff", kMarkerEof},
      {"81 a7 43 6f 6e 6e 65 63 74 df 7f ff ff ff", kMarkerEof},
      {"81 a7 43 6f 6e 6e 65 63 74 db 7f ff ff ff 41", kBytesEof},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.bytes);
    EXPECT_EQ(message_error(hex(row.bytes)), row.message);
  }
}

// Records which I/O text a cut before each byte of a message must give.
class AnnotatedWire {
 public:
  void marker(std::uint8_t b) { add(std::string(1, static_cast<char>(b)), 'M'); }
  void str(std::string_view s) {
    if (s.size() < 32) {
      marker(static_cast<std::uint8_t>(0xa0 + s.size()));
    } else {
      marker(0xd9);
      add(mp::be(s.size(), 1), 'D');
    }
    add(std::string(s), 'B');
  }
  void uint(std::uint64_t v) {
    std::string encoded = mp::uint(v);
    marker(static_cast<std::uint8_t>(encoded[0]));
    add(encoded.substr(1), 'D');
  }
  void ip(const Ipv4Address& ip) {
    marker(0x94);
    for (auto b : ip) uint(b);
  }
  void key(const Key& key) { str(test::key_text(key)); }
  const std::string& bytes() const { return bytes_; }
  std::string_view expected_cut_at(std::size_t pos) const {
    switch (kinds_[pos]) {
      case 'M':
        return kMarkerEof;
      case 'D':
        return kDataEof;
      default:
        return kBytesEof;
    }
  }

 private:
  void add(const std::string& bytes, char kind) {
    bytes_ += bytes;
    kinds_.append(bytes.size(), kind);
  }
  std::string bytes_;
  std::string kinds_;
};

AnnotatedWire annotated_connect(bool map_form) {
  const Config c = test::sample_config();
  AnnotatedWire w;
  w.marker(0x81);
  w.str("Connect");
  auto name = [&](const char* field) {
    if (map_form) w.str(field);
  };
  w.marker(map_form ? 0x83 : 0x93);
  name("encryption");
  w.marker(map_form ? 0x83 : 0x93);
  name("client_key");
  w.key(c.encryption.client_key);
  name("server_key");
  w.key(c.encryption.server_key);
  name("shared_key");
  w.key(c.encryption.shared_key);
  name("endpoint");
  w.marker(map_form ? 0x83 : 0x93);
  name("url");
  w.str(c.endpoint.url);
  name("ip");
  w.ip(c.endpoint.ip);
  name("port");
  w.uint(c.endpoint.port);
  name("client");
  w.marker(map_form ? 0x82 : 0x92);
  name("ip");
  w.ip(c.client.ip);
  name("ports");
  w.marker(0x92);
  w.uint(c.client.ports[0]);
  w.uint(c.client.ports[1]);
  return w;
}

TEST(DecodeCommand, ConnectCutAtEveryByteFailsWithTheMatchingIoText) {
  for (bool map_form : {false, true}) {
    const AnnotatedWire wire = annotated_connect(map_form);
    const std::string& full = wire.bytes();
    ASSERT_EQ(test::decoded_command(full), Command{Connect{test::sample_config()}});
    for (std::size_t cut = 0; cut < full.size(); ++cut) {
      SCOPED_TRACE((map_form ? "map form, cut at " : "array form, cut at ") + std::to_string(cut));
      EXPECT_EQ(message_error(full.substr(0, cut)), wire.expected_cut_at(cut));
    }
  }
}

// The budget of 1024 lets 1023 arrays, maps or ext values be entered, counting the Config but
// not the single-entry map around the command.
std::string nested_arrays(std::size_t levels, const std::string& innermost) {
  std::string out;
  for (std::size_t i = 0; i + 1 < levels; ++i) out += "\x91";
  return out + innermost;
}
std::string nested_maps(std::size_t levels) {
  std::string out;
  for (std::size_t i = 0; i + 1 < levels; ++i) out += hex("81 00");
  return out + hex("80");
}

TEST(DecodeCommand, LimitsTheNestingOfSkippedValues) {
  const Config c = test::sample_config();
  auto config_map_with = [&](const std::string& skipped) {
    return mp::map(1) + mp::str("Connect") + mp::map(4) + mp::str("encryption") +
           test::encryption_wire(c.encryption) + mp::str("deep") + skipped + mp::str("endpoint") +
           test::endpoint_wire(c.endpoint) + mp::str("client") + test::client_wire(c.client);
  };
  // One level deeper: the skipped entry sits in the endpoint map inside the Config array.
  auto endpoint_map_with = [&](const std::string& skipped) {
    return mp::map(1) + mp::str("Connect") + mp::array(3) + test::encryption_wire(c.encryption) +
           mp::map(4) + mp::str("url") + mp::str(c.endpoint.url) + mp::str("ip") +
           test::ip_wire(c.endpoint.ip) + mp::str("deep") + skipped + mp::str("port") +
           mp::uint(c.endpoint.port) + test::client_wire(c.client);
  };
  struct Row {
    const char* name;
    std::string bytes;
    bool passes;
  };
  const Row rows[] = {
      {"1022 arrays below the Config", config_map_with(nested_arrays(1022, "\x90")), true},
      {"1023 arrays below the Config", config_map_with(nested_arrays(1023, "\x90")), false},
      {"1024 arrays below the Config", config_map_with(nested_arrays(1024, "\x90")), false},
      {"1022 maps below the Config", config_map_with(nested_maps(1022)), true},
      {"1023 maps below the Config", config_map_with(nested_maps(1023)), false},
      {"1021 arrays and an ext below the Config",
       config_map_with(nested_arrays(1022, hex("d4 01 00"))), true},
      {"1022 arrays and an ext below the Config",
       config_map_with(nested_arrays(1023, hex("d4 01 00"))), false},
      {"1021 arrays below the endpoint", endpoint_map_with(nested_arrays(1021, "\x90")), true},
      {"1022 arrays below the endpoint", endpoint_map_with(nested_arrays(1022, "\x90")), false},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    if (row.passes) {
      EXPECT_EQ(test::decoded_command(row.bytes), Command{Connect{c}});
    } else {
      EXPECT_EQ(message_error(row.bytes), "depth limit exceeded");
    }
  }
}

TEST(DecodeCommand, YieldsTheTrimmedTextWhateverTheOutcome) {
  const std::string connect_line = test::line_of(test::connect_wire(config_bytes()));
  const std::string connect_text = connect_line.substr(0, connect_line.size() - 1);
  struct Row {
    std::string line;
    std::string trimmed;
  };
  const Row rows[] = {
      {"pEluZm8=", "pEluZm8="},
      {"pEluZm8=\n", "pEluZm8="},
      {" \t pEluZm8=\r\n", "pEluZm8="},
      {"not base64 at all\n", "not base64 at all"},
      {"AAAA\n", "AAAA"},
      {connect_line, connect_text},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.line);
    EXPECT_EQ(decode_command(row.line).trimmed, row.trimmed);
  }
}

}  // namespace
}  // namespace kesta::protocol
