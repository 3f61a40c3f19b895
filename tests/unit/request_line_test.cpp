#include "protocol/request_line.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include "codec_test_util.h"

namespace kesta::protocol {
namespace {

constexpr std::size_t kUnlimited = static_cast<std::size_t>(-1);

// A stream that hands out its bytes in the given pieces (a read never crosses a piece, and gives
// at most `max_per_read` bytes), with read errors where the script says. It fails the test when
// read again after it has handed out a line feed: one connection carries one request.
class ScriptedStream {
 public:
  struct Step {
    std::string bytes;
    std::optional<std::string> error;
  };

  explicit ScriptedStream(std::vector<Step> steps, std::size_t max_per_read = kUnlimited)
      : steps_(std::move(steps)), max_per_read_(max_per_read) {}

  ReadSome reader() {
    return [this](std::span<std::uint8_t> buffer) -> std::expected<std::size_t, std::string> {
      ++reads_;
      largest_request_ = std::max(largest_request_, buffer.size());
      if (line_feed_given_) {
        ADD_FAILURE() << "read again after the line feed was handed out";
        return 0;
      }
      if (step_ == steps_.size()) return 0;
      const Step& step = steps_[step_];
      if (step.error) {
        ++step_;
        return std::unexpected(*step.error);
      }
      std::size_t n = std::min({buffer.size(), step.bytes.size() - offset_, max_per_read_});
      std::memcpy(buffer.data(), step.bytes.data() + offset_, n);
      if (std::memchr(step.bytes.data() + offset_, '\n', n) != nullptr) line_feed_given_ = true;
      offset_ += n;
      if (offset_ == step.bytes.size()) {
        ++step_;
        offset_ = 0;
      }
      return n;
    };
  }

  std::size_t reads() const { return reads_; }
  std::size_t largest_request() const { return largest_request_; }

