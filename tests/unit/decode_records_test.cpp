#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "codec_test_util.h"
#include "protocol/decode.h"

namespace kesta::protocol {
namespace {

using test::hex;
using test::kBytesEof;
using test::kDataEof;
using test::kMarkerEof;
namespace mp = test::mp;

const Config kConfig = test::sample_config();
const std::string kEnc = test::encryption_wire(kConfig.encryption);
const std::string kEnd = test::endpoint_wire(kConfig.endpoint);
const std::string kCli = test::client_wire(kConfig.client);

std::string entry(std::string_view name, const std::string& value) {
  return mp::str(name) + value;
}
std::string entry(std::uint64_t index, const std::string& value) {
  return mp::uint(index) + value;
}

// The three parts in map form, entries in field order.
std::string enc_map() {
  return mp::map(3) + entry("client_key", test::key_wire(kConfig.encryption.client_key)) +
         entry("server_key", test::key_wire(kConfig.encryption.server_key)) +
         entry("shared_key", test::key_wire(kConfig.encryption.shared_key));
}
std::string end_map() {
  return mp::map(3) + entry("url", mp::str(kConfig.endpoint.url)) +
         entry("ip", test::ip_wire(kConfig.endpoint.ip)) +
         entry("port", mp::uint(kConfig.endpoint.port));
}
std::string cli_map() {
  return mp::map(2) + entry("ip", test::ip_wire(kConfig.client.ip)) +
         entry("ports", test::ports_wire(kConfig.client.ports));
}

// What decoding a Connect with this Config payload gave: its failure text, or "<ok>" when it
// gave the sample configuration.
std::string outcome(const std::string& config) {
  auto decoded = decode_command(test::line_of(test::connect_wire(config)));
  if (!decoded.command) {
    const auto& error = decoded.command.error();
    return (error.stage == CommandDecodeError::Stage::kBase64 ? "<Base64 stage> " : "") +
           error.message;
  }
  if (*decoded.command == Command{Connect{kConfig}}) return "<ok>";
  return "<decoded something else>";
}

struct Row {
  const char* name;
  std::string config;
  std::string expected;  // a failure text, or "<ok>"
};

void check(const Row* begin, const Row* end) {
  for (const Row* row = begin; row != end; ++row) {
    SCOPED_TRACE(row->name);
    EXPECT_EQ(outcome(row->config), row->expected);
  }
}

TEST(DecodeRecords, AcceptsArrayAndMapFormsInAnyMix) {
  const Row rows[] = {
      {"all arrays", mp::array(3) + kEnc + kEnd + kCli, "<ok>"},
      {"array 16 header", mp::array16(3) + kEnc + kEnd + kCli, "<ok>"},
      {"array 32 header", mp::array32(3) + kEnc + kEnd + kCli, "<ok>"},
      {"map by name",
       mp::map(3) + entry("encryption", kEnc) + entry("endpoint", kEnd) + entry("client", kCli),
       "<ok>"},
      {"map by name in reverse order",
       mp::map(3) + entry("client", kCli) + entry("endpoint", kEnd) + entry("encryption", kEnc),
       "<ok>"},
      {"map 16 header",
       mp::map16(3) + entry("endpoint", kEnd) + entry("client", kCli) + entry("encryption", kEnc),
       "<ok>"},
      {"map 32 header",
       mp::map32(3) + entry("endpoint", kEnd) + entry("client", kCli) + entry("encryption", kEnc),
       "<ok>"},
      {"map by index", mp::map(3) + entry(0, kEnc) + entry(1, kEnd) + entry(2, kCli), "<ok>"},
      {"map by index out of order", mp::map(3) + entry(2, kCli) + entry(0, kEnc) + entry(1, kEnd),
       "<ok>"},
      {"map by uint 8, 16 and 64 index",
       mp::map(3) + mp::u8(0) + kEnc + mp::u16(1) + kEnd + mp::u64(2) + kCli, "<ok>"},
      {"map by bin name",
       mp::map(3) + mp::bin8("encryption") + kEnc + mp::bin16("endpoint") + kEnd +
           mp::bin32("client") + kCli,
       "<ok>"},
      {"map by str 8 name",
       mp::map(3) + mp::str8("encryption") + kEnc + mp::str16("endpoint") + kEnd +
           mp::str32("client") + kCli,
       "<ok>"},
      {"map of name, index and bin",
       mp::map(3) + entry("client", kCli) + entry(1, kEnd) + mp::bin8("encryption") + kEnc, "<ok>"},
      {"array of maps", mp::array(3) + enc_map() + end_map() + cli_map(), "<ok>"},
      {"map of maps",
       mp::map(3) + entry("encryption", enc_map()) + entry("endpoint", end_map()) +
           entry("client", cli_map()),
       "<ok>"},
      {"parts in map form by index",
       mp::array(3) +
           (mp::map(3) + entry(2, test::key_wire(kConfig.encryption.shared_key)) +
            entry(0, test::key_wire(kConfig.encryption.client_key)) +
            entry(1, test::key_wire(kConfig.encryption.server_key))) +
           (mp::map(3) + entry(2, mp::uint(kConfig.endpoint.port)) +
            entry(1, test::ip_wire(kConfig.endpoint.ip)) +
            entry(0, mp::str(kConfig.endpoint.url))) +
           (mp::map(2) + entry(1, test::ports_wire(kConfig.client.ports)) +
            entry(0, test::ip_wire(kConfig.client.ip))),
       "<ok>"},
  };
  check(std::begin(rows), std::end(rows));
}

// An entry whose key names no field is read whole and dropped, whatever its value holds.
TEST(DecodeRecords, SkipsUnknownEntriesWhateverTheyHold) {
  struct Skipped {
    const char* name;
    std::string entry;
  };
  const Skipped skipped[] = {
      {"nil", entry("extra", mp::kNil)},
      {"false", entry("extra", mp::kFalse)},
      {"true", entry("extra", mp::kTrue)},
      {"fixint", entry("extra", hex("05"))},
      {"negative fixint", entry("extra", hex("ff"))},
      {"uint 64", entry("extra", mp::u64(~0ull))},
      {"int 64", entry("extra", mp::i64(-1))},
      {"float 32", entry("extra", mp::f32(0.5f))},
      {"float 64", entry("extra", mp::f64(-2.5))},
      {"str", entry("extra", mp::str("anything"))},
      {"str 16", entry("extra", mp::str16(std::string(300, 'x')))},
      {"str 32", entry("extra", mp::str32("y"))},
      {"bin of bytes that are no UTF-8", entry("extra", mp::bin8(hex("ff fe 00 c1")))},
      {"bin 16", entry("extra", mp::bin16(std::string(1000, '\xc1')))},
      {"bin 32", entry("extra", mp::bin32("z"))},
      {"fixext 1", entry("extra", hex("d4 01 c1"))},
      {"fixext 16", entry("extra", hex("d8 7f") + std::string(16, '\xc1'))},
      {"ext 8", entry("extra", hex("c7 03 01 c1 c1 c1"))},
      {"ext 16", entry("extra", hex("c8 00 02 01 91 91"))},
      {"ext 32", entry("extra", hex("c9 00 00 00 00 01"))},
      {"nested arrays and maps",
       entry("extra", hex("92 92 91 80 81 a1 61 93 01 02 03 82 c0 c3 90 91 a1 62"))},
      {"array 16 of everything", entry("extra", mp::array16(4) + mp::kNil + mp::str("s") +
                                                    mp::map(1) + hex("01 02") + mp::f64(1.0))},
      {"map 16 with non-string keys",
       entry("extra", mp::map16(2) + hex("90 c0 81 c0 c0 d4 00 00"))},
      {"array 32", entry("extra", mp::array32(2) + hex("01 02"))},
      {"map 32", entry("extra", mp::map32(1) + hex("a1 6b a1 76"))},
      {"a Config of its own", entry("extra", kEnc)},
      {"index 3", entry(3, kEnc)},
      {"index 200 as uint 8", mp::u8(200) + mp::kNil},
      {"largest uint 64 index", mp::u64(~0ull) + mp::str("x")},
      {"name in another case", entry("Client", mp::kNil)},
      {"name with a trailing space", entry("client ", hex("90"))},
      {"field name of another record", entry("url", mp::str("x"))},
      {"empty name", entry("", mp::kNil)},
      {"bin name that is no UTF-8", mp::bin8(hex("ff fe")) + mp::kNil},
  };
  for (const Skipped& s : skipped) {
    SCOPED_TRACE(s.name);
    EXPECT_EQ(outcome(mp::map(4) + entry("encryption", kEnc) + s.entry + entry("endpoint", kEnd) +
                      entry("client", kCli)),
              "<ok>");
    EXPECT_EQ(outcome(mp::map(4) + entry("encryption", kEnc) + entry("endpoint", kEnd) +
                      entry("client", kCli) + s.entry),
              "<ok>");
  }
  // Unknown entries in the inner records too.
  const Row rows[] = {
      {"unknown entries in every part",
       mp::map(4) + entry("x", mp::kNil) +
           entry("encryption",
                 mp::map(4) + entry("client_key", test::key_wire(kConfig.encryption.client_key)) +
                     entry(3, hex("92 c0 c0")) +
                     entry("server_key", test::key_wire(kConfig.encryption.server_key)) +
                     entry("shared_key", test::key_wire(kConfig.encryption.shared_key))) +
           entry("endpoint", mp::map(4) + entry("url", mp::str(kConfig.endpoint.url)) +
                                 entry("ip", test::ip_wire(kConfig.endpoint.ip)) +
                                 entry("port", mp::uint(kConfig.endpoint.port)) +
                                 entry("host", mp::str("ignored"))) +
           entry("client", mp::map(3) + entry(2, hex("81 c0 c0")) +
                               entry("ip", test::ip_wire(kConfig.client.ip)) +
                               entry("ports", test::ports_wire(kConfig.client.ports))),
       "<ok>"},
  };
  check(std::begin(rows), std::end(rows));
}

TEST(DecodeRecords, RefusesArraysOfTheWrongLength) {
  const Row rows[] = {
      {"Config of 2", mp::array(2) + kEnc + kEnd,
       "invalid length 2, expected struct Config with 3 elements"},
      {"Config of 1", mp::array(1) + kEnc,
       "invalid length 1, expected struct Config with 3 elements"},
      {"Config of 0", mp::array(0), "invalid length 0, expected struct Config with 3 elements"},
      {"Config array 16 of 2", mp::array16(2) + kEnc + kEnd,
       "invalid length 2, expected struct Config with 3 elements"},
      {"Config of 2 with a bad second element",
       mp::array(2) + kEnc + mp::array(2) + mp::str("u") + test::ip_wire({1, 2, 3, 4}),
       "invalid length 2, expected struct ConfigEndpoint with 3 elements"},
      {"Config of 4", mp::array(4) + kEnc + kEnd + kCli + mp::kNil,
       "array had incorrect length, expected 3"},
      // ambiguous: the fourth element is never read, so even a reserved byte there is not seen.
      {"Config of 4 ending in a reserved byte", mp::array(4) + kEnc + kEnd + kCli + hex("c1"),
       "array had incorrect length, expected 3"},
      {"Config of 4 with a bad third element", mp::array(4) + kEnc + kEnd + mp::kNil + mp::kNil,
       "invalid type: unit value, expected struct ConfigClient"},
      {"ConfigEncryption of 2",
       mp::array(3) +
           (mp::array(2) + test::key_wire(kConfig.encryption.client_key) +
            test::key_wire(kConfig.encryption.server_key)) +
           kEnd + kCli,
       "invalid length 2, expected struct ConfigEncryption with 3 elements"},
      {"ConfigEncryption of 0", mp::array(3) + mp::array(0) + kEnd + kCli,
       "invalid length 0, expected struct ConfigEncryption with 3 elements"},
      {"ConfigEncryption of 4",
       mp::array(3) + (mp::array(4) + kEnc.substr(1) + mp::str("x")) + kEnd + kCli,
       "array had incorrect length, expected 3"},
      {"ConfigEndpoint of 2",
       mp::array(3) + kEnc + (mp::array(2) + mp::str("u") + test::ip_wire({1, 2, 3, 4})) + kCli,
       "invalid length 2, expected struct ConfigEndpoint with 3 elements"},
      {"ConfigEndpoint of 0", mp::array(3) + kEnc + mp::array(0) + kCli,
       "invalid length 0, expected struct ConfigEndpoint with 3 elements"},
      {"ConfigEndpoint of 4",
       mp::array(3) + kEnc + (mp::array(4) + kEnd.substr(1) + mp::kNil) + kCli,
       "array had incorrect length, expected 3"},
      {"ConfigClient of 1",
       mp::array(3) + kEnc + kEnd + (mp::array(1) + test::ip_wire({1, 2, 3, 4})),
       "invalid length 1, expected struct ConfigClient with 2 elements"},
      {"ConfigClient of 0", mp::array(3) + kEnc + kEnd + mp::array(0),
       "invalid length 0, expected struct ConfigClient with 2 elements"},
      {"ConfigClient of 3",
       mp::array(3) + kEnc + kEnd + (mp::array(3) + kCli.substr(1) + hex("90")),
       "array had incorrect length, expected 2"},
  };
  check(std::begin(rows), std::end(rows));
}

TEST(DecodeRecords, RefusesOtherKindsWhereARecordIsExpected) {
  auto with_enc = [](const std::string& v) { return mp::array(3) + v + kEnd + kCli; };
  auto with_end = [](const std::string& v) { return mp::array(3) + kEnc + v + kCli; };
  auto with_cli = [](const std::string& v) { return mp::array(3) + kEnc + kEnd + v; };
  const Row rows[] = {
      {"Config nil", mp::kNil, "invalid type: unit value, expected struct Config"},
      {"Config true", mp::kTrue, "invalid type: boolean `true`, expected struct Config"},
      {"Config integer", hex("05"), "invalid type: integer `5`, expected struct Config"},
      {"Config negative integer", hex("fd"), "invalid type: integer `-3`, expected struct Config"},
      {"Config float", mp::f64(0.5), "invalid type: floating point `0.5`, expected struct Config"},
      {"Config str", mp::str("x"), "invalid type: string \"x\", expected struct Config"},
      {"Config str with escapes", mp::str("a\"\\\n"),
       "invalid type: string \"a\\\"\\\\\\n\", expected struct Config"},
      {"Config ext", hex("d4 01 00"), "invalid type: newtype struct, expected struct Config"},
      {"Config ext 8", hex("c7 02 01 00 00"),
       "invalid type: newtype struct, expected struct Config"},
      {"ConfigEncryption str", with_enc(mp::str("key")),
       "invalid type: string \"key\", expected struct ConfigEncryption"},
      {"ConfigEncryption false", with_enc(mp::kFalse),
       "invalid type: boolean `false`, expected struct ConfigEncryption"},
      {"ConfigEndpoint integer", with_end(mp::u16(51820)),
       "invalid type: integer `51820`, expected struct ConfigEndpoint"},
      {"ConfigEndpoint ext", with_end(hex("d5 01 00 00")),
       "invalid type: newtype struct, expected struct ConfigEndpoint"},
      {"ConfigClient nil", with_cli(mp::kNil),
       "invalid type: unit value, expected struct ConfigClient"},
      {"ConfigClient float 32", with_cli(mp::f32(2.0f)),
       "invalid type: floating point `2.0`, expected struct ConfigClient"},
      // A bin is read like an array of its bytes.
      {"Config empty bin", mp::bin8(""),
       "invalid length 0, expected struct Config with 3 elements"},
      {"Config bin", mp::bin8(hex("05 06 07")),
       "invalid type: integer `5`, expected struct ConfigEncryption"},
      {"ConfigEncryption empty bin", with_enc(mp::bin8("")),
       "invalid length 0, expected struct ConfigEncryption with 3 elements"},
      {"ConfigEncryption bin", with_enc(mp::bin16("ABC")),
       "invalid type: integer `65`, expected a string"},
      {"ConfigEndpoint empty bin", with_end(mp::bin8("")),
       "invalid length 0, expected struct ConfigEndpoint with 3 elements"},
      {"ConfigEndpoint bin", with_end(mp::bin8("u")),
       "invalid type: integer `117`, expected a string"},
      {"ConfigClient empty bin", with_cli(mp::bin32("")),
       "invalid length 0, expected struct ConfigClient with 2 elements"},
      {"ConfigClient bin", with_cli(mp::bin8(hex("0a 00"))),
       "invalid type: integer `10`, expected an array of length 4"},
  };
  check(std::begin(rows), std::end(rows));
}

TEST(DecodeRecords, RefusesMissingAndDuplicateFieldsAndBadKeys) {
  auto config_map = [](const std::string& entries, std::size_t n) { return mp::map(n) + entries; };
  const std::string ck = test::key_wire(kConfig.encryption.client_key);
  const std::string sk = test::key_wire(kConfig.encryption.server_key);
  const std::string pk = test::key_wire(kConfig.encryption.shared_key);
  const std::string url = mp::str(kConfig.endpoint.url);
  const std::string eip = test::ip_wire(kConfig.endpoint.ip);
  const std::string port = mp::uint(kConfig.endpoint.port);
  const std::string cip = test::ip_wire(kConfig.client.ip);
  const std::string ports = test::ports_wire(kConfig.client.ports);
  auto with_enc = [](const std::string& v) { return mp::array(3) + v + kEnd + kCli; };
  auto with_end = [](const std::string& v) { return mp::array(3) + kEnc + v + kCli; };
  auto with_cli = [](const std::string& v) { return mp::array(3) + kEnc + kEnd + v; };
  auto with_key = [&](const std::string& key) {
    return config_map(entry("encryption", kEnc) + key + mp::kNil + entry("endpoint", kEnd) +
                          entry("client", kCli),
                      4);
  };
  const Row rows[] = {
      {"no client", config_map(entry("encryption", kEnc) + entry("endpoint", kEnd), 2),
       "missing field `client`"},
      {"no endpoint", config_map(entry("client", kCli) + entry("encryption", kEnc), 2),
       "missing field `endpoint`"},
      {"only the endpoint", config_map(entry("endpoint", kEnd), 1), "missing field `encryption`"},
      {"empty map", mp::map(0), "missing field `encryption`"},
      {"empty map 16", mp::map16(0), "missing field `encryption`"},
      {"client misspelt",
       config_map(entry("encryption", kEnc) + entry("endpoint", kEnd) + entry("Client", kCli), 3),
       "missing field `client`"},
      {"no shared_key", with_enc(mp::map(2) + entry("client_key", ck) + entry("server_key", sk)),
       "missing field `shared_key`"},
      {"only the server_key", with_enc(mp::map(1) + entry("server_key", sk)),
       "missing field `client_key`"},
      {"no port", with_end(mp::map(2) + entry("url", url) + entry("ip", eip)),
       "missing field `port`"},
      {"no url", with_end(mp::map(2) + entry("port", port) + entry("ip", eip)),
       "missing field `url`"},
      {"no ports", with_cli(mp::map(1) + entry("ip", cip)), "missing field `ports`"},
      {"empty client", with_cli(mp::map(0)), "missing field `ip`"},
      {"endpoint twice",
       config_map(entry("encryption", kEnc) + entry("endpoint", kEnd) + entry("endpoint", kEnd) +
                      entry("client", kCli),
                  4),
       "duplicate field `endpoint`"},
      {"endpoint by name and by index",
       config_map(entry("endpoint", kEnd) + entry(1, kEnd) + entry("encryption", kEnc) +
                      entry("client", kCli),
                  4),
       "duplicate field `endpoint`"},
      {"encryption by bin and by name",
       config_map(mp::bin8("encryption") + kEnc + entry("encryption", kEnc), 2),
       "duplicate field `encryption`"},
      // The duplicate is met before the map ends, so it wins over the missing field.
      {"duplicate before a missing field", config_map(entry(0, kEnc) + entry(0, kEnc), 2),
       "duplicate field `encryption`"},
      {"client_key twice",
       with_enc(mp::map(4) + entry("client_key", ck) + entry("server_key", sk) +
                entry("client_key", ck) + entry("shared_key", pk)),
       "duplicate field `client_key`"},
      {"port twice",
       with_end(mp::map(4) + entry("port", port) + entry("url", url) + entry("ip", eip) +
                entry(2, port)),
       "duplicate field `port`"},
      {"ip twice",
       with_cli(mp::map(3) + entry("ip", cip) + entry("ip", cip) + entry("ports", ports)),
       "duplicate field `ip`"},
      {"key -1", with_key(hex("ff")), "invalid type: integer `-1`, expected field identifier"},
      {"key int 8 holding 0", with_key(mp::i8(0)),
       "invalid type: integer `0`, expected field identifier"},
      {"key int 64 holding 2", with_key(mp::i64(2)),
       "invalid type: integer `2`, expected field identifier"},
      {"key nil", with_key(mp::kNil), "invalid type: unit value, expected field identifier"},
      {"key false", with_key(mp::kFalse),
       "invalid type: boolean `false`, expected field identifier"},
      {"key float 32", with_key(mp::f32(0.5f)),
       "invalid type: floating point `0.5`, expected field identifier"},
      {"key float 64", with_key(mp::f64(1.0)),
       "invalid type: floating point `1.0`, expected field identifier"},
      {"key array", with_key(hex("91 00")), "invalid type: sequence, expected field identifier"},
      {"key map", with_key(hex("80")), "invalid type: map, expected field identifier"},
      {"key ext", with_key(hex("d4 01 00")),
       "invalid type: newtype struct, expected field identifier"},
      {"key in an inner record", with_cli(mp::map(2) + hex("ff") + cip + entry("ports", ports)),
       "invalid type: integer `-1`, expected field identifier"},
      {"key reserved", with_key(hex("c1")), "wrong msgpack marker Reserved"},
      {"reserved byte in a skipped value",
       config_map(entry("encryption", kEnc) + entry("x", hex("c1")), 2),
       "wrong msgpack marker Reserved"},
      {"reserved byte deep in a skipped value",
       config_map(entry("encryption", kEnc) + entry("x", hex("92 91 81 01 c1")), 2),
       "wrong msgpack marker Reserved"},
      {"skipped value cut in its length",
       config_map(entry("encryption", kEnc) + entry("x", hex("d9")), 2), std::string(kDataEof)},
      {"skipped value cut in its bytes",
       config_map(entry("encryption", kEnc) + entry("x", hex("c5 00 10 01 02")), 2),
       std::string(kBytesEof)},
      {"skipped array cut short",
       config_map(entry("encryption", kEnc) + entry("x", hex("93 01 02")), 2),
       std::string(kMarkerEof)},
      {"map claiming more entries than it has",
       mp::map32(0x7fffffff) + entry("encryption", kEnc) + entry("endpoint", kEnd) +
           entry("client", kCli),
       std::string(kMarkerEof)},
  };
  check(std::begin(rows), std::end(rows));
}

// Fields are converted in wire order and the first failure decides the text.
TEST(DecodeRecords, ReportsTheFirstBadFieldInWireOrder) {
  const std::string bad_server_key = mp::str(test::b64(std::string(31, 'k')));
  const std::string enc_bad = mp::array(3) + test::key_wire(kConfig.encryption.client_key) +
                              bad_server_key + test::key_wire(kConfig.encryption.shared_key);
  const std::string cli_bad = mp::array(2) + hex("93 0a 00 00") + test::ports_wire({});
  const Row rows[] = {
      {"array form: the key comes first", mp::array(3) + enc_bad + kEnd + cli_bad,
       "Invalid key length: 31"},
      {"map form, client first",
       mp::map(3) + entry("client", cli_bad) + entry("endpoint", kEnd) +
           entry("encryption", enc_bad),
       "invalid length 3, expected an array of length 4"},
      {"map form, encryption first",
       mp::map(3) + entry("encryption", enc_bad) + entry("client", cli_bad) +
           entry("endpoint", kEnd),
       "Invalid key length: 31"},
      {"a bad field before a missing one", mp::map(1) + entry("client", cli_bad),
       "invalid length 3, expected an array of length 4"},
      // ambiguous: the duplicate is refused when its key is met, before its value is read.
      {"a bad field after a duplicate",
       mp::map(3) + entry("encryption", kEnc) + entry("encryption", enc_bad) +
           entry("client", cli_bad),
       "duplicate field `encryption`"},
      {"inner map form: the port before the url",
       mp::array(3) + kEnc +
           (mp::map(3) + entry("port", mp::u32(65536)) + entry("url", mp::kNil) +
            entry("ip", hex("90"))) +
           kCli,
       "invalid value: integer `65536`, expected u16"},
      {"inner map form: the url before the ip",
       mp::array(3) + kEnc +
           (mp::map(3) + entry("url", mp::kNil) + entry("ip", hex("90")) +
            entry("port", hex("01"))) +
           kCli,
       "invalid type: unit value, expected a string"},
      {"inner map form: the ip before the url",
       mp::array(3) + kEnc +
           (mp::map(3) + entry("ip", hex("90")) + entry("url", mp::kNil) +
            entry("port", hex("01"))) +
           kCli,
       "invalid length 0, expected an array of length 4"},
  };
  check(std::begin(rows), std::end(rows));
}

// Writes a value in any of the equivalent forms the decoder must accept, chosen at random.
class RandomWire {
 public:
  explicit RandomWire(std::uint32_t seed) : rng_(seed) {}

