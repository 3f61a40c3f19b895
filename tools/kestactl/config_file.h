#pragma once

#include <expected>
#include <functional>
#include <string>
#include <string_view>

#include "protocol/messages.h"

namespace kesta::kestactl {

// Finds the IPv4 address of a host name; the error text says why there is none.
using Resolver =
    std::function<std::expected<protocol::Ipv4Address, std::string>(std::string_view host)>;

// Reads a tunnel configuration file:
//
//   [Interface]
//   PrivateKey = <Base64>
//   Address = 10.0.0.2/32          (IPv4, /32 or no prefix)
//   [Peer]
//   PublicKey = <Base64>
//   PresharedKey = <Base64>
//   Endpoint = 203.0.113.1:51820   (or host:port, resolved; the host goes along as url)
//   AllowedIPs = 0.0.0.0/0         (optional; the only route the service installs)
//
// Key names are case-insensitive; '#' starts a comment. Every error names the line it is
// about, "line N: ...", or the section whose key is missing.
std::expected<protocol::Config, std::string> parse_config_file(std::string_view text,
                                                               const Resolver& resolve);

}  // namespace kesta::kestactl
