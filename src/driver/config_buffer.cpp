#include "driver/config_buffer.h"

#include <algorithm>
#include <cstring>
#include <limits>
#include <string>
#include <type_traits>

namespace kesta::driver {
namespace {

template <class T>
void put_le(std::uint8_t* at, T value) {
  for (std::size_t i = 0; i < sizeof(T); ++i) at[i] = static_cast<std::uint8_t>(value >> (8 * i));
}

template <class T>
T get_le(const std::uint8_t* at) {
  T value = 0;
  for (std::size_t i = 0; i < sizeof(T); ++i) value |= static_cast<T>(T{at[i]} << (8 * i));
  return value;
}

void put_port(std::uint8_t* at, std::uint16_t port) {
  at[0] = static_cast<std::uint8_t>(port >> 8);
  at[1] = static_cast<std::uint8_t>(port);
}

std::uint16_t get_port(const std::uint8_t* at) {
  return static_cast<std::uint16_t>((at[0] << 8) | at[1]);
}

std::string overflow_message(const char* verb, std::size_t size, std::size_t allocation,
                             std::size_t cursor) {
  return std::string("Overflow attempting to ") + verb + " struct of size " + std::to_string(size) +
         ". To allocation size: " + std::to_string(allocation) +
         ", offset: " + std::to_string(cursor);
}

Error illegal_family(std::uint16_t family) {
  return Error("Illegal address family " + std::to_string(family));
}

class Writer {
 public:
  explicit Writer(ConfigBuffer& buffer) : buffer_(buffer) {}

  // The next structure of `size` bytes, or the overflow error when it would not fit.
  Result<std::uint8_t*> place(std::size_t size) {
    if (size > buffer_.size() - cursor_) {
      return std::unexpected(Error(overflow_message("write", size, buffer_.size(), cursor_)));
    }
    std::uint8_t* at = buffer_.data() + cursor_;
    cursor_ += size;
    return at;
  }

 private:
  ConfigBuffer& buffer_;
  std::size_t cursor_ = 0;
};

class Reader {
 public:
  explicit Reader(std::span<const std::uint8_t> buffer) : buffer_(buffer) {}

  Result<const std::uint8_t*> take(std::size_t size) {
    if (size > buffer_.size() - cursor_) {
      return std::unexpected(Error(overflow_message("read", size, buffer_.size(), cursor_)));
    }
    const std::uint8_t* at = buffer_.data() + cursor_;
    cursor_ += size;
    return at;
  }

