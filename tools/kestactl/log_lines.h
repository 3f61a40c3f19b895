#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace kesta::kestactl {

// A line of the service's log as `kestactl log` prints it: control characters, line and
// paragraph separators and bidirectional controls escaped, so that no line can drive the
// terminal or pass for two. Backslashes stay as they are: the service has already escaped
// what clients sent, and that reads the same.
std::string printable_log_line(std::string_view line);

// What `kestactl log` shows of complete printable lines (each ending in LF) unless --raw: a
// "Received message: " line whose text is a Connect request, which carries the client's
// private key, becomes "Received message: [Connect request, N bytes; keys hidden, --raw shows
// the line]"; every other line is kept as it is.
std::string hide_secrets(std::string_view lines);

// Where the last `count` lines of `text` begin (lines end with LF; a last line without one
// counts as a line).
std::size_t last_lines_start(std::string_view text, std::size_t count);

// Turns chunks read from the log into printable complete lines; a line is printed only once
// its line feed has arrived, since the service writes the text and the line feed separately.
class LogLines {
 public:
  std::string add(std::string_view bytes);
  // The line still waiting for its line feed, printed with one (for a file that ends early).
  std::string flush();

 private:
  // What is printed for one line of the log, its line feed included; every line goes through
  // here.
  static std::string shown(std::string_view line);

  std::string partial_;
};

// A fingerprint of the bytes read of a log (FNV-1a, continued from `hash`; begin with
// kLogHashStart), by which its copy in "<log>.1" is recognised.
inline constexpr std::uint64_t kLogHashStart = 14695981039346656037u;
std::uint64_t log_hash(std::uint64_t hash, std::string_view bytes);

// The fewest bytes the service's log held before it started again with `head` (its first
// bytes), for a service that copies it aside at `bound`: a log continued after a copy begins with
// the note and then the line that would have taken the earlier one past the bound; an emptied
// log says what it held. Nothing is known of any other beginning.
std::optional<std::uint64_t> bytes_before(std::string_view head, std::uint64_t bound);

// kestactl's own line where lines of the log were rotated away before they could be shown: at
// least `lost` bytes, or an unknown number.
std::string rotated_away_line(std::optional<std::uint64_t> lost);

}  // namespace kesta::kestactl
