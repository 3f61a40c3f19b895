#pragma once

#include <expected>
#include <string>

#include "protocol/messages.h"

namespace kesta::protocol {

// The response line: Base64 of the shortest MessagePack form, then one LF. Fails only for a
// handshake before 1970 with "SystemTime must be later than UNIX_EPOCH".
std::expected<std::string, std::string> encode_response(const Response& response);

// Client side: the request line for a command (records as arrays, variant names as strings),
// ending in one LF.
std::string encode_command(const Command& command);

}  // namespace kesta::protocol
