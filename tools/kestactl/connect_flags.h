#pragma once

#include <cstdint>
#include <expected>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "protocol/messages.h"

namespace kesta::kestactl {

// Finds the IPv4 address of a host name; the error text says why there is none.
using Resolver =
    std::function<std::expected<protocol::Ipv4Address, std::string>(std::string_view host)>;

// Dotted IPv4 text, four numbers of at most three digits each.
std::optional<protocol::Ipv4Address> parse_ipv4(std::string_view text);

// A decimal port number, 0 to 65535.
std::optional<std::uint16_t> parse_port(std::string_view text);

// Base64 of exactly 32 bytes. The error of a secret key (private or preshared) says only that
// it is not one, so that no part of it reaches a terminal or a log; a public key's error is the
// decoder's own text.
std::expected<protocol::Key, std::string> parse_key(std::string_view text, bool secret);

// One address with an optional prefix length, as Address and AllowedIPs write it: "10.0.0.2",
// "10.0.0.0/8", "fd00::2/128", "::/0". A bare address has the full length (32 or 128).
struct IpPrefix {
  bool ipv6 = false;
  protocol::Ipv4Address ip{};  // IPv4 only
  unsigned length = 0;
};
std::optional<IpPrefix> parse_prefix(std::string_view text);

// The client's address in the tunnel: IPv4, bare or with /32, the same in a file and in
// --address. The error explains, without repeating the text.
std::expected<protocol::Ipv4Address, std::string> parse_client_address(std::string_view text);

// The server: A.B.C.D:PORT, or HOST:PORT resolved to IPv4 with the host sent along as url. The
// error explains, without repeating the text.
std::expected<protocol::ConfigEndpoint, std::string> parse_endpoint(std::string_view text,
                                                                    const Resolver& resolve);

// The flags that describe a Connect, in the forms a configuration file takes:
// --private-key, --public-key, --endpoint, --address required, --preshared-key optional (no
// preshared key is 32 zero bytes), --url and --port extras; "--" ends them (what follows is
// an unexpected argument). Empty when --help stands where a flag should. The error lists every
// problem of the command line at once, each a usage message; `command` names the subcommand
// in the "missing" text.
std::expected<std::optional<protocol::Config>, std::vector<std::string>> parse_connect_flags(
    std::span<const std::string> args, std::string_view command, const Resolver& resolve);

}  // namespace kesta::kestactl
