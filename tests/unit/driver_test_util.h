#pragma once

// Configurations the driver tests write: the shape the service always uses.
#include <cstddef>
#include <cstdint>

#include "driver/config_buffer.h"

namespace kesta::driver::test {

// Thirty-two consecutive byte values from `first`, so each key is told apart in a dump.
inline Key key_of(std::uint8_t first) {
  Key key;
  for (std::size_t i = 0; i < key.size(); ++i) key[i] = static_cast<std::uint8_t>(first + i);
  return key;
}

// One peer with both keys, keepalive 15, an IPv4 endpoint and the default route.
inline InterfaceConfig service_config() {
  PeerConfig peer;
  peer.public_key = key_of(0x40);
  peer.preshared_key = key_of(0x80);
  peer.persistent_keepalive = 15;
  peer.endpoint = Ipv4Endpoint{{192, 0, 2, 7}, 51820};
  peer.allowed_ips = {IpPrefix::ipv4({0, 0, 0, 0}, 0)};
  return InterfaceConfig{key_of(0x10), {peer}};
}

}  // namespace kesta::driver::test
