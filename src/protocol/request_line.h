#pragma once

#include <cstddef>
#include <cstdint>
#include <expected>
#include <functional>
#include <span>
#include <string>

#include "protocol/decode.h"

namespace kesta::protocol {

// Longest request line accepted, line feed included; memory per connection stays bounded.
inline constexpr std::size_t kMaxRequestLine = 1'048'576;

// Fills the buffer with the next bytes of the stream; 0 means end of stream.
using ReadSome = std::function<std::expected<std::size_t, std::string>(std::span<std::uint8_t>)>;

// Reads one request line through an 8192-byte buffer: the bytes up to and including the first
// LF, or to the end of the stream. Nothing after the LF is looked at. Fails with the read
// error's text, "request line exceeds 1048576 bytes" or "stream did not contain valid UTF-8".
std::expected<void, std::string> read_request_line(const ReadSome& read, std::string& line);

// Log lines of a request, exactly as the service writes them.
std::string received_message_line(std::string_view trimmed);        // "Received message: ..."
std::string refused_request_line(const CommandDecodeError& error);  // "Failed to decode/parse..."
std::string received_command_line(const Command& command);          // "Received command: ..."
std::string unreadable_request_line(std::string_view read_error);   // "Failed to read incoming..."

}  // namespace kesta::protocol
