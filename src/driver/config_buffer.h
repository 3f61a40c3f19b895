#pragma once

// The configuration exchanged with the driver library: one interface structure, then for each
// peer its peer structure followed by its allowed-IP structures, all little-endian except the
// endpoint port, which is in network order.

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <variant>
#include <vector>

#include "core/error.h"
#include "protocol/messages.h"

namespace kesta::driver {

using Key = std::array<std::uint8_t, 32>;

enum class AddressFamily : std::uint16_t { kIpv4 = 2, kIpv6 = 23 };

// An address (network order; IPv4 uses the first 4 bytes) with a prefix length.
struct IpPrefix {
  AddressFamily family = AddressFamily::kIpv4;
  std::array<std::uint8_t, 16> address{};
  std::uint8_t prefix_length = 0;

  static IpPrefix ipv4(std::array<std::uint8_t, 4> address, std::uint8_t prefix_length);
  static IpPrefix ipv6(std::array<std::uint8_t, 16> address, std::uint8_t prefix_length);
  bool operator==(const IpPrefix&) const = default;
};

struct Ipv4Endpoint {
  std::array<std::uint8_t, 4> address{};
  std::uint16_t port = 0;
  bool operator==(const Ipv4Endpoint&) const = default;
};

struct Ipv6Endpoint {
  std::array<std::uint8_t, 16> address{};
  std::uint16_t port = 0;
  std::uint32_t flow_info = 0;  // written as zero, read back
  std::uint32_t scope_id = 0;   // written as zero, read back
  bool operator==(const Ipv6Endpoint&) const = default;
};

using Endpoint = std::variant<Ipv4Endpoint, Ipv6Endpoint>;

struct PeerConfig {
  std::optional<Key> public_key;
  std::optional<Key> preshared_key;
  std::optional<std::uint16_t> persistent_keepalive;
  Endpoint endpoint;
  std::vector<IpPrefix> allowed_ips;
};

struct InterfaceConfig {
  Key private_key{};
  std::vector<PeerConfig> peers;
};

struct PeerState {
  std::uint32_t flags = 0;
  Key public_key{};
  Key preshared_key{};
  std::uint16_t persistent_keepalive = 0;
  Endpoint endpoint;
  std::uint64_t tx_bytes = 0;
  std::uint64_t rx_bytes = 0;
  std::optional<protocol::SystemTime> last_handshake;
  std::vector<IpPrefix> allowed_ips;
  bool operator==(const PeerState&) const = default;
};

struct InterfaceState {
  std::uint32_t flags = 0;
  std::uint16_t listen_port = 0;
  Key private_key{};
  Key public_key{};
  std::vector<PeerState> peers;
  bool operator==(const InterfaceState&) const = default;
};

inline constexpr std::size_t kInterfaceSize = 80;
inline constexpr std::size_t kPeerSize = 136;
inline constexpr std::size_t kAllowedIpSize = 24;

inline constexpr std::uint32_t kInterfaceHasPrivateKey = 0x2;
inline constexpr std::uint32_t kInterfaceReplacePeers = 0x8;
inline constexpr std::uint32_t kPeerHasPublicKey = 0x1;
inline constexpr std::uint32_t kPeerHasPresharedKey = 0x2;
inline constexpr std::uint32_t kPeerHasPersistentKeepalive = 0x4;
inline constexpr std::uint32_t kPeerHasEndpoint = 0x8;

// A heap buffer with the 8-byte alignment the driver's structures need.
class ConfigBuffer {
 public:
  // Zero-filled when `zeroed`; a buffer the driver is about to overwrite need not be.
  ConfigBuffer(std::size_t size, bool zeroed);

  std::uint8_t* data() noexcept { return reinterpret_cast<std::uint8_t*>(words_.get()); }
  const std::uint8_t* data() const noexcept {
    return reinterpret_cast<const std::uint8_t*>(words_.get());
  }
  std::size_t size() const noexcept { return size_; }
  std::span<const std::uint8_t> bytes() const noexcept { return {data(), size_}; }

 private:
  std::unique_ptr<std::uint64_t[]> words_;
  std::size_t size_;
};

// 80 + the sum over peers of 136 + 24 per allowed IP.
std::size_t config_buffer_size(const InterfaceConfig& config);

Result<ConfigBuffer> write_config_buffer(const InterfaceConfig& config);

// Parses a buffer whose size is the allocation size the driver announced.
Result<InterfaceState> parse_config_buffer(std::span<const std::uint8_t> buffer);

// 0 means no handshake yet; earlier points than the Unix epoch read as the epoch itself.
std::optional<protocol::SystemTime> last_handshake_from_driver(std::uint64_t intervals);

}  // namespace kesta::driver
