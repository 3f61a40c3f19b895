#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <variant>
#include <vector>

namespace kesta::protocol {

using Key = std::array<std::uint8_t, 32>;
// An IPv4 address as its four bytes in network order: 10.0.0.2 is {10, 0, 0, 2}.
using Ipv4Address = std::array<std::uint8_t, 4>;

struct ConfigEncryption {
  Key client_key{};
  Key server_key{};
  Key shared_key{};
  bool operator==(const ConfigEncryption&) const = default;
};

struct ConfigEndpoint {
  std::string url;
  Ipv4Address ip{};
  std::uint16_t port = 0;
  bool operator==(const ConfigEndpoint&) const = default;
};

struct ConfigClient {
  Ipv4Address ip{};
  std::vector<std::uint16_t> ports;
  bool operator==(const ConfigClient&) const = default;
};

struct Config {
  ConfigEncryption encryption;
  ConfigEndpoint endpoint;
  ConfigClient client;
  bool operator==(const Config&) const = default;
};

struct Connect {
  Config config;
  bool operator==(const Connect&) const = default;
};
struct Disconnect {
  bool operator==(const Disconnect&) const = default;
};
struct Info {
  bool operator==(const Info&) const = default;
};

// Variant order is the wire index: Connect 0, Disconnect 1, Info 2.
using Command = std::variant<Connect, Disconnect, Info>;

// A point in time as the driver reports it: 100-nanosecond intervals since 1601-01-01 UTC.
struct SystemTime {
  std::int64_t intervals = 0;
  bool operator==(const SystemTime&) const = default;
};

// Intervals from 1601-01-01 to 1970-01-01.
inline constexpr std::int64_t kUnixEpochIntervals = 116'444'736'000'000'000;

struct WireguardInterfaceInfo {
  std::optional<SystemTime> last_handshake;
  std::uint64_t tx_bytes = 0;
  std::uint64_t rx_bytes = 0;
  bool operator==(const WireguardInterfaceInfo&) const = default;
};

struct Connected {
  WireguardInterfaceInfo info;
  bool operator==(const Connected&) const = default;
};
struct Disconnected {
  bool operator==(const Disconnected&) const = default;
};
struct Error {
  std::string message;
  bool operator==(const Error&) const = default;
};

using Response = std::variant<Connected, Disconnected, Error>;

}  // namespace kesta::protocol