  std::size_t pick(std::size_t n) {
    return std::uniform_int_distribution<std::size_t>(0, n - 1)(rng_);
  }

  std::string uint(std::uint64_t v) {
    std::vector<std::string> forms = {mp::u64(v)};
    if (v < 128) forms.push_back(mp::uint(v));
    if (v < 0x100) forms.push_back(mp::u8(v));
    if (v < 0x10000) forms.push_back(mp::u16(v));
    if (v < 0x100000000) forms.push_back(mp::u32(v));
    if (v < 0x80) forms.push_back(mp::i8(static_cast<std::int64_t>(v)));
    if (v < 0x8000) forms.push_back(mp::i16(static_cast<std::int64_t>(v)));
    if (v < 0x80000000) forms.push_back(mp::i32(static_cast<std::int64_t>(v)));
    if (v < 0x8000000000000000) forms.push_back(mp::i64(static_cast<std::int64_t>(v)));
    return forms[pick(forms.size())];
  }
  // Only unsigned forms name a field or a variant.
  std::string index(std::uint64_t v) {
    std::vector<std::string> forms = {mp::u64(v), mp::u32(v), mp::u16(v), mp::u8(v)};
    if (v < 128) forms.push_back(mp::uint(v));
    return forms[pick(forms.size())];
  }
  std::string text(std::string_view s) {
    std::vector<std::string> forms = {mp::str16(s), mp::str32(s), mp::bin16(s), mp::bin32(s)};
    if (s.size() < 32) forms.push_back(mp::str(s));
    if (s.size() < 0x100) {
      forms.push_back(mp::str8(s));
      forms.push_back(mp::bin8(s));
    }
    return forms[pick(forms.size())];
  }
  std::string array_header(std::size_t n) {
    std::vector<std::string> forms = {mp::array16(n), mp::array32(n)};
    if (n < 16) forms.push_back(mp::array(n));
    return forms[pick(forms.size())];
  }
  std::string map_header(std::size_t n) {
    std::vector<std::string> forms = {mp::map16(n), mp::map32(n)};
    if (n < 16) forms.push_back(mp::map(n));
    return forms[pick(forms.size())];
  }
  std::string name(std::string_view field, std::uint64_t position) {
    return pick(3) == 0 ? index(position) : text(field);
  }
  // Something to be skipped: any kind, nested a little.
  std::string junk(int depth = 0) {
    switch (pick(depth < 3 ? 10 : 8)) {
      case 0:
        return mp::kNil;
      case 1:
        return pick(2) ? mp::kTrue : mp::kFalse;
      case 2:
        return mp::f64(0.25);
      case 3:
        return mp::i64(-5);
      case 4:
        return text("junk");
      case 5:
        return mp::bin8(hex("ff c1 00"));
      case 6:
        return hex("d6 07 c1 c1 c1 c1");
      case 7:
        return uint(pick(1000));
      case 8: {
        std::size_t n = pick(4);
        std::string out = array_header(n);
        for (std::size_t i = 0; i < n; ++i) out += junk(depth + 1);
        return out;
      }
      default: {
        std::size_t n = pick(3);
        std::string out = map_header(n);
        for (std::size_t i = 0; i < n; ++i) out += junk(depth + 1) + junk(depth + 1);
        return out;
      }
    }
  }
  // A record in array form, or in map form with its entries shuffled and unknown ones mixed in.
  std::string record(const std::vector<std::pair<std::string, std::string>>& fields) {
    if (pick(2) == 0) {
      std::string out = array_header(fields.size());
      for (const auto& f : fields) out += f.second;
      return out;
    }
    std::vector<std::string> entries;
    for (std::size_t i = 0; i < fields.size(); ++i)
      entries.push_back(name(fields[i].first, i) + fields[i].second);
    for (std::size_t extra = pick(3); extra > 0; --extra)
      entries.push_back((pick(2) ? text("unknown_" + std::to_string(pick(100)))
                                 : index(fields.size() + pick(5))) +
                        junk());
    std::shuffle(entries.begin(), entries.end(), rng_);
    std::string out = map_header(entries.size());
    for (const auto& e : entries) out += e;
    return out;
  }
  std::string ip(const Ipv4Address& ip) {
    if (pick(3) == 0) {
      std::string bytes(ip.begin(), ip.end());
      bytes += std::string(pick(3), '\x7f');
      return pick(2) ? mp::bin8(bytes) : mp::bin32(bytes);
    }
    std::string out = array_header(4);
    for (auto b : ip) out += uint(b);
    return out;
  }
  std::string ports(const std::vector<std::uint16_t>& ports) {
    if (std::all_of(ports.begin(), ports.end(), [](auto p) { return p < 256; }) && pick(3) == 0)
      return mp::bin16(std::string(ports.begin(), ports.end()));
    std::string out = array_header(ports.size());
    for (auto p : ports) out += uint(p);
    return out;
  }
  std::string config(const Config& c) {
    return record({
        {"encryption", record({{"client_key", text(test::key_text(c.encryption.client_key))},
                               {"server_key", text(test::key_text(c.encryption.server_key))},
                               {"shared_key", text(test::key_text(c.encryption.shared_key))}})},
        {"endpoint", record({{"url", text(c.endpoint.url)},
                             {"ip", ip(c.endpoint.ip)},
                             {"port", uint(c.endpoint.port)}})},
        {"client", record({{"ip", ip(c.client.ip)}, {"ports", ports(c.client.ports)}})},
    });
  }
  Config random_config() {
    auto byte = [&] { return static_cast<std::uint8_t>(pick(256)); };
    Config c;
    for (Key* k : {&c.encryption.client_key, &c.encryption.server_key, &c.encryption.shared_key})
      for (auto& b : *k) b = byte();
    static const char* const kPieces[] = {
        "a",  "Z",  "0", ".", "/", " ", "\xC3\xA9", "\xE2\x82\xAC", "\xF0\x9F\x98\x80",
        "\"", "\\", "\n"};
    for (std::size_t n = pick(pick(8) == 0 ? 300 : 20); n > 0; --n)
      c.endpoint.url += kPieces[pick(12)];
    for (auto& b : c.endpoint.ip) b = byte();
    c.endpoint.port = static_cast<std::uint16_t>(pick(65536));
    for (auto& b : c.client.ip) b = byte();
    for (std::size_t n = pick(12); n > 0; --n)
      c.client.ports.push_back(static_cast<std::uint16_t>(pick(2) ? pick(256) : pick(65536)));
    return c;
  }
  std::string wrapper(std::string_view variant, std::uint64_t position) {
    return map_header(1) + name(variant, position);
  }

