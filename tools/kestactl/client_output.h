#pragma once

#include <cstdint>
#include <ctime>
#include <functional>
#include <string>
#include <string_view>

#include "protocol/messages.h"

namespace kesta::kestactl {

// What the output needs to know about the present, so that tests can fix it.
struct TimeContext {
  std::int64_t now_unix_seconds = 0;
  // The broken-down local time of a moment; the system's time zone in the real client.
  std::function<std::tm(std::time_t)> local;
};

// The system clock and time zone.
TimeContext system_time();

// 1536 -> "1.50 KiB"; below 1024, "N B".
std::string human_bytes(std::uint64_t bytes);

// 5 -> "5 seconds ago", 3725 -> "1 hour, 2 minutes ago"; a moment ahead of the clock -> "in ...".
std::string how_long_ago(std::int64_t seconds);

// Text as a JSON string literal, quotes included; control characters, line and paragraph
// separators and bidirectional controls are written as \uXXXX.
std::string json_string(std::string_view text);

// One JSON object, built member by member in the order given.
class JsonObject {
 public:
  JsonObject& raw(std::string_view name, std::string_view json);  // a value already in JSON
  JsonObject& text(std::string_view name, std::string_view value);
  JsonObject& number(std::string_view name, std::int64_t value);
  JsonObject& flag(std::string_view name, bool value);
  JsonObject& null(std::string_view name);
  std::string str() const;   // {...}
  std::string line() const;  // {...} and a line feed

 private:
  std::string text_;
};

// A response for people, several "name: value" lines; an Error's text escaped.
std::string format_state(const protocol::Response& response, const TimeContext& time);

// Any response as one line of JSON:
// {"state":"connected","last_handshake":{"unix_seconds":S,"nanoseconds":N},
//  "seconds_since_handshake":A,"tx_bytes":T,"rx_bytes":R}
// {"state":"disconnected"}   {"state":"error","error":"TEXT"}
JsonObject json_of(const protocol::Response& response, const TimeContext& time);
std::string format_json(const protocol::Response& response, const TimeContext& time);

// What scripts see when there is no response: {"state":STATE,"error":TEXT}.
std::string format_json_failure(std::string_view state, std::string_view error);

}  // namespace kesta::kestactl
