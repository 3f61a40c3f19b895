// The client library's pipe client against a pipe of one instance that another client holds: it
// waits for the pipe up to its timeout. kestactl's pipe tests cover the rest of it over the
// service's own request loop.
#include <windows.h>

#include <gtest/gtest.h>

#include <string>
#include <thread>

#include "client/exchange.h"
#include "core/utf16.h"

namespace kesta::client {
namespace {

TEST(ClientExchange, WaitsForABusyPipeUpToItsTimeout) {
  const std::string path = "\\\\.\\pipe\\client_exchange_" + std::to_string(GetCurrentProcessId());
  const HANDLE server =
      CreateNamedPipeW(widen(path).c_str(), PIPE_ACCESS_DUPLEX, 0, 1, 512, 512, 0, nullptr);
  const HANDLE holder = CreateFileW(widen(path).c_str(), GENERIC_READ | FILE_WRITE_DATA, 0, nullptr,
                                    OPEN_EXISTING, 0, nullptr);
  ASSERT_NE(holder, INVALID_HANDLE_VALUE);
  // Once the holder has gone, the next client gets two lines for its request.
  std::thread serve([&] {
    Sleep(1000);
    CloseHandle(holder);
    DisconnectNamedPipe(server);
    ConnectNamedPipe(server, nullptr);
    char request[64];
    DWORD got = 0;
    ReadFile(server, request, sizeof request, &got, nullptr);
    WriteFile(server, "one\ntwo\n", 8, &got, nullptr);
    FlushFileBuffers(server);
    DisconnectNamedPipe(server);
  });
  const Exchange gave_up =
      exchange_over_pipe({"pEluZm8=\n", path, "", std::chrono::milliseconds(200)});
  EXPECT_EQ(gave_up.outcome, Exchange::Outcome::kTimedOut);
  EXPECT_TRUE(gave_up.error.starts_with("every instance of " + path + " stayed busy"))
      << gave_up.error;
  // A client that gave up leaves the instance to the next, which waits for it and takes the first
  // line only.
  const Exchange waited = exchange_over_pipe({"x\n", path, ""});
  EXPECT_EQ(waited.outcome, Exchange::Outcome::kResponse);
  EXPECT_EQ(waited.line, "one\n");
  serve.join();
  CloseHandle(server);
}

}  // namespace
}  // namespace kesta::client
