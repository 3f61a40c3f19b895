#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <string>
#include <variant>

#include "codec_test_util.h"
#include "protocol/decode.h"

namespace kesta::protocol {
namespace {

using test::hex;
using test::kMarkerEof;
namespace mp = test::mp;

const Config kConfig = test::sample_config();

// The sample Connect in array form with one field's wire value replaced.
enum class Field {
  kClientKey,
  kServerKey,
  kSharedKey,
  kUrl,
  kEndpointIp,
  kPort,
  kClientIp,
  kPorts
};

std::string connect_with(Field field, const std::string& value) {
  auto pick = [&](Field f, const std::string& sample) { return f == field ? value : sample; };
  const Config& c = kConfig;
  return test::connect_wire(mp::array(3) +
                            (mp::array(3) +
                             pick(Field::kClientKey, test::key_wire(c.encryption.client_key)) +
                             pick(Field::kServerKey, test::key_wire(c.encryption.server_key)) +
                             pick(Field::kSharedKey, test::key_wire(c.encryption.shared_key))) +
                            (mp::array(3) + pick(Field::kUrl, mp::str(c.endpoint.url)) +
                             pick(Field::kEndpointIp, test::ip_wire(c.endpoint.ip)) +
                             pick(Field::kPort, mp::uint(c.endpoint.port))) +
                            (mp::array(2) + pick(Field::kClientIp, test::ip_wire(c.client.ip)) +
                             pick(Field::kPorts, test::ports_wire(c.client.ports))));
}

// The decoded Config, or the failure text.
std::variant<Config, std::string> decode_config(const std::string& msgpack) {
  auto decoded = decode_command(test::line_of(msgpack));
  if (!decoded.command) {
    const auto& error = decoded.command.error();
    return (error.stage == CommandDecodeError::Stage::kBase64 ? "<Base64 stage> " : "") +
           error.message;
  }
  if (!std::holds_alternative<Connect>(*decoded.command)) return std::string("<not a Connect>");
  return std::get<Connect>(*decoded.command).config;
}

struct Accepted {
  const char* name;
  Field field;
  std::string value;
  Config expected;
};

struct Refused {
  const char* name;
  Field field;
  std::string value;
  std::string message;
};

void check(const Accepted* begin, const Accepted* end) {
  for (const Accepted* row = begin; row != end; ++row) {
    SCOPED_TRACE(row->name);
    auto result = decode_config(connect_with(row->field, row->value));
    ASSERT_TRUE(std::holds_alternative<Config>(result)) << std::get<std::string>(result);
    EXPECT_EQ(std::get<Config>(result), row->expected);
  }
}

void check(const Refused* begin, const Refused* end) {
  for (const Refused* row = begin; row != end; ++row) {
    SCOPED_TRACE(row->name);
    auto result = decode_config(connect_with(row->field, row->value));
    ASSERT_TRUE(std::holds_alternative<std::string>(result)) << "decoded";
    EXPECT_EQ(std::get<std::string>(result), row->message);
  }
}

Config with_key(Field field, const Key& key) {
  Config c = kConfig;
  (field == Field::kClientKey   ? c.encryption.client_key
   : field == Field::kServerKey ? c.encryption.server_key
                                : c.encryption.shared_key) = key;
  return c;
}
Config with_url(std::string url) {
  Config c = kConfig;
  c.endpoint.url = std::move(url);
  return c;
}
Config with_endpoint_ip(Ipv4Address ip) {
  Config c = kConfig;
  c.endpoint.ip = ip;
  return c;
}
Config with_client_ip(Ipv4Address ip) {
  Config c = kConfig;
  c.client.ip = ip;
  return c;
}
Config with_port(std::uint16_t port) {
  Config c = kConfig;
  c.endpoint.port = port;
  return c;
}
Config with_ports(std::vector<std::uint16_t> ports) {
  Config c = kConfig;
  c.client.ports = std::move(ports);
  return c;
}

Key filled(std::uint8_t b) {
  Key k;
  k.fill(b);
  return k;
}

const std::string kKeyText = test::key_text(test::key_counting_from(0));  // 44 characters

std::string replaced(std::string text, std::size_t pos, char c) {
  text[pos] = c;
  return text;
}

TEST(DecodeFields, AcceptsKeys) {
  const Key zeros{};
  const Key s = test::key_counting_from(0);
  const Accepted rows[] = {
      {"all zeros", Field::kClientKey, mp::str(std::string(43, 'A') + "="),
       with_key(Field::kClientKey, zeros)},
      {"all ones", Field::kServerKey, mp::str(test::b64(std::string(32, '\xff'))),
       with_key(Field::kServerKey, filled(0xff))},
      {"equal to the client key", Field::kSharedKey, mp::str(kKeyText),
       with_key(Field::kSharedKey, s)},
      {"str 16", Field::kClientKey, mp::str16(kKeyText), with_key(Field::kClientKey, s)},
      {"str 32", Field::kServerKey, mp::str32(kKeyText), with_key(Field::kServerKey, s)},
      {"bin 8 holding the text", Field::kSharedKey, mp::bin8(kKeyText),
       with_key(Field::kSharedKey, s)},
      {"bin 32 holding the text", Field::kClientKey, mp::bin32(kKeyText),
       with_key(Field::kClientKey, s)},
  };
  check(std::begin(rows), std::end(rows));
}

TEST(DecodeFields, RefusesKeys) {
  const Refused rows[] = {
      {"without its padding", Field::kClientKey, mp::str(kKeyText.substr(0, 43)),
       "Invalid padding"},
      {"31 bytes", Field::kClientKey, mp::str(test::b64(std::string(31, 'k'))),
       "Invalid key length: 31"},
      {"33 bytes", Field::kServerKey, mp::str(test::b64(std::string(33, 'k'))),
       "Invalid key length: 33"},
      {"36 bytes", Field::kSharedKey, mp::str(test::b64(std::string(36, 'k'))),
       "Invalid key length: 36"},
      {"empty", Field::kClientKey, mp::str(""), "Invalid key length: 0"},
      {"3 bytes", Field::kClientKey, mp::str("AAAA"), "Invalid key length: 3"},
      {"1000 bytes", Field::kServerKey, mp::str(test::b64(std::string(1000, 'k'))),
       "Invalid key length: 1000"},
      {"a bad symbol far beyond 32 bytes", Field::kClientKey,
       mp::str(test::b64(std::string(300, 'k')) + "-AAA"), "Invalid symbol 45, offset 400."},
      {"unused bits set far beyond 32 bytes", Field::kSharedKey,
       mp::str(test::b64(std::string(300, 'k')) + "AB=="), "Invalid last symbol 66, offset 401."},
      {"a line feed after it", Field::kClientKey, mp::str(kKeyText + "\n"),
       "Invalid symbol 10, offset 44."},
      {"a space after it", Field::kServerKey, mp::str(kKeyText + " "),
       "Invalid symbol 32, offset 44."},
      {"a space before it", Field::kSharedKey, mp::str(" " + kKeyText),
       "Invalid symbol 32, offset 0."},
      // ambiguous: the "=" at offset 43 now stands in an earlier group and comes before the CR.
      {"CR LF after it", Field::kClientKey, mp::str(kKeyText + "\r\n"),
       "Invalid symbol 61, offset 43."},
      {"URL-safe minus", Field::kClientKey, mp::str(replaced(kKeyText, 5, '-')),
       "Invalid symbol 45, offset 5."},
      {"URL-safe underscore", Field::kServerKey, mp::str(replaced(kKeyText, 10, '_')),
       "Invalid symbol 95, offset 10."},
      {"padding inside", Field::kClientKey, mp::str(replaced(kKeyText, 4, '=')),
       "Invalid symbol 61, offset 4."},
      {"non-ASCII", Field::kClientKey, mp::str("\xC3\xA9" + kKeyText.substr(2)),
       "Invalid symbol 195, offset 0."},
      {"45 characters", Field::kClientKey, mp::str(std::string(45, 'A')),
       "Invalid input length: 45"},
      {"unused bits set", Field::kClientKey, mp::str(std::string(42, 'A') + "B="),
       "Invalid last symbol 66, offset 42."},
      {"array of 32 numbers", Field::kClientKey, mp::array(32) + std::string(32, '\x01'),
       "invalid type: sequence, expected a string"},
      {"raw bytes as bin", Field::kClientKey, mp::bin8(std::string(32, '\xff')),
       "invalid value: byte array, expected a string"},
      {"raw bytes as bin 16", Field::kSharedKey,
       mp::bin16(test::bytes_of(test::key_counting_from(200))),
       "invalid value: byte array, expected a string"},
      // 32 raw bytes that happen to be text are read as Base64 text.
      {"32 letters as bin", Field::kClientKey, mp::bin8(std::string(32, 'A')),
       "Invalid key length: 24"},
      {"str that is not UTF-8", Field::kClientKey, mp::str(hex("c3 28")),
       "string found to be invalid utf8: invalid utf-8 sequence of 1 bytes from index 0"},
      {"str ending inside a sequence", Field::kServerKey, mp::str("AB" + hex("e2 82")),
       "string found to be invalid utf8: incomplete utf-8 byte sequence from index 2"},
      {"str with a surrogate", Field::kSharedKey, mp::str("ABC" + hex("ed a0 80")),
       "string found to be invalid utf8: invalid utf-8 sequence of 1 bytes from index 3"},
      {"str with a cut four-byte sequence", Field::kClientKey, mp::str(hex("f0 90 80 41")),
       "string found to be invalid utf8: invalid utf-8 sequence of 3 bytes from index 0"},
      {"nil", Field::kClientKey, mp::kNil, "invalid type: unit value, expected a string"},
      {"integer", Field::kServerKey, hex("07"), "invalid type: integer `7`, expected a string"},
      {"negative integer", Field::kSharedKey, hex("f9"),
       "invalid type: integer `-7`, expected a string"},
      {"boolean", Field::kClientKey, mp::kTrue, "invalid type: boolean `true`, expected a string"},
      {"float", Field::kClientKey, mp::f64(-0.5),
       "invalid type: floating point `-0.5`, expected a string"},
      {"map", Field::kClientKey, hex("80"), "invalid type: map, expected a string"},
      {"ext", Field::kClientKey, hex("d6 01 00 00 00 00"),
       "invalid type: newtype struct, expected a string"},
      {"reserved byte", Field::kClientKey, hex("c1"), "wrong msgpack marker Reserved"},
  };
  check(std::begin(rows), std::end(rows));
}

TEST(DecodeFields, AcceptsAddresses) {
  const Accepted rows[] = {
      {"fixarray", Field::kEndpointIp, hex("94 0a 00 00 02"), with_endpoint_ip({10, 0, 0, 2})},
      {"array 16", Field::kClientIp, mp::array16(4) + hex("cc c0 cc a8 01 01"),
       with_client_ip({192, 168, 1, 1})},
      {"array 32", Field::kEndpointIp, mp::array32(4) + hex("7f 00 00 01"),
       with_endpoint_ip({127, 0, 0, 1})},
      {"every integer family", Field::kClientIp,
       mp::array(4) + mp::u16(255) + mp::i8(5) + mp::i64(200) + mp::u64(0),
       with_client_ip({255, 5, 200, 0})},
      {"int 16 and uint 32", Field::kEndpointIp,
       mp::array(4) + mp::i16(1) + mp::u32(2) + mp::i32(3) + mp::u8(4),
       with_endpoint_ip({1, 2, 3, 4})},
      {"bin of four bytes", Field::kEndpointIp, mp::bin8(hex("0a 00 00 02")),
       with_endpoint_ip({10, 0, 0, 2})},
      {"bin of five bytes", Field::kClientIp, mp::bin8(hex("0a 00 00 02 ff")),
       with_client_ip({10, 0, 0, 2})},
      {"bin 16", Field::kClientIp, mp::bin16(hex("e0 00 00 fb")), with_client_ip({224, 0, 0, 251})},
      {"bin 32", Field::kEndpointIp, mp::bin32(hex("08 08 04 04 00 00")),
       with_endpoint_ip({8, 8, 4, 4})},
      {"0.0.0.0", Field::kEndpointIp, hex("94 00 00 00 00"), with_endpoint_ip({0, 0, 0, 0})},
      {"255.255.255.255", Field::kClientIp, hex("94 cc ff cc ff cc ff cc ff"),
       with_client_ip({255, 255, 255, 255})},
      {"the same as the endpoint", Field::kClientIp, test::ip_wire(kConfig.endpoint.ip),
       with_client_ip(kConfig.endpoint.ip)},
  };
  check(std::begin(rows), std::end(rows));
}

TEST(DecodeFields, RefusesAddresses) {
  const std::string kExpected = ", expected an array of length 4";
  const Refused rows[] = {
      {"three elements", Field::kEndpointIp, hex("93 0a 00 00"), "invalid length 3" + kExpected},
      {"no elements", Field::kClientIp, hex("90"), "invalid length 0" + kExpected},
      {"array 16 of two", Field::kEndpointIp, hex("dc 00 02 01 02"),
       "invalid length 2" + kExpected},
      {"bin of three bytes", Field::kEndpointIp, mp::bin8(hex("0a 00 00")),
       "invalid length 3" + kExpected},
      {"empty bin", Field::kClientIp, mp::bin8(""), "invalid length 0" + kExpected},
      {"five elements", Field::kEndpointIp, hex("95 0a 00 00 02 05"),
       "array had incorrect length, expected 4"},
      // ambiguous: the fifth element is never read, so its reserved byte is not seen.
      {"five elements, the last one reserved", Field::kClientIp, hex("95 0a 00 00 02 c1"),
       "array had incorrect length, expected 4"},
      {"five elements, the second one bad", Field::kClientIp, hex("95 0a cd 01 00 00 02 05"),
       "invalid value: integer `256`, expected u8"},
      {"element 256", Field::kEndpointIp, hex("94 0a cd 01 00 00 02"),
       "invalid value: integer `256`, expected u8"},
      {"element -1", Field::kEndpointIp, hex("94 0a 00 00 ff"),
       "invalid value: integer `-1`, expected u8"},
      {"element -128", Field::kClientIp, hex("94 d0 80 00 00 00"),
       "invalid value: integer `-128`, expected u8"},
      {"largest uint 64 element", Field::kClientIp, mp::array(4) + mp::u64(~0ull) + hex("00 00 00"),
       "invalid value: integer `18446744073709551615`, expected u8"},
      {"smallest int 64 element", Field::kClientIp,
       mp::array(4) + mp::i64(std::numeric_limits<std::int64_t>::min()) + hex("00 00 00"),
       "invalid value: integer `-9223372036854775808`, expected u8"},
      {"nil element", Field::kEndpointIp, hex("94 0a c0 00 02"),
       "invalid type: unit value, expected u8"},
      {"boolean element", Field::kEndpointIp, hex("94 c2 00 00 02"),
       "invalid type: boolean `false`, expected u8"},
      {"float element", Field::kEndpointIp, hex("94 0a 00 00") + mp::f32(1.0f),
       "invalid type: floating point `1.0`, expected u8"},
      {"str element", Field::kEndpointIp, hex("94 a2 31 30 00 00 02"),
       "wrong msgpack marker FixStr(2)"},
      {"str 8 element", Field::kClientIp, hex("94") + mp::str8("1") + hex("00 00 02"),
       "wrong msgpack marker Str8"},
      {"bin element", Field::kEndpointIp, hex("94 c4 01 0a 00 00 02"), "wrong msgpack marker Bin8"},
      {"array element", Field::kEndpointIp, hex("94 90 00 00 02"),
       "wrong msgpack marker FixArray(0)"},
      {"array 16 element", Field::kEndpointIp, hex("94 dc 00 00 00 00 02"),
       "wrong msgpack marker Array16"},
      {"map element", Field::kClientIp, hex("94 0a 81 01 02 00 02"),
       "wrong msgpack marker FixMap(1)"},
      {"map 16 element", Field::kClientIp, hex("94 de 00 00 00 00 02"),
       "wrong msgpack marker Map16"},
      {"fixext element", Field::kClientIp, hex("94 d4 01 00 00 00 02"),
       "wrong msgpack marker FixExt1"},
      {"ext 8 element", Field::kClientIp, hex("94 c7 00 01 00 00 02"), "wrong msgpack marker Ext8"},
      {"reserved element", Field::kClientIp, hex("94 c1 00 00 02"),
       "wrong msgpack marker Reserved"},
      {"dotted text", Field::kEndpointIp, mp::str("10.0.0.2"),
       "invalid type: string \"10.0.0.2\"" + kExpected},
      {"text with escapes", Field::kClientIp, mp::str("a\"b\\c\n\t\x1b\x7f\xC2\x85\xC3\xA9"),
       "invalid type: string \"a\\\"b\\\\c\\n\\t\\u{1b}\\u{7f}\\u{85}\xC3\xA9\"" + kExpected},
      {"nil", Field::kClientIp, mp::kNil, "invalid type: unit value" + kExpected},
      {"integer", Field::kEndpointIp, hex("0a"), "invalid type: integer `10`" + kExpected},
      {"uint 32", Field::kEndpointIp, mp::u32(0x0a000002),
       "invalid type: integer `167772162`" + kExpected},
      {"boolean", Field::kEndpointIp, mp::kTrue, "invalid type: boolean `true`" + kExpected},
      {"float", Field::kEndpointIp, mp::f64(10.5),
       "invalid type: floating point `10.5`" + kExpected},
      {"map", Field::kClientIp, hex("84 00 0a 01 00 02 00 03 02"), "invalid type: map" + kExpected},
      {"ext", Field::kClientIp, hex("d6 00 0a 00 00 02"),
       "invalid type: newtype struct" + kExpected},
  };
  check(std::begin(rows), std::end(rows));
}

TEST(DecodeFields, AcceptsPortsInEveryIntegerFamily) {
  const Accepted rows[] = {
      {"0", Field::kPort, hex("00"), with_port(0)},
      {"127", Field::kPort, hex("7f"), with_port(127)},
      {"128 as uint 8", Field::kPort, hex("cc 80"), with_port(128)},
      {"65535", Field::kPort, hex("cd ff ff"), with_port(65535)},
      {"53 as uint 8", Field::kPort, mp::u8(53), with_port(53)},
      {"53 as uint 16", Field::kPort, mp::u16(53), with_port(53)},
      {"53 as uint 32", Field::kPort, mp::u32(53), with_port(53)},
      {"53 as uint 64", Field::kPort, mp::u64(53), with_port(53)},
      {"53 as int 8", Field::kPort, mp::i8(53), with_port(53)},
      {"53 as int 16", Field::kPort, hex("d1 00 35"), with_port(53)},
      {"65535 as int 32", Field::kPort, mp::i32(65535), with_port(65535)},
      {"53 as int 64", Field::kPort, mp::i64(53), with_port(53)},
      {"0 as int 8", Field::kPort, mp::i8(0), with_port(0)},
  };
  check(std::begin(rows), std::end(rows));
}

TEST(DecodeFields, RefusesPorts) {
  const Refused rows[] = {
      {"65536", Field::kPort, hex("ce 00 01 00 00"),
       "invalid value: integer `65536`, expected u16"},
      {"largest uint 64", Field::kPort, mp::u64(~0ull),
       "invalid value: integer `18446744073709551615`, expected u16"},
      {"-1", Field::kPort, hex("ff"), "invalid value: integer `-1`, expected u16"},
      {"-1 as int 16", Field::kPort, hex("d1 ff ff"), "invalid value: integer `-1`, expected u16"},
      {"-128", Field::kPort, hex("d0 80"), "invalid value: integer `-128`, expected u16"},
      {"smallest int 64", Field::kPort, mp::i64(std::numeric_limits<std::int64_t>::min()),
       "invalid value: integer `-9223372036854775808`, expected u16"},
      {"65536 as int 32", Field::kPort, mp::i32(65536),
       "invalid value: integer `65536`, expected u16"},
      {"float 32", Field::kPort, mp::f32(53.0f),
       "invalid type: floating point `53.0`, expected u16"},
      {"float 64", Field::kPort, mp::f64(53.0),
       "invalid type: floating point `53.0`, expected u16"},
      {"nil", Field::kPort, mp::kNil, "invalid type: unit value, expected u16"},
      {"true", Field::kPort, mp::kTrue, "invalid type: boolean `true`, expected u16"},
      {"text 53", Field::kPort, hex("a2 35 33"), "wrong msgpack marker FixStr(2)"},
      {"str 8", Field::kPort, mp::str8("53"), "wrong msgpack marker Str8"},
      {"str 16", Field::kPort, mp::str16("53"), "wrong msgpack marker Str16"},
      {"bin", Field::kPort, mp::bin8("\x35"), "wrong msgpack marker Bin8"},
      {"bin 32", Field::kPort, mp::bin32("\x35"), "wrong msgpack marker Bin32"},
      {"array", Field::kPort, hex("91 35"), "wrong msgpack marker FixArray(1)"},
      {"array 32", Field::kPort, mp::array32(1) + hex("35"), "wrong msgpack marker Array32"},
      {"map", Field::kPort, hex("81 35 35"), "wrong msgpack marker FixMap(1)"},
      {"map 32", Field::kPort, mp::map32(0), "wrong msgpack marker Map32"},
      {"fixext 2", Field::kPort, hex("d5 01 00 35"), "wrong msgpack marker FixExt2"},
      {"ext 16", Field::kPort, hex("c8 00 01 01 35"), "wrong msgpack marker Ext16"},
      {"reserved", Field::kPort, hex("c1"), "wrong msgpack marker Reserved"},
  };
  check(std::begin(rows), std::end(rows));
}

TEST(DecodeFields, AcceptsPortLists) {
  std::string many = mp::array16(300);
  std::vector<std::uint16_t> many_ports;
  for (std::uint16_t p = 0; p < 300; ++p) {
    many += mp::uint(p * 200u);
    many_ports.push_back(static_cast<std::uint16_t>(p * 200u));
  }
  const Accepted rows[] = {
      {"empty", Field::kPorts, hex("90"), with_ports({})},
      {"empty array 32", Field::kPorts, mp::array32(0), with_ports({})},
      {"0 and 65535", Field::kPorts, hex("92 00 cd ff ff"), with_ports({0, 65535})},
      {"mixed families", Field::kPorts, mp::array(3) + hex("d1 00 35") + mp::u8(255) + mp::i64(1),
       with_ports({53, 255, 1})},
      {"array 16 of 300", Field::kPorts, many, with_ports(many_ports)},
      {"bin", Field::kPorts, mp::bin8(hex("35 ff 00")), with_ports({53, 255, 0})},
      {"empty bin", Field::kPorts, mp::bin16(""), with_ports({})},
      {"repeated", Field::kPorts, hex("93 35 35 35"), with_ports({53, 53, 53})},
  };
  check(std::begin(rows), std::end(rows));
}

TEST(DecodeFields, RefusesPortLists) {
  const Refused rows[] = {
      {"nil", Field::kPorts, mp::kNil, "invalid type: unit value, expected a sequence"},
      {"a single number", Field::kPorts, hex("35"),
       "invalid type: integer `53`, expected a sequence"},
      {"text", Field::kPorts, mp::str("53"), "invalid type: string \"53\", expected a sequence"},
      {"boolean", Field::kPorts, mp::kTrue, "invalid type: boolean `true`, expected a sequence"},
      {"float", Field::kPorts, mp::f64(53.0),
       "invalid type: floating point `53.0`, expected a sequence"},
      {"map", Field::kPorts, hex("81 00 35"), "invalid type: map, expected a sequence"},
      {"ext", Field::kPorts, hex("d4 00 35"), "invalid type: newtype struct, expected a sequence"},
      {"element 65536", Field::kPorts, hex("92 35 ce 00 01 00 00"),
       "invalid value: integer `65536`, expected u16"},
      {"element -1", Field::kPorts, hex("91 ff"), "invalid value: integer `-1`, expected u16"},
      {"element nil", Field::kPorts, hex("92 c0 35"), "invalid type: unit value, expected u16"},
      {"element text", Field::kPorts, hex("92 35 a1 78"), "wrong msgpack marker FixStr(1)"},
      {"element list", Field::kPorts, hex("91 91 35"), "wrong msgpack marker FixArray(1)"},
      // A declared count larger than the bytes is not refused until the bytes end.
      {"more declared than sent", Field::kPorts, mp::array32(0xffffffff) + hex("35"),
       std::string(kMarkerEof)},
      {"a huge count and no element", Field::kPorts, mp::array32(0x7fffffff),
       std::string(kMarkerEof)},
      {"array 16 cut short", Field::kPorts, mp::array16(1000) + std::string(999, '\x01'),
       std::string(kMarkerEof)},
  };
  check(std::begin(rows), std::end(rows));
}

TEST(DecodeFields, AcceptsAnyUtf8Url) {
  const std::string long_url(70000, 'u');
  const Accepted rows[] = {
      {"empty", Field::kUrl, hex("a0"), with_url("")},
      {"not a url", Field::kUrl, mp::str("not a url at all"), with_url("not a url at all")},
      {"non-ASCII", Field::kUrl, mp::str("h\xC3\xA9llo \xE2\x82\xAC \xF0\x9F\x98\x80"),
       with_url("h\xC3\xA9llo \xE2\x82\xAC \xF0\x9F\x98\x80")},
      {"control characters", Field::kUrl, mp::str("a\tb\n\"c\\"), with_url("a\tb\n\"c\\")},
      {"NUL", Field::kUrl, mp::str(std::string("a\0b", 3)), with_url(std::string("a\0b", 3))},
      {"str 8", Field::kUrl, mp::str8("x"), with_url("x")},
      {"str 16", Field::kUrl, mp::str16("x"), with_url("x")},
      {"str 32", Field::kUrl, mp::str32(long_url), with_url(long_url)},
      {"bin of text", Field::kUrl, mp::bin8("vpn.example.com"), with_url("vpn.example.com")},
      {"bin 16 of text", Field::kUrl, mp::bin16("\xC3\xA9"), with_url("\xC3\xA9")},
  };
  check(std::begin(rows), std::end(rows));
}

TEST(DecodeFields, RefusesUrls) {
  const Refused rows[] = {
      {"bin that is not UTF-8", Field::kUrl, mp::bin8(hex("61 ff")),
       "invalid value: byte array, expected a string"},
      {"str that is not UTF-8", Field::kUrl, mp::str(hex("ff")),
       "string found to be invalid utf8: invalid utf-8 sequence of 1 bytes from index 0"},
      {"str with a broken sequence", Field::kUrl, mp::str("abc" + hex("e1 80 41")),
       "string found to be invalid utf8: invalid utf-8 sequence of 2 bytes from index 3"},
      {"str ending inside a sequence", Field::kUrl, mp::str("ab" + hex("f0 90 80")),
       "string found to be invalid utf8: incomplete utf-8 byte sequence from index 2"},
      {"str with an overlong form", Field::kUrl, mp::str("a" + hex("c0 af")),
       "string found to be invalid utf8: invalid utf-8 sequence of 1 bytes from index 1"},
      {"nil", Field::kUrl, mp::kNil, "invalid type: unit value, expected a string"},
      {"integer", Field::kUrl, hex("01"), "invalid type: integer `1`, expected a string"},
      {"array", Field::kUrl, hex("90"), "invalid type: sequence, expected a string"},
      {"map", Field::kUrl, hex("80"), "invalid type: map, expected a string"},
      {"ext", Field::kUrl, hex("c7 00 05"), "invalid type: newtype struct, expected a string"},
      {"false", Field::kUrl, mp::kFalse, "invalid type: boolean `false`, expected a string"},
  };
  check(std::begin(rows), std::end(rows));
}

// Floats in failure texts: the shortest decimal that reads back, plainly written, with ".0"
// when it has no point; float 32 is widened first.
TEST(DecodeFields, WritesFloatsInFailureTextsAsShortestPlainDecimals) {
  struct Row {
    std::string value;
    std::string text;
  };
  const Row rows[] = {
      {mp::f32(0.1f), "0.10000000149011612"},
      {mp::f64(0.1), "0.1"},
      {mp::f32(1.5f), "1.5"},
      {mp::f64(2.0), "2.0"},
      {mp::f64(100.0), "100.0"},
      {mp::f64(-0.5), "-0.5"},
      {mp::f64(-0.0), "-0.0"},
      {mp::f64(0.0), "0.0"},
      {mp::f64(123456789.125), "123456789.125"},
      {mp::f64(1e21), "1000000000000000000000.0"},
      {mp::f64(1e-7), "0.0000001"},
      {mp::f64(5e-324), "0." + std::string(323, '0') + "5"},
      {mp::f64(std::numeric_limits<double>::max()),
       "17976931348623157" + std::string(292, '0') + ".0"},
      {mp::f32(std::numeric_limits<float>::max()),
       "34028234663852886" + std::string(22, '0') + ".0"},
      {mp::f32(16777216.0f), "16777216.0"},
      {mp::f64(std::numeric_limits<double>::quiet_NaN()), "NaN"},
      {mp::f32(std::numeric_limits<float>::quiet_NaN()), "NaN"},
      {mp::f64(-std::numeric_limits<double>::quiet_NaN()), "NaN"},
      {mp::f64(std::numeric_limits<double>::infinity()), "inf"},
      {mp::f64(-std::numeric_limits<double>::infinity()), "-inf"},
      {mp::f32(-std::numeric_limits<float>::infinity()), "-inf"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.text);
    EXPECT_EQ(decode_config(connect_with(Field::kPort, row.value)),
              (std::variant<Config, std::string>("invalid type: floating point `" + row.text +
                                                 "`, expected u16")));
  }
}

}  // namespace
}  // namespace kesta::protocol
