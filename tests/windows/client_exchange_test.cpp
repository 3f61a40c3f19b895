// The client library's pipe client against a pipe of one instance served in-process: the answer
// it takes, a server that hangs up, a pipe that stays busy or frees up within the timeout, and
// the rights it asks for.
#include <windows.h>

#include <gtest/gtest.h>

#include <string>
#include <thread>

#include "client/exchange.h"
#include "client/pipe_access_win.h"
#include "core/error.h"
#include "core/utf16.h"
#include "pipe/pipe_listener_win.h"
#include "testing/security/access_check_win.h"

namespace kesta::client {
namespace {

using Outcome = Exchange::Outcome;

// Answers each of `clients` connections, one after another, with `answer` once it has read a
// line, or hangs up once the client does.
class OneInstance {
 public:
  OneInstance(std::string answer, int clients)
      : path("\\\\.\\pipe\\client_exchange_" + std::to_string(GetCurrentProcessId())),
        pipe_(
            CreateNamedPipeW(widen(path).c_str(), PIPE_ACCESS_DUPLEX, 0, 1, 512, 512, 0, nullptr)),
        thread_([this, answer, clients] {
          for (int i = 0; i < clients; ++i) {
            ConnectNamedPipe(pipe_, nullptr);
            std::string line;
            char c = 0;
            DWORD got = 0;
            while (c != '\n' && ReadFile(pipe_, &c, 1, &got, nullptr) && got == 1) line += c;
            if (c == '\n')
              WriteFile(pipe_, answer.data(), static_cast<DWORD>(answer.size()), &got, nullptr);
            FlushFileBuffers(pipe_);
            DisconnectNamedPipe(pipe_);
          }
        }) {}
  ~OneInstance() {
    thread_.join();
    CloseHandle(pipe_);
  }
  // Takes the one instance until `held` has passed.
  void hold(DWORD held) {
    const HANDLE client = CreateFileW(widen(path).c_str(), GENERIC_READ | FILE_WRITE_DATA, 0,
                                      nullptr, OPEN_EXISTING, 0, nullptr);
    EXPECT_NE(client, INVALID_HANDLE_VALUE);
    std::thread([client, held] {
      Sleep(held);
      CloseHandle(client);
    }).detach();
  }
  const std::string path;

 private:
  HANDLE pipe_;
  std::thread thread_;
};

TEST(ClientExchange, OutcomesOverARealPipe) {
  const struct {
    const char* what;
    std::string answer;
    DWORD held_ms;
    int timeout_ms;
    Outcome outcome;
    std::string line_or_error;
  } rows[] = {
      {"hung up", "", 0, 2000, Outcome::kNoResponse, ""},
      {"busy until the timeout", "one\n", 1000, 200, Outcome::kTimedOut, "every instance of "},
      {"busy, then free; the first line only", "one\ntwo\n", 200, 5000, Outcome::kResponse,
       "one\n"},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.what);
    OneInstance server(row.answer, row.held_ms > 0 ? 2 : 1);
    if (row.held_ms > 0) server.hold(row.held_ms);
    const Exchange exchange = exchange_over_pipe(
        {"pEluZm8=\n", server.path, "", std::chrono::milliseconds(row.timeout_ms)});
    EXPECT_EQ(exchange.outcome, row.outcome);
    EXPECT_TRUE((exchange.line + exchange.error).starts_with(row.line_or_error)) << exchange.error;
    if (row.outcome == Outcome::kResponse) {
      EXPECT_EQ(exchange.line, row.line_or_error);
    }
    // A client that gave up still takes the instance once the holder has gone.
    if (row.outcome == Outcome::kTimedOut) exchange_over_pipe({"x\n", server.path, ""});
  }
  const Exchange missing = exchange_over_pipe({"x\n", "\\\\.\\pipe\\client_exchange_none", ""});
  EXPECT_EQ(missing.outcome, Outcome::kUnreachable);
  EXPECT_EQ(missing.error, system_error_message(ERROR_FILE_NOT_FOUND));
  EXPECT_EQ(missing.system_code, static_cast<std::uint32_t>(ERROR_FILE_NOT_FOUND));
}

// What it asks for is granted to an ordinary user by the service's pipe; GENERIC_WRITE would
// also ask for rights the descriptor does not grant.
TEST(ClientExchange, OpensThePipeWithRightsAnOrdinaryUserIsGranted) {
  EXPECT_EQ(kPipeAccess, static_cast<DWORD>(GENERIC_READ | FILE_WRITE_DATA));
  EXPECT_TRUE(kesta::testing::granted_access(pipe::kPipeSecurity, kPipeAccess,
                                             kesta::testing::Caller::kUser));
  EXPECT_EQ(kPipeOpenFlags & (SECURITY_SQOS_PRESENT | SECURITY_IDENTIFICATION | 0x000F0000),
            static_cast<DWORD>(SECURITY_SQOS_PRESENT | SECURITY_IDENTIFICATION));
}

}  // namespace
}  // namespace kesta::client
