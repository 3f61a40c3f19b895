#include <windows.h>

#include <gtest/gtest.h>

#include <string>

#include "core/error.h"

namespace kesta {
namespace {

// The platform's own text for `code`, as UTF-8, exactly as it gives it.
std::string platform_text(DWORD code) {
  wchar_t buffer[1024];
  const DWORD length = FormatMessageW(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
                                      nullptr, code, 0, buffer, 1024, nullptr);
  const int size = WideCharToMultiByte(CP_UTF8, 0, buffer, static_cast<int>(length), nullptr, 0,
                                       nullptr, nullptr);
  std::string text(static_cast<std::size_t>(size), '\0');
  WideCharToMultiByte(CP_UTF8, 0, buffer, static_cast<int>(length), text.data(), size, nullptr,
                      nullptr);
  return text;
}

TEST(SystemErrorMessage, IsThePlatformTextTrimmedWithTheCode) {
  for (const DWORD code : {ERROR_FILE_NOT_FOUND, ERROR_ACCESS_DENIED, ERROR_BROKEN_PIPE,
                           ERROR_PIPE_BUSY, ERROR_FAILED_SERVICE_CONTROLLER_CONNECT}) {
    const std::string text = platform_text(code);
    ASSERT_FALSE(text.empty()) << code;
    const std::string message = system_error_message(code);
    const std::string tail = " (os error " + std::to_string(code) + ")";
    ASSERT_TRUE(message.ends_with(tail)) << message;
    const std::string head = message.substr(0, message.size() - tail.size());
    EXPECT_TRUE(text.starts_with(head)) << message;
    ASSERT_FALSE(head.empty()) << message;
    EXPECT_EQ(std::string_view(" \t\r\n").find(head.back()), std::string_view::npos) << message;
    EXPECT_EQ(text.substr(head.size()).find_first_not_of(" \t\r\n"), std::string::npos) << message;
  }
}

TEST(SystemErrorMessage, NamesCodesThePlatformDoesNotKnow) {
  EXPECT_EQ(system_error_message(0x2000FFFF), "Unknown error (os error 536936447)");
}

TEST(SystemErrorMessage, LeavesTheLastErrorAlone) {
  SetLastError(ERROR_MORE_DATA);
  (void)system_error_message(ERROR_ACCESS_DENIED);
  (void)system_error_message(0x2000FFFF);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_MORE_DATA));
}

}  // namespace
}  // namespace kesta
