#include "log_lines.h"

#include <array>
#include <charconv>
#include <vector>

#include "core/escape.h"
#include "protocol/base64.h"
#include "protocol/decode.h"
#include "protocol/msgpack_reader.h"
#include "service/service_log_notes.h"

namespace kesta::kestactl {
namespace {

constexpr std::string_view kReceived = "Received message: ";

// A Connect, also one the service refused: a request with a wrong port still carries a good
// private key. A command is a map of one entry named by its variant, "Connect" or index 0.
bool is_connect(std::string_view text) {
  if (const auto decoded = protocol::decode_command(text); decoded.command) {
    return std::holds_alternative<protocol::Connect>(*decoded.command);
  }
  std::vector<std::uint8_t> bytes(protocol::base64_decoded_capacity(text.size()));
  const auto count = protocol::base64_decode(text, bytes);
  if (!count) return false;
  bytes.resize(std::min(bytes.size(), *count));
  protocol::MsgpackReader reader(bytes);
  protocol::ValueHead map, name;
  if (!reader.next(map) || map.family != protocol::Family::kMap || map.bits != 1 ||
      !reader.next(name)) {
    return false;
  }
  if (name.family == protocol::Family::kInt) return !name.negative && name.bits == 0;
  return (name.family == protocol::Family::kStr || name.family == protocol::Family::kBin) &&
         name.text() == "Connect";
}

std::string shown_line(std::string_view line) {
  if (!line.starts_with(kReceived)) return std::string(line);
  const std::string_view text = line.substr(kReceived.size());
  if (!is_connect(text)) return std::string(line);
  return std::string(kReceived) + "[Connect request, " + std::to_string(text.size()) +
         " bytes; keys hidden, --raw shows the line]";
}

}  // namespace

std::string printable_log_line(std::string_view line) {
  std::string out;
  out.reserve(line.size());
  // escape_log_text doubles backslashes; applied between them, it escapes only the rest.
  for (;;) {
    const std::size_t backslash = line.find('\\');
    out += escape_log_text(line.substr(0, backslash));
    if (backslash == line.npos) return out;
    out += '\\';
    line.remove_prefix(backslash + 1);
  }
}

std::string hide_secrets(std::string_view lines) {
  std::string out;
  out.reserve(lines.size());
  while (!lines.empty()) {
    const std::size_t end = std::min(lines.find('\n'), lines.size());
    out += shown_line(lines.substr(0, end));
    if (end < lines.size()) out += '\n';
    lines.remove_prefix(std::min(lines.size(), end + 1));
  }
  return out;
}

std::size_t last_lines_start(std::string_view text, std::size_t count) {
  std::size_t start = text.size();
  if (text.ends_with('\n')) --start;
  for (std::size_t seen = 0; seen < count; ++seen) {
    if (start == 0) return 0;
    const std::size_t lf = text.rfind('\n', start - 1);
    if (lf == text.npos) return 0;
    start = lf;
    if (seen + 1 == count) return lf + 1;
  }
  return text.size();
}

std::string LogLines::add(std::string_view bytes) {
  std::string out;
  for (;;) {
    const std::size_t lf = bytes.find('\n');
    if (lf == bytes.npos) break;
    partial_.append(bytes.substr(0, lf));
    out += shown(partial_);
    partial_.clear();
    bytes.remove_prefix(lf + 1);
  }
  partial_.append(bytes);
  return out;
}

std::string LogLines::flush() {
  if (partial_.empty()) return {};
  std::string out = shown(partial_);
  partial_.clear();
  return out;
}

std::string LogLines::shown(std::string_view line) {
  return printable_log_line(line) + "\n";
}

std::uint64_t log_hash(std::uint64_t hash, std::string_view bytes) {
  for (const char c : bytes) {
    hash = (hash ^ static_cast<unsigned char>(c)) * 1099511628211u;
  }
  return hash;
}

std::optional<std::uint64_t> bytes_before(std::string_view head, std::uint64_t bound) {
  const std::size_t first_end = head.find('\n');
  if (first_end == head.npos) return std::nullopt;
  if (head.starts_with(service::kLogContinuedNote)) {
    // Past the notes of what was moved aside at the copy, the line that did not fit.
    std::size_t start = first_end + 1;
    while (head.substr(start).starts_with(service::kMovedAsideNote)) {
      start = head.find('\n', start);
      if (start == head.npos) return std::nullopt;
      ++start;
    }
    const std::size_t end = head.find('\n', start);
    if (end == head.npos) return std::nullopt;
    const std::uint64_t next = end + 1 - start;  // with its line feed
    return next >= bound ? 1 : bound - next + 1;
  }
  if (head.starts_with(service::kLogEmptiedNote)) {
    const char* digits = head.data() + service::kLogEmptiedNote.size();
    std::uint64_t size = 0;
    const auto [end, ec] = std::from_chars(digits, head.data() + first_end, size);
    if (ec == std::errc() && end != digits) return size;
  }
  return std::nullopt;
}

std::string rotated_away_line(std::optional<std::uint64_t> lost) {
  if (!lost) return "kestactl: log: lines may have been rotated away before they could be shown\n";
  return "kestactl: log: at least " + std::to_string(*lost) +
         " bytes were rotated away before they could be shown\n";
}

}  // namespace kesta::kestactl
