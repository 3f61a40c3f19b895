#pragma once

#include <string_view>

namespace kesta::service {

// Where the service writes its lines: one call, one message, a line feed appended.
class Log {
 public:
  virtual ~Log() = default;
  // A text with line feeds inside becomes several physical lines. Any failure is a Fault of the
  // calling thread: the service has no other channel to report it on.
  virtual void write_line(std::string_view text) = 0;
};

}  // namespace kesta::service