 private:
  std::mt19937 rng_;
};

TEST(DecodeRecords, AcceptsEveryEquivalentFormOfRandomCommands) {
  RandomWire wire(20261208);
  for (int i = 0; i < 500; ++i) {
    const Config config = wire.random_config();
    const std::string bytes = wire.wrapper("Connect", 0) + wire.config(config);
    SCOPED_TRACE("Connect " + std::to_string(i) + ": " + test::b64(bytes));
    auto decoded = decode_command(test::line_of(bytes));
    ASSERT_TRUE(decoded.command.has_value()) << decoded.command.error().message;
    EXPECT_EQ(*decoded.command, Command{Connect{config}});
  }
  for (int i = 0; i < 100; ++i) {
    const bool info = wire.pick(2);
    const std::string bytes =
        wire.pick(2)
            ? wire.wrapper(info ? "Info" : "Disconnect", info ? 2 : 1) + mp::kNil
            : (wire.pick(2) ? wire.text(info ? "Info" : "Disconnect") : wire.index(info ? 2 : 1));
    SCOPED_TRACE(test::b64(bytes));
    auto decoded = decode_command(test::line_of(bytes));
    ASSERT_TRUE(decoded.command.has_value()) << decoded.command.error().message;
    EXPECT_EQ(*decoded.command, info ? Command{Info{}} : Command{Disconnect{}});
  }
}

}  // namespace
}  // namespace kesta::protocol
