#pragma once

#include <cstdint>
#include <expected>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "protocol/messages.h"

namespace kesta::kestactl {

// Dotted IPv4 text, four numbers of at most three digits each.
std::optional<protocol::Ipv4Address> parse_ipv4(std::string_view text);

// A decimal port number, 0 to 65535.
std::optional<std::uint16_t> parse_port(std::string_view text);

// Base64 of exactly 32 bytes; the error is the decoder's own text.
std::expected<protocol::Key, std::string> parse_key(std::string_view text);

// The flags that describe a Connect (--private-key ... --address, --url, --port), as taken by
// `encode connect` and `connect`. Empty when --help stands where a flag should; the error is a
// usage message, `command` naming the subcommand in the "missing" text.
std::expected<std::optional<protocol::Config>, std::string> parse_connect_flags(
    std::span<const std::string> args, std::string_view command);

}  // namespace kesta::kestactl
