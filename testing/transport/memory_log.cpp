#include "memory_log.h"

#include "core/fault.h"

namespace kesta::testing {

void MemoryLog::write_line(std::string_view text) {
  if (lines.size() >= fail_after) throw Fault("memory log failed", Fault::Origin::kFixed);
  lines.emplace_back(text);
}

std::string MemoryLog::text() const {
  std::string out;
  for (const std::string& line : lines) {
    out.append(line);
    out.push_back('\n');
  }
  return out;
}

}  // namespace kesta::testing