 private:
  std::span<const std::uint8_t> buffer_;
  std::size_t cursor_ = 0;
};

void write_endpoint(std::uint8_t* peer, const Endpoint& endpoint) {
  std::uint8_t* at = peer + PeerLayout::kEndpoint;
  if (const auto* v4 = std::get_if<Ipv4Endpoint>(&endpoint)) {
    put_le<std::uint16_t>(at + EndpointLayout::kFamily,
                          static_cast<std::uint16_t>(AddressFamily::kIpv4));
    put_port(at + EndpointLayout::kPort, v4->port);
    std::memcpy(at + EndpointLayout::kIpv4Address, v4->address.data(), 4);
  } else {
    const auto& v6 = std::get<Ipv6Endpoint>(endpoint);
    put_le<std::uint16_t>(at + EndpointLayout::kFamily,
                          static_cast<std::uint16_t>(AddressFamily::kIpv6));
    put_port(at + EndpointLayout::kPort, v6.port);
    std::memcpy(at + EndpointLayout::kIpv6Address, v6.address.data(), 16);
  }
}

void write_allowed_ip(std::uint8_t* at, const IpPrefix& prefix) {
  const std::size_t length = prefix.family == AddressFamily::kIpv4 ? 4 : 16;
  std::memcpy(at + AllowedIpLayout::kAddress, prefix.address.data(), length);
  put_le<std::uint16_t>(at + AllowedIpLayout::kFamily, static_cast<std::uint16_t>(prefix.family));
  at[AllowedIpLayout::kPrefixLength] = prefix.prefix_length;
}

Result<Endpoint> read_endpoint(const std::uint8_t* peer) {
  const std::uint8_t* at = peer + PeerLayout::kEndpoint;
  const auto family = get_le<std::uint16_t>(at + EndpointLayout::kFamily);
  if (family == static_cast<std::uint16_t>(AddressFamily::kIpv4)) {
    Ipv4Endpoint v4;
    v4.port = get_port(at + EndpointLayout::kPort);
    std::memcpy(v4.address.data(), at + EndpointLayout::kIpv4Address, 4);
    return v4;
  }
  if (family == static_cast<std::uint16_t>(AddressFamily::kIpv6)) {
    Ipv6Endpoint v6;
    v6.port = get_port(at + EndpointLayout::kPort);
    v6.flow_info = get_le<std::uint32_t>(at + EndpointLayout::kIpv6FlowInfo);
    std::memcpy(v6.address.data(), at + EndpointLayout::kIpv6Address, 16);
    v6.scope_id = get_le<std::uint32_t>(at + EndpointLayout::kIpv6ScopeId);
    return v6;
  }
  return std::unexpected(illegal_family(family));
}

Result<IpPrefix> read_allowed_ip(const std::uint8_t* at) {
  const auto family = get_le<std::uint16_t>(at + AllowedIpLayout::kFamily);
  const std::uint8_t cidr = at[AllowedIpLayout::kPrefixLength];
  IpPrefix prefix;
  if (family == static_cast<std::uint16_t>(AddressFamily::kIpv4)) {
    if (cidr > 32) return std::unexpected(Error("prefix is valid"));
    std::memcpy(prefix.address.data(), at + AllowedIpLayout::kAddress, 4);
  } else if (family == static_cast<std::uint16_t>(AddressFamily::kIpv6)) {
    if (cidr > 128) return std::unexpected(Error("prefix is valid"));
    std::memcpy(prefix.address.data(), at + AllowedIpLayout::kAddress, 16);
  } else {
    return std::unexpected(illegal_family(family));
  }
  prefix.family = static_cast<AddressFamily>(family);
  prefix.prefix_length = cidr;
  return prefix;
}

Key read_key(const std::uint8_t* at) {
  Key key;
  std::memcpy(key.data(), at, key.size());
  return key;
}

}  // namespace

IpPrefix IpPrefix::ipv4(std::array<std::uint8_t, 4> address, std::uint8_t prefix_length) {
  IpPrefix prefix{AddressFamily::kIpv4, {}, prefix_length};
  std::copy(address.begin(), address.end(), prefix.address.begin());
  return prefix;
}

IpPrefix IpPrefix::ipv6(std::array<std::uint8_t, 16> address, std::uint8_t prefix_length) {
  return IpPrefix{AddressFamily::kIpv6, address, prefix_length};
}

ConfigBuffer::ConfigBuffer(std::size_t size, bool zeroed)
    : words_(std::make_unique_for_overwrite<std::uint64_t[]>((size + 7) / 8)), size_(size) {
  if (zeroed) std::memset(words_.get(), 0, (size + 7) / 8 * 8);
}

std::size_t config_buffer_size(const InterfaceConfig& config) {
  std::size_t size = kInterfaceSize;
  for (const PeerConfig& peer : config.peers) {
    size += kPeerSize + kAllowedIpSize * peer.allowed_ips.size();
  }
  return size;
}

Result<ConfigBuffer> write_config_buffer(const InterfaceConfig& config) {
  const std::size_t size = config_buffer_size(config);
  // The driver takes the size as a 32-bit count.
  if (size > std::numeric_limits<std::uint32_t>::max()) {
    return std::unexpected(Error("Wireguard config is too large"));
  }
  ConfigBuffer buffer(size, true);
  Writer writer(buffer);

  auto header = writer.place(kInterfaceSize);
  if (!header) return std::unexpected(header.error());
  put_le<std::uint32_t>(*header + InterfaceLayout::kFlags,
                        kInterfaceHasPrivateKey | kInterfaceReplacePeers);
  std::memcpy(*header + InterfaceLayout::kPrivateKey, config.private_key.data(), 32);
  put_le<std::uint32_t>(*header + InterfaceLayout::kPeerCount,
                        static_cast<std::uint32_t>(config.peers.size()));

  for (const PeerConfig& peer : config.peers) {
    auto at = writer.place(kPeerSize);
    if (!at) return std::unexpected(at.error());
    std::uint32_t flags = kPeerHasEndpoint;
    if (peer.public_key) {
      flags |= kPeerHasPublicKey;
      std::memcpy(*at + PeerLayout::kPublicKey, peer.public_key->data(), 32);
    }
    if (peer.preshared_key) {
      flags |= kPeerHasPresharedKey;
      std::memcpy(*at + PeerLayout::kPresharedKey, peer.preshared_key->data(), 32);
    }
    if (peer.persistent_keepalive) {
      flags |= kPeerHasPersistentKeepalive;
      put_le<std::uint16_t>(*at + PeerLayout::kPersistentKeepalive, *peer.persistent_keepalive);
    }
    put_le<std::uint32_t>(*at + PeerLayout::kFlags, flags);
    write_endpoint(*at, peer.endpoint);
    put_le<std::uint32_t>(*at + PeerLayout::kAllowedIpCount,
                          static_cast<std::uint32_t>(peer.allowed_ips.size()));
    for (const IpPrefix& prefix : peer.allowed_ips) {
      auto entry = writer.place(kAllowedIpSize);
      if (!entry) return std::unexpected(entry.error());
      write_allowed_ip(*entry, prefix);
    }
  }
  return buffer;
}

Result<InterfaceState> parse_config_buffer(std::span<const std::uint8_t> buffer) {
  Reader reader(buffer);
  auto header = reader.take(kInterfaceSize);
  if (!header) return std::unexpected(header.error());
  InterfaceState state;
  state.flags = get_le<std::uint32_t>(*header + InterfaceLayout::kFlags);
  state.listen_port = get_le<std::uint16_t>(*header + InterfaceLayout::kListenPort);
  state.private_key = read_key(*header + InterfaceLayout::kPrivateKey);
  state.public_key = read_key(*header + InterfaceLayout::kPublicKey);
  const auto peers = get_le<std::uint32_t>(*header + InterfaceLayout::kPeerCount);

  // Counts come from the driver: every structure is bounds-checked before it is read, so a
  // count larger than the buffer ends in the overflow error rather than a huge allocation.
  for (std::uint32_t p = 0; p < peers; ++p) {
    auto at = reader.take(kPeerSize);
    if (!at) return std::unexpected(at.error());
    PeerState peer;
    auto endpoint = read_endpoint(*at);
    if (!endpoint) return std::unexpected(endpoint.error());
    peer.endpoint = *endpoint;
    peer.flags = get_le<std::uint32_t>(*at + PeerLayout::kFlags);
    peer.public_key = read_key(*at + PeerLayout::kPublicKey);
    peer.preshared_key = read_key(*at + PeerLayout::kPresharedKey);
    peer.persistent_keepalive = get_le<std::uint16_t>(*at + PeerLayout::kPersistentKeepalive);
    peer.tx_bytes = get_le<std::uint64_t>(*at + PeerLayout::kTxBytes);
    peer.rx_bytes = get_le<std::uint64_t>(*at + PeerLayout::kRxBytes);
    peer.last_handshake =
        last_handshake_from_driver(get_le<std::uint64_t>(*at + PeerLayout::kLastHandshake));
    const auto allowed_ips = get_le<std::uint32_t>(*at + PeerLayout::kAllowedIpCount);
    for (std::uint32_t a = 0; a < allowed_ips; ++a) {
      auto entry = reader.take(kAllowedIpSize);
      if (!entry) return std::unexpected(entry.error());
      auto prefix = read_allowed_ip(*entry);
      if (!prefix) return std::unexpected(prefix.error());
      peer.allowed_ips.push_back(*prefix);
    }
    state.peers.push_back(std::move(peer));
  }
  return state;
}

std::optional<protocol::SystemTime> last_handshake_from_driver(std::uint64_t intervals) {
  if (intervals == 0) return std::nullopt;
  constexpr auto kEpoch = static_cast<std::uint64_t>(protocol::kUnixEpochIntervals);
  constexpr auto kLatest = static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max());
  // The protocol holds a signed count; values beyond it (tens of thousands of years) saturate.
  return protocol::SystemTime{static_cast<std::int64_t>(std::clamp(intervals, kEpoch, kLatest))};
}

}  // namespace kesta::driver
