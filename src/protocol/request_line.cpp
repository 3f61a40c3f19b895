#include "protocol/request_line.h"

#include <algorithm>
#include <cstring>

#include "core/escape.h"
#include "core/utf8.h"
#include "protocol/render.h"

namespace kesta::protocol {

std::size_t RequestFramer::feed(std::string_view bytes) {
  if (done()) return 0;
  const std::span<char> into = room(bytes.size());
  std::memcpy(into.data(), bytes.data(), into.size());
  const std::size_t before = framed_;
  commit(into.size());
  return framed_ - before;
}

std::span<char> RequestFramer::room(std::size_t most) {
  const std::size_t size = std::min(most, kMaxRequestLine - framed_);
  line_.resize(framed_ + size);
  return {line_.data() + framed_, size};
}

void RequestFramer::commit(std::size_t count) {
  const std::string_view fresh(line_.data() + framed_, count);
  const std::size_t lf = fresh.find('\n');
  framed_ += lf == std::string_view::npos ? count : lf + 1;
  line_.resize(framed_);
  if (lf != std::string_view::npos) return finish();
  // The line feed must be among the first kMaxRequestLine bytes of the line.
  if (framed_ >= kMaxRequestLine) {
    result_ = std::unexpected(
        kesta::Error("request line exceeds " + std::to_string(kMaxRequestLine) + " bytes"));
  }
}

void RequestFramer::end_of_stream() {
  line_.resize(framed_);
  finish();
}

void RequestFramer::fail(kesta::Error error) {
  result_ = std::unexpected(std::move(error));
}

void RequestFramer::finish() {
  if (validate_utf8(line_)) {
    result_ = std::unexpected(kesta::Error("stream did not contain valid UTF-8"));
  } else {
    result_ = std::move(line_);
  }
}

Result<std::string> RequestFramer::take() {
  return std::move(*result_);
}

std::expected<void, std::string> read_request_line(const ReadSome& read, std::string& line) {
  RequestFramer framer;
  while (!framer.done()) {
    const std::span<char> room = framer.room(8192);
    auto count = read({reinterpret_cast<std::uint8_t*>(room.data()), room.size()});
    if (!count) {
      framer.fail(kesta::Error(std::move(count.error())));
    } else if (*count == 0) {
      framer.end_of_stream();
    } else {
      framer.commit(*count);
    }
  }
  auto framed = framer.take();
  if (!framed) return std::unexpected(framed.error().message());
  line = std::move(*framed);
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
