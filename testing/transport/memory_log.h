#pragma once

#include <cstddef>
#include <limits>
#include <string>
#include <string_view>
#include <vector>

#include "service/log.h"

namespace kesta::testing {

// Keeps every line in memory. Once `fail_after` lines have been written, each further
// write_line faults, as a log whose file has gone bad does.
class MemoryLog final : public service::Log {
 public:
  void write_line(std::string_view text) override;

  // Everything written, as the file would hold it: each line followed by a line feed.
  std::string text() const;

  std::vector<std::string> lines;
  std::size_t fail_after = std::numeric_limits<std::size_t>::max();
};

}  // namespace kesta::testing
