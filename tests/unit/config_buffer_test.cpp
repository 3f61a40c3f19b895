#include "driver/config_buffer.h"

#include <gtest/gtest.h>

#include "driver_test_util.h"

#include <cstring>
#include <limits>
#include <vector>

namespace kesta::driver {
namespace {

using test::key_of;
using test::service_config;

std::vector<std::uint8_t> bytes_of(const InterfaceConfig& config) {
  auto buffer = write_config_buffer(config);
  EXPECT_TRUE(buffer.has_value());
  return {buffer->data(), buffer->data() + buffer->size()};
}

void put(std::vector<std::uint8_t>& bytes, std::size_t offset, std::vector<std::uint8_t> value) {
  std::copy(value.begin(), value.end(), bytes.begin() + static_cast<std::ptrdiff_t>(offset));
}

void put_key(std::vector<std::uint8_t>& bytes, std::size_t offset, const Key& key) {
  std::copy(key.begin(), key.end(), bytes.begin() + static_cast<std::ptrdiff_t>(offset));
}

TEST(ConfigBuffer, ServiceConfigurationIsExactly240BytesAtEveryOffset) {
  std::vector<std::uint8_t> expected(240, 0);
  put(expected, 0, {0x0A, 0, 0, 0});         // interface flags
  put_key(expected, 6, key_of(0x10));        // private key
  put(expected, 72, {1, 0, 0, 0});           // peers count
  put(expected, 80, {0x0F, 0, 0, 0});        // peer flags
  put_key(expected, 80 + 8, key_of(0x40));   // public key
  put_key(expected, 80 + 40, key_of(0x80));  // preshared key
  put(expected, 80 + 72, {15, 0});           // keepalive
  put(expected, 80 + 76, {2, 0});            // AF_INET
  put(expected, 80 + 78, {0xCA, 0x6C});      // port 51820, network order
  put(expected, 80 + 80, {192, 0, 2, 7});    // endpoint address
  put(expected, 80 + 128, {1, 0, 0, 0});     // allowed IPs count
  put(expected, 216 + 16, {2, 0});           // allowed IP family; address and Cidr 0

  EXPECT_EQ(config_buffer_size(service_config()), 240u);
  EXPECT_EQ(bytes_of(service_config()), expected);
}

TEST(ConfigBuffer, PeerFlagsFollowTheKeysPresent) {
  struct Row {
    bool keys;
    std::optional<std::uint16_t> keepalive;
    std::uint8_t flags;
  };
  for (const Row& row : {Row{false, std::nullopt, 0x08}, Row{false, 25, 0x0C},
                         Row{true, std::nullopt, 0x0B}, Row{true, 15, 0x0F}}) {
    InterfaceConfig config = service_config();
    if (!row.keys) {
      config.peers[0].public_key.reset();
      config.peers[0].preshared_key.reset();
    }
    config.peers[0].persistent_keepalive = row.keepalive;
    const std::vector<std::uint8_t> bytes = bytes_of(config);
    EXPECT_EQ(bytes[80], row.flags);
    const std::vector<std::uint8_t> keys(bytes.begin() + 88, bytes.begin() + 152);
    EXPECT_EQ(keys == std::vector<std::uint8_t>(64, 0), !row.keys);
    EXPECT_EQ(bytes[152], row.keepalive.value_or(0) & 0xFF);
  }
}

TEST(ConfigBuffer, Ipv6EndpointAndPrefixes) {
  std::array<std::uint8_t, 16> address{};
  for (std::size_t i = 0; i < 16; ++i) address[i] = static_cast<std::uint8_t>(0xA0 + i);
  InterfaceConfig config = service_config();
  config.peers[0].endpoint = Ipv6Endpoint{address, 443};
  config.peers[0].allowed_ips.push_back(IpPrefix::ipv6(address, 64));
  const std::vector<std::uint8_t> bytes = bytes_of(config);

  ASSERT_EQ(bytes.size(), 264u);
  const std::size_t peer = 80;
  EXPECT_EQ(bytes[peer + 76], 23);
  EXPECT_EQ(bytes[peer + 77], 0);
  EXPECT_EQ(bytes[peer + 78], 0x01);
  EXPECT_EQ(bytes[peer + 79], 0xBB);
  EXPECT_EQ(std::vector<std::uint8_t>(bytes.begin() + peer + 80, bytes.begin() + peer + 84),
            std::vector<std::uint8_t>(4, 0));  // flow information
  EXPECT_TRUE(std::equal(address.begin(), address.end(), bytes.begin() + peer + 84));
  EXPECT_EQ(std::vector<std::uint8_t>(bytes.begin() + peer + 100, bytes.begin() + peer + 104),
            std::vector<std::uint8_t>(4, 0));  // scope identifier
  const std::size_t second_ip = 80 + 136 + 24;
  EXPECT_TRUE(std::equal(address.begin(), address.end(), bytes.begin() + second_ip));
  EXPECT_EQ(bytes[second_ip + 16], 23);
  EXPECT_EQ(bytes[second_ip + 18], 64);
}

TEST(ConfigBuffer, ParsesWhatTheDriverReturns) {
  std::vector<std::uint8_t> bytes = bytes_of(service_config());
  put(bytes, 4, {0x39, 0x30});                                             // listen port 12345
  put(bytes, 80 + 104, {1, 2, 0, 0, 0, 0, 0, 0});                          // tx 513
  put(bytes, 80 + 112, {0, 0, 0, 0, 1, 0, 0, 0});                          // rx 2^32
  put(bytes, 80 + 120, {0x01, 0x80, 0x3E, 0xD5, 0xDE, 0xB1, 0x9D, 0x01});  // 1970 + 1 interval

  const auto state = parse_config_buffer(bytes);
  ASSERT_TRUE(state.has_value()) << state.error().message();
  EXPECT_EQ(state->flags, 0x0Au);
  EXPECT_EQ(state->listen_port, 12345);
  EXPECT_EQ(state->private_key, key_of(0x10));
  ASSERT_EQ(state->peers.size(), 1u);
  const PeerState& peer = state->peers[0];
  EXPECT_EQ(peer.flags, 0x0Fu);
  EXPECT_EQ(peer.public_key, key_of(0x40));
  EXPECT_EQ(peer.preshared_key, key_of(0x80));
  EXPECT_EQ(peer.persistent_keepalive, 15);
  EXPECT_EQ(peer.endpoint, Endpoint(Ipv4Endpoint{{192, 0, 2, 7}, 51820}));
  EXPECT_EQ(peer.tx_bytes, 513u);
  EXPECT_EQ(peer.rx_bytes, 1ull << 32);
  EXPECT_EQ(peer.last_handshake, protocol::SystemTime{protocol::kUnixEpochIntervals + 1});
  EXPECT_EQ(peer.allowed_ips, std::vector<IpPrefix>{IpPrefix::ipv4({0, 0, 0, 0}, 0)});
}

TEST(ConfigBuffer, ReadsIpv6EndpointWithFlowAndScope) {
  std::array<std::uint8_t, 16> address{};
  address[15] = 1;
  InterfaceConfig config = service_config();
  config.peers[0].endpoint = Ipv6Endpoint{address, 8080};
  std::vector<std::uint8_t> bytes = bytes_of(config);
  put(bytes, 80 + 80, {7, 0, 0, 0});
  put(bytes, 80 + 100, {9, 0, 0, 0});
  const auto state = parse_config_buffer(bytes);
  ASSERT_TRUE(state.has_value());
  EXPECT_EQ(state->peers[0].endpoint, Endpoint(Ipv6Endpoint{address, 8080, 7, 9}));
}

TEST(ConfigBuffer, RefusesMalformedBuffersWithTheirText) {
  struct Row {
    const char* what;
    std::size_t size;  // of the buffer handed to the parser
    std::vector<std::pair<std::size_t, std::vector<std::uint8_t>>> patches;
    const char* message;  // nullptr: accepted
  };
  const std::vector<Row> rows = {
      {"endpoint family 0", 240, {{80 + 76, {0, 0}}}, "Illegal address family 0"},
      {"endpoint family 10", 240, {{80 + 76, {10, 0}}}, "Illegal address family 10"},
      {"IPv4 Cidr 33", 240, {{216 + 18, {33}}}, "prefix is valid"},
      {"IPv4 Cidr 32", 240, {{216 + 18, {32}}}, nullptr},
      {"IPv6 Cidr 128", 240, {{216 + 16, {23}}, {216 + 18, {128}}}, nullptr},
      {"IPv6 Cidr 129", 240, {{216 + 16, {23}}, {216 + 18, {129}}}, "prefix is valid"},
      {"allowed IP family 1", 240, {{216 + 16, {1, 0}}}, "Illegal address family 1"},
      {"peer past the end",
       80,
       {},
       "Overflow attempting to read struct of size 136. To allocation size: 80, offset: 80"},
      {"allowed IP past the end",
       216,
       {},
       "Overflow attempting to read struct of size 24. To allocation size: 216, offset: 216"},
      {"interface past the end",
       40,
       {},
       "Overflow attempting to read struct of size 80. To allocation size: 40, offset: 0"},
      {"peer count beyond the buffer",
       240,
       {{72, {0xFF, 0xFF, 0xFF, 0xFF}}},
       "Overflow attempting to read struct of size 136. To allocation size: 240, offset: 240"},
      {"no peers", 240, {{72, {0, 0, 0, 0}}}, nullptr},
  };
  for (const Row& row : rows) {
    std::vector<std::uint8_t> bytes = bytes_of(service_config());
    for (const auto& [offset, value] : row.patches) put(bytes, offset, value);
    const auto state = parse_config_buffer(std::span(bytes).first(row.size));
    if (row.message == nullptr) {
      EXPECT_TRUE(state.has_value()) << row.what << ": " << state.error().message();
    } else {
      ASSERT_FALSE(state.has_value()) << row.what;
      EXPECT_EQ(state.error().message(), row.message) << row.what;
      EXPECT_EQ(state.error().cause(), nullptr) << row.what;
    }
  }
}

TEST(ConfigBuffer, LastHandshakeConversion) {
  constexpr auto kEpoch = static_cast<std::uint64_t>(protocol::kUnixEpochIntervals);
  struct Row {
    std::uint64_t intervals;
    std::optional<std::int64_t> expected;
  };
  for (const Row& row : {
           Row{0, std::nullopt},
           Row{1, protocol::kUnixEpochIntervals},
           Row{kEpoch - 1, protocol::kUnixEpochIntervals},
           Row{kEpoch, protocol::kUnixEpochIntervals},
           Row{kEpoch + 1, protocol::kUnixEpochIntervals + 1},
           Row{133'000'000'000'000'000, 133'000'000'000'000'000},
           Row{std::numeric_limits<std::uint64_t>::max(), std::numeric_limits<std::int64_t>::max()},
       }) {
    const auto converted = last_handshake_from_driver(row.intervals);
    ASSERT_EQ(converted.has_value(), row.expected.has_value()) << row.intervals;
    if (converted) {
      EXPECT_EQ(converted->intervals, *row.expected) << row.intervals;
    }
  }
}

}  // namespace
}  // namespace kesta::driver
