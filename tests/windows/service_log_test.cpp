#include "service/service_log_win.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include <aclapi.h>
#include <sddl.h>

#include "core/fault.h"
#include "core/utf16.h"
#include "service/service_log_path_win.h"
#include "testing/security/access_check_win.h"

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
    DeleteFileW(moved().c_str());
  }

  std::wstring moved() const { return path_ + L".1"; }

  std::shared_ptr<ServiceLog> open_log(std::uint64_t bound = kServiceLogBound) {
    auto log = ServiceLog::open(path_, bound);
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

  // The first line of the file, which says what became of its earlier lines.
  std::string first_line(const std::wstring& path) {
    const std::string text = contents(path);
    return text.substr(0, text.find('\n'));
  }

  std::wstring path_;
  HANDLE saved_stderr_;
};

TEST_F(ServiceLogTest, ASecondOpenEmptiesTheFile) {
  open_log()->write_line("Service started");
  open_log()->write_line("a longer line from the first start");
  const auto log = open_log();
  log->write_line("Service started");
  EXPECT_EQ(contents(), "Service started\n");
  // The last start's lines are kept in the copy; an empty log leaves the copy as it was.
  open_log();
  open_log();
  EXPECT_EQ(contents(moved()), "Service started\n");
  EXPECT_EQ(contents(), "");
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
  ServiceLog log{UniqueFile(read_only)};
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
  const std::wstring copy_path = path_ + L".stderr";
  const HANDLE copy = open_other(copy_path, GENERIC_WRITE);
  SetStdHandle(STD_ERROR_HANDLE, copy);
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
  // The copy on standard error is made under the same lock: the same lines in the same order.
  CloseHandle(copy);
  EXPECT_EQ(contents(copy_path), text);
  DeleteFileW(copy_path.c_str());
  ASSERT_EQ(text.size(), kThreads * kLines * 101u);
  for (std::size_t at = 0; at < text.size(); at += 101) {
    EXPECT_EQ(text.substr(at, 101), std::string(100, text[at]) + "\n") << "at " << at;
  }
}

// The rights an Everyone entry of the file's DACL grants; 0 without one. Wine keeps a file's DACL
// only as far as Unix permission bits go: it always shows SYSTEM and the file's owner (the test's
// own account, so the access check cannot judge it), and an Everyone entry as far as the bits
// for other accounts allow. So the tests can show that other accounts lost their access, not
// that the DACL holds exactly SYSTEM and Administrators; the descriptor itself is judged above.
DWORD everyone_access(const std::wstring& path) {
  PACL dacl = nullptr;
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  EXPECT_EQ(GetNamedSecurityInfoW(path.c_str(), SE_FILE_OBJECT, DACL_SECURITY_INFORMATION, nullptr,
                                  nullptr, &dacl, nullptr, &descriptor),
            ERROR_SUCCESS);
  DWORD mask = 0;
  for (DWORD i = 0; dacl != nullptr && i < dacl->AceCount; ++i) {
    void* ace = nullptr;
    if (!GetAce(dacl, i, &ace)) continue;
    auto* allowed = static_cast<ACCESS_ALLOWED_ACE*>(ace);
    if (allowed->Header.AceType == ACCESS_ALLOWED_ACE_TYPE &&
        IsWellKnownSid(reinterpret_cast<PSID>(&allowed->SidStart), WinWorldSid)) {
      mask |= allowed->Mask;
    }
  }
  LocalFree(descriptor);
  return mask;
}