 private:
  std::vector<Step> steps_;
  std::size_t max_per_read_;
  std::size_t step_ = 0;
  std::size_t offset_ = 0;
  bool line_feed_given_ = false;
  std::size_t reads_ = 0;
  std::size_t largest_request_ = 0;
};

using Step = ScriptedStream::Step;

Step bytes(std::string b) {
  return Step{std::move(b), std::nullopt};
}
Step failure(std::string text) {
  return Step{"", std::move(text)};
}

// The line, or "<error> " and the failure text.
std::string read_line(ScriptedStream& stream) {
  std::string line;
  auto result = read_request_line(stream.reader(), line);
  if (!result) return "<error> " + result.error();
  return line;
}

// Feeds `bytes` to a framer in pieces of `piece` bytes, alternately through feed() and through
// room() and commit() as a read in place does, then ends the stream, or fails the read with
// `read_error`, unless the line is framed by then. The line, or "<error> " and the failure text;
// `taken` is how many bytes the framer took.
std::string framed(std::string_view bytes, std::size_t piece,
                   const std::optional<std::string>& read_error, std::size_t& taken) {
  RequestFramer framer;
  taken = 0;
  for (std::size_t at = 0, n = 0; at < bytes.size() && !framer.done(); at += piece, ++n) {
    const std::string_view next = bytes.substr(at, piece);
    if (n % 2 == 0) {
      taken += framer.feed(next);
      continue;
    }
    const std::span<char> room = framer.room(piece + 3);
    const std::size_t count = std::min(room.size(), next.size());
    std::copy_n(next.begin(), count, room.begin());
    const std::size_t before = framer.size();
    framer.commit(count);
    taken += framer.size() - before;
  }
  if (!framer.done()) {
    if (read_error) {
      framer.fail(kesta::Error(*read_error));
    } else {
      framer.end_of_stream();
    }
  }
  EXPECT_TRUE(framer.done());
  auto line = framer.take();
  return line ? *line : "<error> " + line.error().message();
}

// Every text the framer produces, whatever pieces the bytes arrive in.
TEST(RequestFramer, FramesTheLineWhateverPiecesItArrivesIn) {
  const std::string refused = "<error> request line exceeds 1048576 bytes";
  const std::string not_utf8 = "<error> stream did not contain valid UTF-8";
  const std::string longest = std::string(kMaxRequestLine - 1, 'A') + "\n";
  const std::string no_lf = std::string(kMaxRequestLine, 'A');
  struct Row {
    const char* name;
    std::string bytes;
    std::optional<std::string> read_error;  // what ends bytes without a line feed; else the end
    std::string expected;
  };
  const Row rows[] = {
      {"line feed", "pEluZm8=\n", {}, "pEluZm8=\n"},
      {"CR LF", "pEluZm8=\r\n", {}, "pEluZm8=\r\n"},
      {"further lines are not taken", "pEluZm8=\nqkRpc2Nvbm5lY3Q=\n", {}, "pEluZm8=\n"},
      {"an error waiting after the line", "pEluZm8=\n", "pipe broken", "pEluZm8=\n"},
      {"split across many pieces", "gaRJbmZvwA==\r\n", {}, "gaRJbmZvwA==\r\n"},
      {"end of stream without a line feed", "pEluZm8=", {}, "pEluZm8="},
      {"nothing at all", "", {}, ""},
      {"only a line feed", "\n", {}, "\n"},
      {"NUL bytes are kept", std::string("a\0b\n", 4), {}, std::string("a\0b\n", 4)},
      {"a character split across pieces", "\xC3\xA9\n", {}, "\xC3\xA9\n"},
      {"a four-byte character", " \xF0\x9F\x98\x80\n", {}, " \xF0\x9F\x98\x80\n"},
      {"invalid bytes after the line feed", "abc\n\xFF\xFE", {}, "abc\n"},
      {"invalid UTF-8", "\xFF\n", {}, not_utf8},
      {"a surrogate", "pEl\xED\xA0\x80uZm8=\n", {}, not_utf8},
      {"a sequence cut by the line feed", "pEluZm8=\xC3\n", {}, not_utf8},
      {"a sequence cut by the end of the stream", "pEluZm8=\xE2\x82", {}, not_utf8},
      {"a read error at once", "", "The pipe has been ended. (os error 109)",
       "<error> The pipe has been ended. (os error 109)"},
      {"a read error inside the line", "pEl", "boom", "<error> boom"},
      {"exactly 1048576 bytes with the line feed", longest, {}, longest},
      {"exactly 1048576 bytes with the line feed, more after it", longest + "more", {}, longest},
      {"1048575 bytes and the end of the stream", no_lf.substr(1), {}, no_lf.substr(1)},
      {"1048576 bytes without a line feed, then one", no_lf + "\n", {}, refused},
      {"1048576 bytes without a line feed, then more", no_lf + "AAAA\n", {}, refused},
      // ambiguous: the line is refused as soon as 1048576 bytes came without a line feed, before
      // the end of the stream is seen.
      {"1048576 bytes and the end of the stream", no_lf, {}, refused},
      // The bound is checked as the bytes come; UTF-8 only once the line is whole.
      {"too long and not UTF-8", "\xFF" + no_lf, {}, refused},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    std::vector<std::size_t> pieces;
    if (row.bytes.size() < 64) {
      for (std::size_t piece = 1; piece <= row.bytes.size() + 1; ++piece) pieces.push_back(piece);
    } else {
      pieces = {3, 777, 1000, 4096, 8192, row.bytes.size()};
    }
    for (const std::size_t piece : pieces) {
      SCOPED_TRACE(piece);
      std::size_t taken = 0;
      const std::string line = framed(row.bytes, piece, row.read_error, taken);
      ASSERT_EQ(line, row.expected);
      if (!line.starts_with("<error>")) {
        EXPECT_EQ(taken, line.size());
      }
      EXPECT_LE(taken, kMaxRequestLine);
    }
  }
}

// A stream that is not the pipe (kestactl's standard input); the framer's table has every case.
TEST(ReadRequestLine, ReadsUpToTheFirstLineFeedOrTheEndOfTheStream) {
  struct Row {
    const char* name;
    std::vector<Step> steps;
    std::size_t max_per_read;
    std::string expected;
  };
  const Row rows[] = {
      {"further lines, one byte per read",
       {bytes("pEluZm8=\nqkRpc2Nvbm5lY3Q=\n")},
       1,
       "pEluZm8=\n"},
      {"a read error inside the line", {bytes("pEl"), failure("boom")}, kUnlimited, "<error> boom"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    ScriptedStream stream(row.steps, row.max_per_read);
    EXPECT_EQ(read_line(stream), row.expected);
    EXPECT_LE(stream.largest_request(), 8192u);
  }
}

// ambiguous: the line is the request alone even when the caller's string held something before.
TEST(ReadRequestLine, ReplacesWhatTheStringHeld) {
  ScriptedStream stream({bytes("pEluZm8=\n")});
  std::string line = "left over from an earlier connection";
  ASSERT_TRUE(read_request_line(stream.reader(), line).has_value());
  EXPECT_EQ(line, "pEluZm8=\n");
}

TEST(ReadRequestLine, ReadsLongLinesWholeThroughAnEightKilobyteBuffer) {
  const std::string long_line = std::string(20000, 'A') + "\n";
  ScriptedStream stream({bytes(long_line + "next")});
  EXPECT_EQ(read_line(stream), long_line);
  EXPECT_LE(stream.largest_request(), 8192u);
  EXPECT_GE(stream.reads(), 3u);
}

TEST(ReadRequestLine, StopsReadingAnEndlessLine) {
  std::size_t given = 0;
  ReadSome endless =
      [&](std::span<std::uint8_t> buffer) -> std::expected<std::size_t, std::string> {
    if (given > 4 * kMaxRequestLine) return 0;  // keeps a faulty reader from running for ever
    std::fill(buffer.begin(), buffer.end(), static_cast<std::uint8_t>('A'));
    given += buffer.size();
    return buffer.size();
  };
  std::string line;
  auto result = read_request_line(endless, line);
  EXPECT_EQ(result, std::unexpected(std::string("request line exceeds 1048576 bytes")));
  EXPECT_LE(given, kMaxRequestLine + 8192);
}

TEST(RequestLogLines, Texts) {
  const Config sample = test::sample_config();
  std::string server_key = "[";
  for (int i = 32; i < 64; ++i) server_key += std::to_string(i) + (i < 63 ? ", " : "]");
  struct Row {
    std::string actual;
    std::string expected;
  };
  using Stage = CommandDecodeError::Stage;
  const Row rows[] = {
      {received_message_line("pEluZm8="), "Received message: pEluZm8="},
      {received_message_line(""), "Received message: "},
      {received_message_line("pEl uZm8="), "Received message: pEl uZm8="},
      {received_message_line("a\\b"), "Received message: a\\\\b"},
      {received_message_line("x\ny\rz\t"), "Received message: x\\ny\\rz\\t"},
      {received_message_line("Service stopped\nForged"),
       "Received message: Service stopped\\nForged"},
      {received_message_line("\x1b[2J\x7f"), "Received message: \\u{1b}[2J\\u{7f}"},
      {received_message_line(std::string("a\0b", 3)), "Received message: a\\0b"},
      {received_message_line("a\xC2\x85"
                             "b\xC3\xA9"),
       "Received message: a\\u{85}b\xC3\xA9"},
      {received_message_line("x\xE2\x80\xA8Service stopped\xE2\x80\xAEz"),
       "Received message: x\\u{2028}Service stopped\\u{202e}z"},
      {received_message_line("say \"hi\""), "Received message: say \"hi\""},
      {refused_request_line({Stage::kBase64, "Invalid padding"}),
       "Failed to decode incoming message: Invalid padding"},
      {refused_request_line({Stage::kBase64, "Invalid symbol 32, offset 3."}),
       "Failed to decode incoming message: Invalid symbol 32, offset 3."},
      {refused_request_line(
           {Stage::kMessage, "IO error while reading marker: failed to fill whole buffer"}),
       "Failed to parse incoming message: IO error while reading marker: failed to fill whole "
       "buffer"},
      {refused_request_line({Stage::kMessage, "Invalid key length: 31"}),
       "Failed to parse incoming message: Invalid key length: 31"},
      // The decoder escaped these already; the log line must not escape them twice.
      {refused_request_line(
           {Stage::kMessage, "invalid type: string \"a\\\\b\", expected a string"}),
       "Failed to parse incoming message: invalid type: string \"a\\\\b\", expected a string"},
      {received_command_line(Info{}), "Received command: Info"},
      {received_command_line(Disconnect{}), "Received command: Disconnect"},
      {received_command_line(Connect{sample}),
       "Received command: Connect(Config { encryption: ConfigEncryption { client_key: [redacted], "
       "server_key: " +
           server_key +
           ", shared_key: [redacted] }, endpoint: ConfigEndpoint { url: \"vpn.example.com\", ip: "
           "10.0.0.1, port: 51820 }, client: ConfigClient { ip: 10.0.0.2, ports: [53, 443] } })"},
      {unreadable_request_line("stream did not contain valid UTF-8"),
       "Failed to read incoming message: stream did not contain valid UTF-8"},
      {unreadable_request_line("request line exceeds 1048576 bytes"),
       "Failed to read incoming message: request line exceeds 1048576 bytes"},
      {unreadable_request_line("The pipe has been ended. (os error 109)"),
       "Failed to read incoming message: The pipe has been ended. (os error 109)"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.expected);
    EXPECT_EQ(row.actual, row.expected);
  }
}

// From the bytes on the connection to the log lines, as the service and `kestactl decode` do it.
std::string log_of(const std::string& stream_bytes) {
  ScriptedStream stream({bytes(stream_bytes)});
  std::string line;
  auto read = read_request_line(stream.reader(), line);
  if (!read) return unreadable_request_line(read.error());
  auto decoded = decode_command(line);
  std::string log = received_message_line(decoded.trimmed) + "\n";
  if (!decoded.command) return log + refused_request_line(decoded.command.error());
  return log + received_command_line(*decoded.command);
}

TEST(RequestLogLines, FromStreamToLog) {
  using test::hex;
  const std::string expected_one_of = ", expected one of `Connect`, `Disconnect`, `Info`";
  struct Row {
    std::string stream;
    std::string log;
  };
  const Row rows[] = {
      {"pEluZm8=\r\nqkRpc2Nvbm5lY3Q=\n", "Received message: pEluZm8=\nReceived command: Info"},
      {"  qkRpc2Nvbm5lY3Q=", "Received message: qkRpc2Nvbm5lY3Q=\nReceived command: Disconnect"},
      {"pEluZm8\n",
       "Received message: pEluZm8\nFailed to decode incoming message: Invalid padding"},
      {"pEl uZm8=\n",
       "Received message: pEl uZm8=\nFailed to decode incoming message: Invalid symbol 32, offset "
       "3."},
      {"abc\\def\n",
       "Received message: abc\\\\def\nFailed to decode incoming message: Invalid symbol 92, offset "
       "3."},
      {"abc\x1b"
       "def\n",
       "Received message: abc\\u{1b}def\nFailed to decode incoming message: Invalid symbol 27, "
       "offset 3."},
      {"\n",
       "Received message: \nFailed to parse incoming message: IO error while reading marker: "
       "failed "
       "to fill whole buffer"},
      {"",
       "Received message: \nFailed to parse incoming message: IO error while reading marker: "
       "failed to fill whole buffer"},
      {test::line_of(hex("a3 61 0a 62")),
       "Received message: " + test::b64(hex("a3 61 0a 62")) +
           "\nFailed to parse incoming message: unknown variant `a\\nb`" + expected_one_of},
      {test::line_of(hex("a3 61 5c 62")),
       "Received message: " + test::b64(hex("a3 61 5c 62")) +
           "\nFailed to parse incoming message: unknown variant `a\\\\b`" + expected_one_of},
      {"\xFF\n", "Failed to read incoming message: stream did not contain valid UTF-8"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.log);
    EXPECT_EQ(log_of(row.stream), row.log);
  }
}

}  // namespace
}  // namespace kesta::protocol
