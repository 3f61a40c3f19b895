#include "protocol/encode.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <string>

#include "codec_test_util.h"
#include "protocol/decode.h"

namespace kesta::protocol {
namespace {

using test::hex;
namespace mp = test::mp;

const std::string kConnected = hex("81 a9 43 6f 6e 6e 65 63 74 65 64");
const std::string kError = hex("81 a5 45 72 72 6f 72");

Response connected(std::optional<std::int64_t> handshake, std::uint64_t tx, std::uint64_t rx) {
  WireguardInterfaceInfo info;
  if (handshake) info.last_handshake = SystemTime{*handshake};
  info.tx_bytes = tx;
  info.rx_bytes = rx;
  return Connected{info};
}

struct Row {
  const char* name;
  Response response;
  std::string msgpack;  // the bytes the line must carry
};

std::vector<Row> response_rows() {
  const std::int64_t epoch = kUnixEpochIntervals;
  std::vector<Row> rows = {
      {"Disconnected", Disconnected{}, hex("ac 44 69 73 63 6f 6e 6e 65 63 74 65 64")},
      {"Connected, no handshake, no traffic", connected(std::nullopt, 0, 0),
       hex("81 a9 43 6f 6e 6e 65 63 74 65 64 93 c0 00 00")},
      {"Connected with handshake and traffic", connected(133'444'736'005'000'000, 1234, 5678),
       hex("81 a9 43 6f 6e 6e 65 63 74 65 64 93 92 ce 65 53 f1 00 ce 1d cd 65 00 cd 04 d2 cd 16 "
           "2e")},
      {"handshake at the epoch", connected(epoch, 0, 0), kConnected + hex("93 92 00 00 00 00")},
      {"one interval after the epoch", connected(epoch + 1, 0, 0),
       kConnected + hex("93 92 00 64 00 00")},
      {"last interval of the first second", connected(epoch + 9'999'999, 0, 0),
       kConnected + hex("93 92 00 ce 3b 9a c9 9c 00 00")},
      {"one second after the epoch", connected(epoch + 10'000'000, 0, 0),
       kConnected + hex("93 92 01 00 00 00")},
      {"the latest time", connected(std::numeric_limits<std::int64_t>::max(), 0, 0),
       kConnected + hex("93 92 cf 00 00 00 d4 09 84 44 e5 ce 1c 77 4d 9c 00 00")},
      {"127 bytes", connected(std::nullopt, 127, 0), kConnected + hex("93 c0 7f 00")},
      {"128 bytes", connected(std::nullopt, 128, 0), kConnected + hex("93 c0 cc 80 00")},
      {"255 bytes", connected(std::nullopt, 0, 255), kConnected + hex("93 c0 00 cc ff")},
      {"256 bytes", connected(std::nullopt, 0, 256), kConnected + hex("93 c0 00 cd 01 00")},
      {"65535 bytes", connected(std::nullopt, 65535, 0), kConnected + hex("93 c0 cd ff ff 00")},
      {"65536 bytes", connected(std::nullopt, 65536, 0),
       kConnected + hex("93 c0 ce 00 01 00 00 00")},
      {"4294967295 bytes", connected(std::nullopt, 0, 4294967295u),
       kConnected + hex("93 c0 00 ce ff ff ff ff")},
      {"4294967296 bytes", connected(std::nullopt, 4294967296u, 0),
       kConnected + hex("93 c0 cf 00 00 00 01 00 00 00 00 00")},
      {"largest counts", connected(std::nullopt, ~0ull, ~0ull),
       kConnected + hex("93 c0 cf ff ff ff ff ff ff ff ff cf ff ff ff ff ff ff ff ff")},
      {"empty Error", Error{""}, kError + hex("a0")},
      {"Error", Error{"Failed to connect: x"}, kError + mp::str("Failed to connect: x")},
      {"Error with UTF-8 and control characters", Error{"\xC3\xA9\n\"\\\x1b"},
       kError + hex("a6 c3 a9 0a 22 5c 1b")},
  };
  // String widths around every boundary; the bytes follow the header unchanged.
  struct Width {
    std::size_t length;
    std::string header;
  };
  const Width widths[] = {
      {31, hex("bf")},        {32, hex("d9 20")},       {255, hex("d9 ff")},
      {256, hex("da 01 00")}, {65535, hex("da ff ff")}, {65536, hex("db 00 01 00 00")},
  };
  for (const Width& w : widths) {
    std::string text(w.length, 'e');
    text[0] = 'E';
    text.back() = '!';
    rows.push_back({"Error text at a width boundary", Error{text}, kError + w.header + text});
  }
  return rows;
}

TEST(EncodeResponse, WritesTheShortestFormAsOneBase64Line) {
  for (const Row& row : response_rows()) {
    SCOPED_TRACE(row.name + std::string(", ") + std::to_string(row.msgpack.size()) + " bytes");
    auto line = encode_response(row.response);
    ASSERT_TRUE(line.has_value()) << line.error();
    EXPECT_EQ(*line, test::b64(row.msgpack) + "\n");
  }
}

TEST(EncodeResponse, EndsEveryLineWithOneLineFeedAfterAMultipleOfFourCharacters) {
  for (const Row& row : response_rows()) {
    SCOPED_TRACE(row.name);
    auto line = encode_response(row.response);
    ASSERT_TRUE(line.has_value()) << line.error();
    ASSERT_FALSE(line->empty());
    EXPECT_EQ(line->back(), '\n');
    EXPECT_EQ(line->find_first_of(" \t\r\n\v\f"), line->size() - 1);
    EXPECT_EQ((line->size() - 1) % 4, 0u);
  }
}

TEST(EncodeResponse, WorkedExamples) {
  struct Example {
    Response response;
    const char* line;
  };
  const Example examples[] = {
      {Disconnected{}, "rERpc2Nvbm5lY3RlZA==\n"},
      {connected(std::nullopt, 0, 0), "galDb25uZWN0ZWSTwAAA\n"},
      {connected(133'444'736'005'000'000, 1234, 5678),
       "galDb25uZWN0ZWSTks5lU/EAzh3NZQDNBNLNFi4=\n"},
  };
  for (const Example& e : examples) {
    SCOPED_TRACE(e.line);
    EXPECT_EQ(encode_response(e.response), (std::expected<std::string, std::string>(e.line)));
    auto back = decode_response(e.line);
    ASSERT_TRUE(back.has_value()) << back.error();
    EXPECT_EQ(*back, e.response);
  }
}

TEST(EncodeResponse, RefusesAHandshakeBeforeTheEpoch) {
  const std::int64_t times[] = {kUnixEpochIntervals - 1, kUnixEpochIntervals - 10'000'000, 0, -1,
                                std::numeric_limits<std::int64_t>::min()};
  for (std::int64_t t : times) {
    SCOPED_TRACE(t);
    EXPECT_EQ(encode_response(connected(t, 1, 2)),
              std::unexpected(std::string("SystemTime must be later than UNIX_EPOCH")));
  }
}

TEST(EncodeResponse, DecodesBackToTheSameResponse) {
  for (const Row& row : response_rows()) {
    SCOPED_TRACE(row.name);
    auto line = encode_response(row.response);
    ASSERT_TRUE(line.has_value()) << line.error();
    auto back = decode_response(*line);
    ASSERT_TRUE(back.has_value()) << back.error();
    EXPECT_EQ(*back, row.response);
  }
}

TEST(EncodeCommand, WritesVariantNamesAndRecordsAsArrays) {
  struct Example {
    Command command;
    std::string msgpack;
  };
  Config edge;
  edge.encryption.server_key.fill(0xff);
  edge.endpoint.ip = {255, 128, 127, 0};
  edge.endpoint.port = 65535;
  edge.client.ip = {0, 0, 0, 0};
  edge.client.ports = {0, 127, 128, 255, 256, 65535};
  const Example examples[] = {
      {Info{}, hex("a4 49 6e 66 6f")},
      {Disconnect{}, hex("aa 44 69 73 63 6f 6e 6e 65 63 74")},
      {Connect{test::sample_config()},
       test::connect_wire(test::config_wire(test::sample_config()))},
      {Connect{edge}, test::connect_wire(test::config_wire(edge))},
  };
  for (const Example& e : examples) {
    SCOPED_TRACE(test::variant_name(e.command));
    EXPECT_EQ(encode_command(e.command), test::line_of(e.msgpack));
  }
}

TEST(EncodeCommand, DecodesBackToTheSameCommand) {
  std::vector<Command> commands = {Info{}, Disconnect{}, Connect{test::sample_config()}};
  Config c = test::sample_config();
  c.encryption = {};
  c.endpoint.url = "";
  c.client.ports = {};
  commands.push_back(Connect{c});
  c.encryption.client_key.fill(0xff);
  c.encryption.server_key = test::key_counting_from(7);
  c.encryption.shared_key = c.encryption.server_key;
  c.endpoint.url = "h\xC3\xA9llo \"w\xC3\xB6rld\"\n\\ \xF0\x9F\x98\x80" + std::string(300, 'u');
  c.endpoint.ip = {255, 255, 255, 255};
  c.endpoint.port = 65535;
  c.client.ip = {192, 168, 178, 1};
  for (std::uint32_t p = 0; p <= 65535; p += 97)
    c.client.ports.push_back(static_cast<std::uint16_t>(p));
  commands.push_back(Connect{c});
  c.endpoint.url = std::string(70000, 'x');
  commands.push_back(Connect{c});
  for (const Command& command : commands) {
    SCOPED_TRACE(test::variant_name(command));
    const std::string line = encode_command(command);
    ASSERT_FALSE(line.empty());
    EXPECT_EQ(line.back(), '\n');
    EXPECT_EQ((line.size() - 1) % 4, 0u);
    auto decoded = decode_command(line);
    ASSERT_TRUE(decoded.command.has_value()) << decoded.command.error().message;
    EXPECT_EQ(*decoded.command, command);
  }
}

// The client reads responses written by other encoders too, records in either form.
TEST(DecodeResponse, ReadsArrayAndMapForms) {
  const std::string info_map = mp::map(3) + mp::str("last_handshake") + mp::kNil +
                               mp::str("tx_bytes") + mp::u32(1234) + mp::str("rx_bytes") +
                               mp::u64(5678);
  struct Row {
    const char* name;
    std::string msgpack;
    Response expected;
  };
  const Row rows[] = {
      {"Disconnected", mp::str("Disconnected"), Disconnected{}},
      {"Error", kError + mp::str16("Failed to connect: x"), Error{"Failed to connect: x"}},
      {"Connected with wide integers",
       kConnected + hex("93 c0 cf 00 00 00 00 00 00 00 01 cd 00 02"),
       connected(std::nullopt, 1, 2)},
      {"Connected, info in map form", kConnected + info_map, connected(std::nullopt, 1234, 5678)},
      // ambiguous: the time in map form uses the names of its two wire fields.
      {"Connected, time in map form",
       kConnected + mp::array(3) + mp::map(2) + mp::str("nanos_since_epoch") +
           mp::u32(500'000'000) + mp::str("secs_since_epoch") + mp::u32(1'700'000'000) +
           hex("01 02"),
       connected(133'444'736'005'000'000, 1, 2)},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    auto decoded = decode_response(test::line_of(row.msgpack));
    ASSERT_TRUE(decoded.has_value()) << decoded.error();
    EXPECT_EQ(*decoded, row.expected);
  }
}

}  // namespace
}  // namespace kesta::protocol
