#include "log_lines.h"

#include <charconv>

#include "core/escape.h"
#include "service/service_log_notes.h"

namespace kesta::kestactl {

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
