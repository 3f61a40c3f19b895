#include <cstdio>

#include "wireguard_sim/wireguard_sim.h"

namespace kesta::wgsim {
namespace {

// Values are percent-encoded so that a line always splits at its spaces and first '='.
bool plain(unsigned char c) {
  return c > 0x20 && c < 0x7F && c != '%' && c != '=';
}

std::string encode(std::string_view value) {
  std::string out;
  for (unsigned char c : value) {
    if (plain(c)) {
      out.push_back(static_cast<char>(c));
    } else {
      char hex[4];
      std::snprintf(hex, sizeof hex, "%%%02X", c);
      out.append(hex);
    }
  }
  return out;
}

int hex_digit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;
}

std::optional<std::string> decode(std::string_view value) {
  std::string out;
  for (std::size_t i = 0; i < value.size(); ++i) {
    if (value[i] != '%') {
      out.push_back(value[i]);
      continue;
    }
    if (i + 2 >= value.size()) return std::nullopt;
    const int high = hex_digit(value[i + 1]);
    const int low = hex_digit(value[i + 2]);
    if (high < 0 || low < 0) return std::nullopt;
    out.push_back(static_cast<char>(high * 16 + low));
    i += 2;
  }
  return out;
}

}  // namespace

std::string JournalEntry::field(std::string_view name) const {
  for (const auto& [key, value] : fields) {
    if (key == name) return value;
  }
  return {};
}

std::string JournalEntry::line() const {
  std::string out = call;
  for (const auto& [key, value] : fields)
    out.append(" ").append(key).append("=").append(encode(value));
  return out;
}

std::optional<JournalEntry> JournalEntry::parse(std::string_view line) {
  if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
  JournalEntry entry;
  std::size_t space = line.find(' ');
  entry.call = std::string(line.substr(0, space));
  if (entry.call.empty()) return std::nullopt;
  while (space != std::string_view::npos) {
    line = line.substr(space + 1);
    space = line.find(' ');
    const std::string_view pair = line.substr(0, space);
    const std::size_t equals = pair.find('=');
    if (equals == std::string_view::npos) return std::nullopt;
    auto value = decode(pair.substr(equals + 1));
    if (!value) return std::nullopt;
    entry.fields.emplace_back(std::string(pair.substr(0, equals)), std::move(*value));
  }
  return entry;
}

}  // namespace kesta::wgsim
