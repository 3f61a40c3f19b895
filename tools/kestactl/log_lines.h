#pragma once

#include <cstddef>
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
  std::string partial_;
};

}  // namespace kesta::kestactl
