#include "service/service_log_win.h"

#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <vector>

#include "core/fault.h"

namespace kesta::service {
namespace {

// A file of its own in the temporary folder for each test, removed afterwards.
class ServiceLogTest : public ::testing::Test {
 protected:
  ServiceLogTest() {
    wchar_t folder[MAX_PATH + 1];
    const DWORD length = GetTempPathW(MAX_PATH + 1, folder);
    const auto* test = ::testing::UnitTest::GetInstance()->current_test_info();
    const std::string name = std::string("kesta_log_") + test->name() + "_" +
                             std::to_string(GetCurrentProcessId()) + ".log";
    path_ = std::wstring(folder, length) + std::wstring(name.begin(), name.end());
    DeleteFileW(path_.c_str());
    saved_stderr_ = GetStdHandle(STD_ERROR_HANDLE);
    // Keeps the copies out of the test output; the copy has a test of its own.
    SetStdHandle(STD_ERROR_HANDLE, nullptr);
  }
  ~ServiceLogTest() override {
    SetStdHandle(STD_ERROR_HANDLE, saved_stderr_);
    DeleteFileW(path_.c_str());
  }

  std::shared_ptr<ServiceLog> open_log() {
    auto log = ServiceLog::open(path_);
    EXPECT_TRUE(log) << (log ? "" : log.error().report());
    return log ? *log : nullptr;
  }

  HANDLE open_other(const std::wstring& path, DWORD access) {
    return CreateFileW(path.c_str(), access, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                       nullptr, OPEN_ALWAYS, 0, nullptr);
  }

  std::string contents(const std::wstring& path) {
    const HANDLE file = open_other(path, GENERIC_READ);
    EXPECT_NE(file, INVALID_HANDLE_VALUE);
    std::string out;
    char buffer[4096];
    DWORD count = 0;
    while (ReadFile(file, buffer, sizeof buffer, &count, nullptr) && count > 0) {
      out.append(buffer, count);
    }
    CloseHandle(file);
    return out;
  }
  std::string contents() { return contents(path_); }

  std::wstring path_;
  HANDLE saved_stderr_;
};

TEST_F(ServiceLogTest, ASecondOpenEmptiesTheFile) {
  open_log()->write_line("Service started");
  open_log()->write_line("a longer line from the first start");
  const auto log = open_log();
  log->write_line("Service started");
  EXPECT_EQ(contents(), "Service started\n");
}

TEST_F(ServiceLogTest, WritesWhileAnotherHandleHoldsTheFile) {
  const HANDLE other = open_other(path_, GENERIC_READ | GENERIC_WRITE);
  ASSERT_NE(other, INVALID_HANDLE_VALUE);
  DWORD written = 0;
  ASSERT_TRUE(WriteFile(other, "left over\n", 10, &written, nullptr));
  const auto log = open_log();
  ASSERT_NE(log, nullptr);
  log->write_line("Service started");
  EXPECT_EQ(contents(), "Service started\n");
  CloseHandle(other);
}

TEST_F(ServiceLogTest, WritesEachLineStraightThroughAsItIs) {
  const auto log = open_log();
  log->write_line("Error on execution: outer\n\nCaused by:\n    inner");
  EXPECT_EQ(contents(), "Error on execution: outer\n\nCaused by:\n    inner\n");
  log->write_line("Message sent: rERpc2Nvbm5lY3RlZA==\n");
  log->write_line("");
  log->write_line("caf\xc3\xa9");
  EXPECT_EQ(contents(),
            "Error on execution: outer\n\nCaused by:\n    inner\n"
            "Message sent: rERpc2Nvbm5lY3RlZA==\n\n\ncaf\xc3\xa9\n");
}

TEST_F(ServiceLogTest, FailsToOpenInAMissingFolder) {
  const std::wstring missing = path_ + L".missing\\service.log";
  const auto log = ServiceLog::open(missing);
  ASSERT_FALSE(log);
  EXPECT_EQ(log.error().message(), system_error_message(ERROR_PATH_NOT_FOUND));
}

TEST_F(ServiceLogTest, AFailedWriteFaultsAndPoisonsTheLog) {
  const HANDLE read_only = open_other(path_, GENERIC_READ);
  ASSERT_NE(read_only, INVALID_HANDLE_VALUE);
  ServiceLog log(read_only);
  try {
    log.write_line("first");
    FAIL() << "the write to a read-only handle succeeded";
  } catch (const Fault& fault) {
    EXPECT_EQ(fault.origin(), Fault::Origin::kComposed);
    EXPECT_TRUE(fault.description().starts_with("failed to write to the service log: "))
        << fault.description();
  }
  for (int i = 0; i < 3; ++i) {
    try {
      log.write_line("later");
      FAIL() << "a poisoned log accepted a line";
    } catch (const Fault& fault) {
      EXPECT_EQ(fault.origin(), Fault::Origin::kFixed);
    }
  }
}

TEST_F(ServiceLogTest, CopiesEachLineToStandardError) {
  const std::wstring copy_path = path_ + L".stderr";
  struct Case {
    const char* name;
    enum { kNone, kNull, kFile, kReadOnly } standard_error;
    bool faults;
    std::string file;
  };
  const Case cases[] = {
      {"no standard error", Case::kNone, false, "line\n"},
      {"null standard error", Case::kNull, false, "line\n"},
      {"standard error to a file", Case::kFile, false, "line\n"},
      // The copy fails before the file is touched.
      {"standard error that cannot be written", Case::kReadOnly, true, ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    DeleteFileW(copy_path.c_str());
    HANDLE copy = INVALID_HANDLE_VALUE;
    if (c.standard_error == Case::kFile) copy = open_other(copy_path, GENERIC_WRITE);
    if (c.standard_error == Case::kReadOnly) copy = open_other(copy_path, GENERIC_READ);
    SetStdHandle(STD_ERROR_HANDLE, c.standard_error == Case::kNull ? nullptr : copy);
    const auto log = open_log();
    bool faulted = false;
    try {
      log->write_line("line");
    } catch (const Fault& fault) {
      faulted = true;
      EXPECT_TRUE(fault.description().starts_with("failed printing to stderr: "))
          << fault.description();
    }
    if (copy != INVALID_HANDLE_VALUE) CloseHandle(copy);
    EXPECT_EQ(faulted, c.faults);
    EXPECT_EQ(contents(), c.file);
    if (c.standard_error == Case::kFile) {
      EXPECT_EQ(contents(copy_path), "line\n");
    }
  }
  DeleteFileW(copy_path.c_str());
}

TEST_F(ServiceLogTest, LinesFromSeveralThreadsNeverInterleave) {
  const auto log = open_log();
  constexpr int kThreads = 4;
  constexpr int kLines = 200;
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&log, t] {
      const std::string line(100, static_cast<char>('a' + t));
      for (int i = 0; i < kLines; ++i) log->write_line(line);
    });
  }
  for (auto& thread : threads) thread.join();
  const std::string text = contents();
  ASSERT_EQ(text.size(), kThreads * kLines * 101u);
  for (std::size_t at = 0; at < text.size(); at += 101) {
    EXPECT_EQ(text.substr(at, 101), std::string(100, text[at]) + "\n") << "at " << at;
  }
}

}  // namespace
}  // namespace kesta::service
