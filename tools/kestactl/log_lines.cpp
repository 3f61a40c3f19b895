#include "log_lines.h"

#include "core/escape.h"

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
    out += printable_log_line(partial_) + "\n";
    partial_.clear();
    bytes.remove_prefix(lf + 1);
  }
  partial_.append(bytes);
  return out;
}

std::string LogLines::flush() {
  if (partial_.empty()) return {};
  std::string out = printable_log_line(partial_) + "\n";
  partial_.clear();
  return out;
}

}  // namespace kesta::kestactl
