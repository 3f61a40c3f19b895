#include "protocol/request_line.h"

#include <algorithm>
#include <array>

#include "core/escape.h"
#include "core/utf8.h"
#include "protocol/render.h"

namespace kesta::protocol {

std::expected<void, std::string> read_request_line(const ReadSome& read, std::string& line) {
  line.clear();
  std::array<std::uint8_t, 8192> buffer;
  for (;;) {
    auto count = read(buffer);
    if (!count) return std::unexpected(std::move(count.error()));
    if (*count == 0) break;
    const auto chunk = std::span(buffer).first(*count);
    const auto lf = std::ranges::find(chunk, std::uint8_t{'\n'});
    // The line feed must be among the first kMaxRequestLine bytes of the line.
    const std::size_t take = static_cast<std::size_t>(lf - chunk.begin());
    if (line.size() + take >= kMaxRequestLine) {
      return std::unexpected("request line exceeds " + std::to_string(kMaxRequestLine) + " bytes");
    }
    const bool complete = lf != chunk.end();
    line.append(reinterpret_cast<const char*>(chunk.data()), complete ? take + 1 : take);
    if (complete) break;
  }
  if (validate_utf8(line)) return std::unexpected("stream did not contain valid UTF-8");
  return {};
}

std::string received_message_line(std::string_view trimmed) {
  return "Received message: " + escape_log_text(trimmed);
}

std::string refused_request_line(const CommandDecodeError& error) {
  const std::string_view prefix = error.stage == CommandDecodeError::Stage::kBase64
                                      ? "Failed to decode incoming message: "
                                      : "Failed to parse incoming message: ";
  return std::string(prefix) + error.message;
}

std::string received_command_line(const Command& command) {
  return "Received command: " + render(command);
}

std::string unreadable_request_line(std::string_view read_error) {
  return "Failed to read incoming message: " + std::string(read_error);
}

}  // namespace kesta::protocol
