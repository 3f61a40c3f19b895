#include "core/error.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "core/system_error.h"

namespace kesta {
namespace {

// Builds an error whose chain is messages[0] caused by messages[1] caused by ...
Error chain(const std::vector<std::string>& messages) {
  Error error(messages.back());
  for (auto it = messages.rbegin() + 1; it != messages.rend(); ++it) error = Error(*it, error);
  return error;
}

TEST(ErrorReport, ShowsTheChain) {
  struct Case {
    const char* name;
    std::vector<std::string> chain;
    std::string report;
  };
  const Case cases[] = {
      {"no cause", {"Failed to load library"}, "Failed to load library"},
      {"multi-line message without cause", {"first\nsecond"}, "first\nsecond"},
      {"one cause",
       {"IO error in winapi call", "Access is denied. (os error 5)"},
       "IO error in winapi call\n\nCaused by:\n    Access is denied. (os error 5)"},
      {"one multi-line cause",
       {"outer", "line one\nline two\nline three"},
       "outer\n\nCaused by:\n    line one\n    line two\n    line three"},
      {"two causes",
       {"outer", "middle", "inner"},
       "outer\n\nCaused by:\n    0: middle\n    1: inner"},
      {"numbered multi-line causes",
       {"outer", "middle\nstill middle", "inner\n\nafter a blank"},
       "outer\n\nCaused by:\n    0: middle\n       still middle\n    1: inner\n       \n"
       "       after a blank"},
      {"multi-line outer message is not indented",
       {"outer\nsecond", "cause"},
       "outer\nsecond\n\nCaused by:\n    cause"},
      {"indices right-aligned in five columns",
       {"e", "c0", "c1", "c2", "c3", "c4", "c5", "c6", "c7", "c8", "c9", "c10"},
       "e\n\nCaused by:\n    0: c0\n    1: c1\n    2: c2\n    3: c3\n    4: c4\n    5: c5\n"
       "    6: c6\n    7: c7\n    8: c8\n    9: c9\n   10: c10"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(chain(c.chain).report(), c.report) << c.name;
  }
}

TEST(SystemErrorMessage, TrimsTheTextAndAppendsTheCode) {
  struct Case {
    std::string text;
    std::uint32_t code;
    std::string message;
  };
  const Case cases[] = {
      {"Access is denied.\r\n", 5, "Access is denied. (os error 5)"},
      {"The pipe has been ended. \t\r\n", 109, "The pipe has been ended. (os error 109)"},
      {"  leading kept", 0, "  leading kept (os error 0)"},
      {"two\r\nlines\r\n", 4294967295u, "two\r\nlines (os error 4294967295)"},
      {"", 87, " (os error 87)"},
      {" \r\n", 87, " (os error 87)"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(compose_system_error_message(c.text, c.code), c.message) << c.text;
  }
}

}  // namespace
}  // namespace kesta
