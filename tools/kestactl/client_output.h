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

// Text as a JSON string literal, quotes included.
std::string json_string(std::string_view text);

// A Connected or Disconnected response for people, several "name: value" lines.
std::string format_state(const protocol::Response& response, const TimeContext& time);

// Any response as one line of JSON:
// {"state":"connected","last_handshake":{"unix_seconds":S,"nanoseconds":N},
//  "seconds_since_handshake":A,"tx_bytes":T,"rx_bytes":R}
// {"state":"disconnected"}   {"state":"error","error":"TEXT"}
std::string format_json(const protocol::Response& response, const TimeContext& time);

// What scripts see when there is no response: {"state":STATE,"error":TEXT}.
std::string format_json_failure(std::string_view state, std::string_view error);

}  // namespace kesta::kestactl
