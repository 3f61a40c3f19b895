#include "client_output.h"

#include <array>
#include <chrono>
#include <cstdio>
#include <type_traits>

namespace kesta::kestactl {
namespace {

constexpr std::int64_t kIntervalsPerSecond = 10'000'000;

struct Handshake {
  std::int64_t seconds;  // since 1970-01-01 UTC, rounded down
  std::int64_t nanoseconds;
};

Handshake unix_time(protocol::SystemTime time) {
  const std::int64_t since = time.intervals - protocol::kUnixEpochIntervals;
  std::int64_t seconds = since / kIntervalsPerSecond;
  std::int64_t rest = since % kIntervalsPerSecond;
  if (rest < 0) {
    --seconds;
    rest += kIntervalsPerSecond;
  }
  return {seconds, rest * 100};
}

std::string plural(std::int64_t n, std::string_view unit) {
  return std::to_string(n) + " " + std::string(unit) + (n == 1 ? "" : "s");
}

std::string local_text(std::int64_t seconds, const TimeContext& time) {
  const std::tm tm = time.local(static_cast<std::time_t>(seconds));
  char text[96];
  std::snprintf(text, sizeof text, "%04d-%02d-%02d %02d:%02d:%02d", tm.tm_year + 1900,
                tm.tm_mon + 1, tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec);
  return text;
}

}  // namespace

TimeContext system_time() {
  TimeContext time;
  time.now_unix_seconds = std::chrono::duration_cast<std::chrono::seconds>(
                              std::chrono::system_clock::now().time_since_epoch())
                              .count();
  time.local = [](std::time_t t) {
    std::tm tm{};
#ifdef _WIN32
    localtime_s(&tm, &t);
#else
    localtime_r(&t, &tm);
#endif
    return tm;
  };
  return time;
}

std::string human_bytes(std::uint64_t bytes) {
  static constexpr std::array<const char*, 6> kUnits = {"KiB", "MiB", "GiB", "TiB", "PiB", "EiB"};
  if (bytes < 1024) return std::to_string(bytes) + " B";
  double value = static_cast<double>(bytes) / 1024;
  std::size_t unit = 0;
  // Rounds as printed, so that 1048575 bytes read 1.00 MiB rather than 1024.00 KiB.
  while (value >= 1024 - 0.005 && unit + 1 < kUnits.size()) {
    value /= 1024;
    ++unit;
  }
  char text[32];
  std::snprintf(text, sizeof text, "%.2f %s", value, kUnits[unit]);
  return text;
}

std::string how_long_ago(std::int64_t seconds) {
  const bool ahead = seconds < 0;
  const std::int64_t s = ahead ? -seconds : seconds;
  std::string text;
  if (s < 60) {
    text = plural(s, "second");
  } else if (s < 3600) {
    text = plural(s / 60, "minute") + ", " + plural(s % 60, "second");
  } else if (s < 86400) {
    text = plural(s / 3600, "hour") + ", " + plural(s % 3600 / 60, "minute");
  } else {
    text = plural(s / 86400, "day") + ", " + plural(s % 86400 / 3600, "hour");
  }
  return ahead ? "in " + text : text + " ago";
}

std::string json_string(std::string_view text) {
  std::string out = "\"";
  for (const char c : text) {
    const auto byte = static_cast<unsigned char>(c);
    if (c == '"' || c == '\\') {
      out += '\\';
      out += c;
    } else if (c == '\n') {
      out += "\\n";
    } else if (c == '\r') {
      out += "\\r";
    } else if (c == '\t') {
      out += "\\t";
    } else if (byte < 0x20 || byte == 0x7f) {
      char escape[8];
      std::snprintf(escape, sizeof escape, "\\u%04x", byte);
      out += escape;
    } else {
      out += c;
    }
  }
  return out + "\"";
}

std::string format_state(const protocol::Response& response, const TimeContext& time) {
  if (const auto* error = std::get_if<protocol::Error>(&response)) {
    return "state: error\nerror: " + error->message + "\n";
  }
  const auto* connected = std::get_if<protocol::Connected>(&response);
  if (!connected) return "state: disconnected\n";
  const auto& info = connected->info;
  std::string out = "state: connected\nlast handshake: ";
  if (info.last_handshake) {
    const Handshake at = unix_time(*info.last_handshake);
    out += local_text(at.seconds, time) + " (" + how_long_ago(time.now_unix_seconds - at.seconds) +
           ")\n";
  } else {
    out += "none yet\n";
  }
  out += "sent: " + human_bytes(info.tx_bytes) + " (" + std::to_string(info.tx_bytes) +
         " bytes)\nreceived: " + human_bytes(info.rx_bytes) + " (" + std::to_string(info.rx_bytes) +
         " bytes)\n";
  return out;
}

std::string format_json(const protocol::Response& response, const TimeContext& time) {
  if (const auto* error = std::get_if<protocol::Error>(&response)) {
    return format_json_failure("error", error->message);
  }
  const auto* connected = std::get_if<protocol::Connected>(&response);
  if (!connected) return "{\"state\":\"disconnected\"}\n";
  const auto& info = connected->info;
  std::string out = "{\"state\":\"connected\",\"last_handshake\":";
  if (info.last_handshake) {
    const Handshake at = unix_time(*info.last_handshake);
    out += "{\"unix_seconds\":" + std::to_string(at.seconds) +
           ",\"nanoseconds\":" + std::to_string(at.nanoseconds) +
           "},\"seconds_since_handshake\":" + std::to_string(time.now_unix_seconds - at.seconds);
  } else {
    out += "null,\"seconds_since_handshake\":null";
  }
  out += ",\"tx_bytes\":" + std::to_string(info.tx_bytes) +
         ",\"rx_bytes\":" + std::to_string(info.rx_bytes) + "}\n";
  return out;
}

std::string format_json_failure(std::string_view state, std::string_view error) {
  return "{\"state\":" + json_string(state) + ",\"error\":" + json_string(error) + "}\n";
}

}  // namespace kesta::kestactl
