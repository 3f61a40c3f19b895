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

// Where each field sits, in bytes from the start of its structure; the writer and the reader
// both place fields by these names.
struct InterfaceLayout {
  static constexpr std::size_t kFlags = 0;       // u32
  static constexpr std::size_t kListenPort = 4;  // u16
  static constexpr std::size_t kPrivateKey = 6;
  static constexpr std::size_t kPublicKey = 38;
  static constexpr std::size_t kPeerCount = 72;  // u32
  static constexpr std::size_t kSize = 80;
};

struct PeerLayout {
  static constexpr std::size_t kFlags = 0;  // u32
  static constexpr std::size_t kPublicKey = 8;
  static constexpr std::size_t kPresharedKey = 40;
  static constexpr std::size_t kPersistentKeepalive = 72;  // u16
  static constexpr std::size_t kEndpoint = 76;             // an EndpointLayout
  static constexpr std::size_t kTxBytes = 104;             // u64
  static constexpr std::size_t kRxBytes = 112;             // u64
  static constexpr std::size_t kLastHandshake = 120;       // u64
  static constexpr std::size_t kAllowedIpCount = 128;      // u32
  static constexpr std::size_t kSize = 136;
};

// The endpoint inside the peer structure: an IPv4 or IPv6 socket address.
struct EndpointLayout {
  static constexpr std::size_t kFamily = 0;  // u16
  static constexpr std::size_t kPort = 2;    // u16, network order
  static constexpr std::size_t kIpv4Address = 4;
  static constexpr std::size_t kIpv6FlowInfo = 4;  // u32
  static constexpr std::size_t kIpv6Address = 8;
  static constexpr std::size_t kIpv6ScopeId = 24;  // u32
  static constexpr std::size_t kSize = 28;
};
static_assert(PeerLayout::kEndpoint + EndpointLayout::kSize == PeerLayout::kTxBytes);

struct AllowedIpLayout {
  static constexpr std::size_t kAddress = 0;
  static constexpr std::size_t kFamily = 16;        // u16
  static constexpr std::size_t kPrefixLength = 18;  // u8
  static constexpr std::size_t kSize = 24;
};

inline constexpr std::size_t kInterfaceSize = InterfaceLayout::kSize;
inline constexpr std::size_t kPeerSize = PeerLayout::kSize;
inline constexpr std::size_t kAllowedIpSize = AllowedIpLayout::kSize;

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
