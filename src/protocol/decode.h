#pragma once

#include <expected>
#include <string>
#include <string_view>

#include "protocol/messages.h"

namespace kesta::protocol {

struct CommandDecodeError {
  enum class Stage { kBase64, kMessage };
  Stage stage = Stage::kMessage;
  std::string message;
  bool operator==(const CommandDecodeError&) const = default;
};

struct DecodedCommand {
  std::string_view trimmed;  // the line without surrounding Unicode white space
  std::expected<Command, CommandDecodeError> command;
};

// Trims, Base64-decodes and MessagePack-decodes one received request line (valid UTF-8,
// line ending included or not). Bytes after a complete command are ignored.
DecodedCommand decode_command(std::string_view line);

// Client side: reads a response line the service wrote (records in array or map form).
std::expected<Response, std::string> decode_response(std::string_view line);

// Removes every Unicode White_Space character from both ends of valid UTF-8 text.
std::string_view trim_white_space(std::string_view text);

}  // namespace kesta::protocol