TEST(ServiceLogSecurity, OnlySystemAndAdministratorsMayTouchTheLog) {
  using testing::Caller;
  const struct {
    DWORD desired;
    Caller caller;
    bool granted;
  } cases[] = {
      {FILE_READ_DATA, Caller::kUser, false},      {GENERIC_READ, Caller::kUser, false},
      {FILE_WRITE_DATA, Caller::kUser, false},     {FILE_APPEND_DATA, Caller::kUser, false},
      {GENERIC_WRITE, Caller::kUser, false},       {READ_CONTROL, Caller::kUser, false},
      {WRITE_DAC, Caller::kUser, false},           {DELETE, Caller::kUser, false},
      {GENERIC_ALL, Caller::kAdministrator, true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(::testing::PrintToString(c.desired) +
                 (c.caller == Caller::kUser ? " as a user" : " as an administrator"));
    EXPECT_EQ(testing::granted_access(kServiceLogSecurity, c.desired, c.caller).has_value(),
              c.granted);
  }
}

TEST_F(ServiceLogTest, AnOpenLogLeftByOthersIsProtectedBeforeTheFirstLine) {
  // Readable by everyone, as a file created at the drive's root inherits.
  PSECURITY_DESCRIPTOR open_descriptor = nullptr;
  ASSERT_TRUE(ConvertStringSecurityDescriptorToSecurityDescriptorW(
      L"D:(A;;FA;;;WD)", SDDL_REVISION_1, &open_descriptor, nullptr));
  SECURITY_ATTRIBUTES attributes{sizeof attributes, open_descriptor, FALSE};
  const HANDLE file =
      CreateFileW(path_.c_str(), GENERIC_WRITE, 0, &attributes, CREATE_ALWAYS, 0, nullptr);
  LocalFree(open_descriptor);
  ASSERT_NE(file, INVALID_HANDLE_VALUE);
  DWORD written = 0;
  ASSERT_TRUE(WriteFile(file, "keys\n", 5, &written, nullptr));
  CloseHandle(file);
  ASSERT_NE(everyone_access(path_) & FILE_READ_DATA, 0u);

  const auto log = open_log();
  ASSERT_NE(log, nullptr);
  EXPECT_EQ(everyone_access(path_), 0u);
  EXPECT_EQ(contents(), "");
}

TEST_F(ServiceLogTest, AtTheBoundTheContentMovesAsideWithoutLosingOrSplittingALine) {
  DeleteFileW(moved().c_str());
  const auto log = open_log(256);
  std::string expected;
  for (char c = 'a'; c <= 'z'; ++c) {
    const std::string line(c == 'm' ? 300 : 20, c);  // 'm' is longer than the bound by itself
    log->write_line(line);
    expected += line + "\n";
  }
  const std::wstring moved_name = moved().substr(moved().find_last_of(L'\\') + 1);
  const std::string continued = "Log continued; earlier lines are in " +
                                std::string(moved_name.begin(), moved_name.end()) + "\n";
  const std::string now = contents();
  const std::string before = contents(moved());
  ASSERT_TRUE(now.starts_with(continued)) << now;
  ASSERT_TRUE(before.starts_with(continued) || before.starts_with("aaaa")) << before;
  // The earlier file ends where the current one begins, with whole lines only.
  const std::string tail = before.substr(before.starts_with(continued) ? continued.size() : 0) +
                           now.substr(continued.size());
  EXPECT_TRUE(expected.ends_with(tail)) << tail;
  EXPECT_TRUE(now.ends_with(std::string(20, 'z') + "\n"));
  EXPECT_LE(now.size(), 256u);
  EXPECT_EQ(everyone_access(moved()), 0u);
  EXPECT_EQ(everyone_access(path_), 0u);
}

// A reader holding the log, whatever it shares, costs no line: the log is copied and emptied
// through the service's own handle, never moved. Standard error gets every line, notes
// included; the two files always end that history.
TEST_F(ServiceLogTest, ReadersInEverySharingModeCostNoLineAcrossThreeRotations) {
  const std::wstring history = path_ + L".stderr";
  // Read sharing alone is refused while the service writes.
  for (const DWORD share : {FILE_SHARE_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                            FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE}) {
    for (const std::wstring& left : {path_, moved(), history}) DeleteFileW(left.c_str());
    const HANDLE copy = open_other(history, GENERIC_WRITE);
    SetStdHandle(STD_ERROR_HANDLE, copy);
    const auto log = open_log(256);
    const HANDLE reader =
        CreateFileW(path_.c_str(), GENERIC_READ, share, nullptr, OPEN_EXISTING, 0, nullptr);
    EXPECT_EQ(reader != INVALID_HANDLE_VALUE, (share & FILE_SHARE_WRITE) != 0) << share;
    std::string lines;
    for (int i = 0; i < 40; ++i) {
      const std::string line = "line " + std::to_string(i) + std::string(i % 23, '.');
      log->write_line(line);
      lines += line + "\n";
      EXPECT_TRUE(contents(history).ends_with(contents(moved()) + contents())) << i;
    }
    std::string text = contents(history);
    const std::string note = first_line(path_) + "\n";
    int notes = 0;
    for (std::size_t at; (at = text.find(note)) != text.npos; ++notes) text.erase(at, note.size());
    EXPECT_GE(notes, 3) << share;
    EXPECT_EQ(text, lines);
    if (reader != INVALID_HANDLE_VALUE) CloseHandle(reader);
    CloseHandle(copy);
  }
  DeleteFileW(history.c_str());
}

// While ".1" is held without write sharing the log grows; the copy is tried again after each
// further MiB, and at twice the bound the log is emptied in place, saying why. Released before
// the next attempt, that attempt copies; released after the emptying, the next rotation does.
TEST_F(ServiceLogTest, ACopyThatCannotBeWrittenIsTriedAgainEachMebibyteUntilTwiceTheBound) {
  constexpr std::uint64_t kBound = 2 * kServiceLogCopyRetry;
  const std::string line(64 * 1024 - 1, 'x');
  const std::string name = narrow(moved().substr(moved().rfind(L'\\') + 1));
  for (const bool early : {true, false}) {
    DeleteFileW(path_.c_str());
    std::unique_ptr<void, decltype(&CloseHandle)> holder(
        CreateFileW(moved().c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, CREATE_ALWAYS, 0,
                    nullptr),
        &CloseHandle);
    const auto log = open_log(kBound);
    bool emptied = false, copied = false;
    for (std::uint64_t i = 0, size = 0; i < 200 && !copied; ++i) {
      if (early && size > kBound + kServiceLogCopyRetry / 2) holder.reset();
      log->write_line(line);
      const std::uint64_t now = std::filesystem::file_size(path_);
      if (now < size && first_line(path_).starts_with("Log emptied")) {
        emptied = true;
        EXPECT_EQ(size, 2 * kBound);
        EXPECT_EQ(first_line(path_),
                  "Log emptied after reaching " + std::to_string(size) + " bytes; " + name +
                      " could not be written: " + system_error_message(ERROR_SHARING_VIOLATION));
        holder.reset();
      } else if (now < size) {
        copied = true;
        EXPECT_EQ(first_line(path_), "Log continued; earlier lines are in " + name);
      }
      size = now;
    }
    EXPECT_EQ(emptied, !early);
    EXPECT_TRUE(early ? std::filesystem::file_size(moved()) == kBound + kServiceLogCopyRetry
                      : contents(moved()).starts_with("Log emptied after reaching "));
  }
}

// What Wine cannot make (a reparse point, a file of another account), judged from its facts.
TEST(ServiceLogPath, ForeignObjects) {
  const auto sid = [](const wchar_t* text) {
    PSID sid = nullptr;
    EXPECT_TRUE(ConvertStringSidToSidW(text, &sid));
    return UniqueLocalMemory<>(sid);
  };
  const auto own = sid(L"S-1-5-21-1-2-3-1000"), other = sid(L"S-1-5-21-1-2-3-1001");
  const auto administrators = sid(L"S-1-5-32-544"), system = sid(L"S-1-5-18");
  const struct {
    DWORD attributes, links;
    PSID owner;
    bool foreign;
  } rows[] = {
      {FILE_ATTRIBUTE_ARCHIVE, 1, own.get(), false},
      {FILE_ATTRIBUTE_NORMAL, 1, administrators.get(), false},
      {FILE_ATTRIBUTE_ARCHIVE, 1, other.get(), true},
      {FILE_ATTRIBUTE_ARCHIVE, 1, system.get(), true},
      {FILE_ATTRIBUTE_ARCHIVE, 1, nullptr, true},
      {FILE_ATTRIBUTE_ARCHIVE | FILE_ATTRIBUTE_REPARSE_POINT, 1, own.get(), true},
  };
  for (const auto& row : rows) {
    EXPECT_EQ(is_foreign({row.attributes, row.links, row.owner}, own.get()), row.foreign)
        << row.attributes << " " << row.links;
  }
}

}  // namespace
}  // namespace kesta::service
