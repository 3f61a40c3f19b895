#include "protocol/render.h"

#include <gtest/gtest.h>

#include <limits>
#include <string>

#include "codec_test_util.h"

namespace kesta::protocol {
namespace {

std::string decimal_list(std::uint8_t first) {
  std::string out = "[";
  for (int i = 0; i < 32; ++i) {
    if (i > 0) out += ", ";
    out += std::to_string(first + i);
  }
  return out + "]";
}

TEST(Render, Commands) {
  const Config sample = test::sample_config();
  Config edge = sample;
  edge.encryption.client_key.fill(0xff);
  edge.encryption.server_key = {};
  edge.encryption.shared_key = edge.encryption.client_key;
  edge.endpoint.url = std::string("a\"b\\c\td\re\nf\0g\x1b[0m\x7f\xC2\x85\xC3\xA9", 22);
  edge.endpoint.ip = {255, 255, 255, 255};
  edge.endpoint.port = 0;
  edge.client.ip = {0, 0, 0, 0};
  edge.client.ports = {};
  Config one_port = sample;
  one_port.endpoint.url = "";
  one_port.client.ports = {65535};

  struct Row {
    Command command;
    std::string text;
  };
  const Row rows[] = {
      {Info{}, "Info"},
      {Disconnect{}, "Disconnect"},
      {Connect{sample},
       "Connect(Config { encryption: ConfigEncryption { client_key: [redacted], server_key: " +
           decimal_list(32) +
           ", shared_key: [redacted] }, endpoint: ConfigEndpoint { url: \"vpn.example.com\", ip: "
           "10.0.0.1, port: 51820 }, client: ConfigClient { ip: 10.0.0.2, ports: [53, 443] } })"},
      {Connect{edge},
       "Connect(Config { encryption: ConfigEncryption { client_key: [redacted], server_key: [0, 0, "
       "0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0], "
       "shared_key: [redacted] }, endpoint: ConfigEndpoint { url: "
       "\"a\\\"b\\\\c\\td\\re\\nf\\0g\\u{1b}[0m\\u{7f}\\u{85}\xC3\xA9\", ip: 255.255.255.255, "
       "port: 0 }, client: ConfigClient { ip: 0.0.0.0, ports: [] } })"},
      {Connect{one_port},
       "Connect(Config { encryption: ConfigEncryption { client_key: [redacted], server_key: " +
           decimal_list(32) +
           ", shared_key: [redacted] }, endpoint: ConfigEndpoint { url: \"\", ip: 10.0.0.1, port: "
           "51820 }, client: ConfigClient { ip: 10.0.0.2, ports: [65535] } })"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.text);
    EXPECT_EQ(render(row.command), row.text);
  }
}

TEST(Render, ConnectNeverShowsThePrivateOrPresharedKey) {
  Config config = test::sample_config();
  config.encryption.client_key.fill(201);
  config.encryption.shared_key.fill(202);
  const std::string text = render(Command{Connect{config}});
  EXPECT_EQ(text.find("201"), std::string::npos) << text;
  EXPECT_EQ(text.find("202"), std::string::npos) << text;
}

TEST(Render, Responses) {
  auto connected = [](std::optional<std::int64_t> t, std::uint64_t tx, std::uint64_t rx) {
    WireguardInterfaceInfo info;
    if (t) info.last_handshake = SystemTime{*t};
    info.tx_bytes = tx;
    info.rx_bytes = rx;
    return Response{Connected{info}};
  };
  struct Row {
    Response response;
    std::string text;
  };
  const Row rows[] = {
      {Disconnected{}, "Disconnected"},
      {connected(std::nullopt, 0, 0),
       "Connected(WireguardInterfaceInfo { last_handshake: None, tx_bytes: 0, rx_bytes: 0 })"},
      {connected(133'444'736'005'000'000, 1234, 5678),
       "Connected(WireguardInterfaceInfo { last_handshake: Some(SystemTime { intervals: "
       "133444736005000000 }), tx_bytes: 1234, rx_bytes: 5678 })"},
      {connected(kUnixEpochIntervals, 18446744073709551615u, 1),
       "Connected(WireguardInterfaceInfo { last_handshake: Some(SystemTime { intervals: "
       "116444736000000000 }), tx_bytes: 18446744073709551615, rx_bytes: 1 })"},
      // Rendering is no encoding: a time before 1970 still shows.
      {connected(0, 0, 0),
       "Connected(WireguardInterfaceInfo { last_handshake: Some(SystemTime { intervals: 0 }), "
       "tx_bytes: 0, rx_bytes: 0 })"},
      {connected(std::numeric_limits<std::int64_t>::min(), 0, 0),
       "Connected(WireguardInterfaceInfo { last_handshake: Some(SystemTime { intervals: "
       "-9223372036854775808 }), tx_bytes: 0, rx_bytes: 0 })"},
      {Error{"Failed to connect: Handshake timed out"},
       "Error(\"Failed to connect: Handshake timed out\")"},
      {Error{""}, "Error(\"\")"},
      {Error{std::string("q\"b\\t\tr\rn\nz\0e\x1b\x01", 15)},
       "Error(\"q\\\"b\\\\t\\tr\\rn\\nz\\0e\\u{1b}\\u{1}\")"},
      {Error{"\xC2\x9F\xC2\xA0\xE2\x80\xA8"}, "Error(\"\\u{9f}\xC2\xA0\\u{2028}\")"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.text);
    EXPECT_EQ(render(row.response), row.text);
  }
}

}  // namespace
}  // namespace kesta::protocol
