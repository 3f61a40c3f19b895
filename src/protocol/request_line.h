#pragma once

#include <cstddef>
#include <cstdint>
#include <expected>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "core/error.h"
#include "protocol/decode.h"

namespace kesta::protocol {

// Longest request line accepted, line feed included; memory per connection stays bounded.
inline constexpr std::size_t kMaxRequestLine = 1'048'576;

// Frames one request line from a connection's bytes as they arrive, in pieces of any size: the
// bytes up to and including the first line feed, or all of them when the stream ends first.
// Nothing after the line feed is taken. The line fails with "request line exceeds 1048576
// bytes" once that many bytes came without a line feed, with "stream did not contain valid
// UTF-8" when it is not UTF-8, and with the read error's own text when reading fails first.
// Every transport frames its requests here, so these rules live nowhere else.
class RequestFramer {
 public:
  // Whether the line is framed or has failed; from then on nothing more is taken.
  bool done() const noexcept { return result_.has_value(); }
  // Bytes of the line taken so far.
  std::size_t size() const noexcept { return framed_; }
  // Memory the line holds; reserve() sets it ahead of the reads that fill it.
  std::size_t capacity() const noexcept { return line_.capacity(); }
  void reserve(std::size_t bytes) { line_.reserve(bytes); }

  // Takes bytes up to and including the first line feed, and no further than the bound; returns
  // how many it took.
  std::size_t feed(std::string_view bytes);
  // Room at the end of the line for one read to fill in place: `most` bytes, fewer near the
  // bound. The read's result then goes to commit(), end_of_stream() or fail(); the room stays
  // valid until then.
  std::span<char> room(std::size_t most);
  // Frames the first `count` bytes of the room.
  void commit(std::size_t count);
  // The client closed or broke its end: what came so far is the line.
  void end_of_stream();
  // Reading failed: the line fails with `error`.
  void fail(kesta::Error error);

  // The line or why there is none; only once done(), and only once.
  Result<std::string> take();

 private:
  void finish();

  std::string line_;
  std::size_t framed_ = 0;  // bytes of line_ that are the line; the rest is room for a read
  std::optional<Result<std::string>> result_;
};

// Fills the buffer with the next bytes of the stream; 0 means end of stream.
using ReadSome = std::function<std::expected<std::size_t, std::string>(std::span<std::uint8_t>)>;

// Frames one request line from a stream read through an 8192-byte buffer (a client's standard
// input); fails with the framer's texts.
std::expected<void, std::string> read_request_line(const ReadSome& read, std::string& line);

// Log lines of a request, exactly as the service writes them.
std::string received_message_line(std::string_view trimmed);        // "Received message: ..."
std::string refused_request_line(const CommandDecodeError& error);  // "Failed to decode/parse..."
std::string received_command_line(const Command& command);          // "Received command: ..."
std::string unreadable_request_line(std::string_view read_error);   // "Failed to read incoming..."

}  // namespace kesta::protocol
