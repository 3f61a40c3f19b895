#include "client_output.h"

#include <array>
#include <chrono>
#include <cstdio>
#include <type_traits>

#include "core/escape.h"

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
  auto unicode = [&out](unsigned code) {
    char escape[8];
    std::snprintf(escape, sizeof escape, "\\u%04x", code);
    out += escape;
  };
  for (std::size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    const auto byte = static_cast<unsigned char>(c);
    const auto next = [&](std::size_t k) {
      return i + k < text.size() ? static_cast<unsigned char>(text[i + k]) : 0u;
    };
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
      unicode(byte);
    } else if (byte == 0xC2 && next(1) >= 0x80 && next(1) <= 0x9F) {
      unicode(next(1));  // C1 controls
      ++i;
    } else if (byte == 0xD8 && next(1) == 0x9C) {
      unicode(0x061C);
      ++i;
    } else if (byte == 0xE2 && (next(1) == 0x80 || next(1) == 0x81) && (next(2) & 0xC0) == 0x80) {
      // Line and paragraph separators and the bidirectional controls: shown escaped so that
      // no viewer breaks or reorders the text.
      const unsigned code = 0x2000 + ((next(1) & 0x3F) << 6) + (next(2) & 0x3F);
      if (code == 0x200E || code == 0x200F || (code >= 0x2028 && code <= 0x202E) ||
          (code >= 0x2066 && code <= 0x2069)) {
        unicode(code);
        i += 2;
      } else {
        out += c;
      }
    } else {
      out += c;
    }
  }
  return out + "\"";
}

JsonObject& JsonObject::raw(std::string_view name, std::string_view json) {
  text_ += text_.empty() ? "{" : ",";
  text_ += json_string(name);
  text_ += ':';
  text_ += json;
  return *this;
}

JsonObject& JsonObject::text(std::string_view name, std::string_view value) {
  return raw(name, json_string(value));
}

JsonObject& JsonObject::number(std::string_view name, std::int64_t value) {
  return raw(name, std::to_string(value));
}

JsonObject& JsonObject::flag(std::string_view name, bool value) {
  return raw(name, value ? "true" : "false");
}

JsonObject& JsonObject::null(std::string_view name) {
  return raw(name, "null");
}

std::string JsonObject::str() const {
  return text_.empty() ? "{}" : text_ + "}";
}

std::string JsonObject::line() const {
  return str() + "\n";
}

std::string format_state(const protocol::Response& response, const TimeContext& time) {
  if (const auto* error = std::get_if<protocol::Error>(&response)) {
    return "state: error\nerror: " + escape_log_text(error->message) + "\n";
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

JsonObject json_of(const protocol::Response& response, const TimeContext& time) {
  if (const auto* error = std::get_if<protocol::Error>(&response)) {
    return JsonObject().text("state", "error").text("error", error->message);
  }
  const auto* connected = std::get_if<protocol::Connected>(&response);
  if (!connected) return JsonObject().text("state", "disconnected");
  const auto& info = connected->info;
  JsonObject json;
  json.text("state", "connected");
  if (info.last_handshake) {
    const Handshake at = unix_time(*info.last_handshake);
    json.raw("last_handshake", JsonObject()
                                   .number("unix_seconds", at.seconds)
                                   .number("nanoseconds", at.nanoseconds)
                                   .str())
        .number("seconds_since_handshake", time.now_unix_seconds - at.seconds);
  } else {
    json.null("last_handshake").null("seconds_since_handshake");
  }
  return json.raw("tx_bytes", std::to_string(info.tx_bytes))
      .raw("rx_bytes", std::to_string(info.rx_bytes));
}

std::string format_json(const protocol::Response& response, const TimeContext& time) {
  return json_of(response, time).line();
}

std::string format_json_failure(std::string_view state, std::string_view error) {
  return JsonObject().text("state", state).text("error", error).line();
}

}  // namespace kesta::kestactl
