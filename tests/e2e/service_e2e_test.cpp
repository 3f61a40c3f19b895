// The real redevuva_service.exe under Wine's service control manager, driven over the real
// pipe. The test process itself keeps Wine's services alive while it runs.

#include <windows.h>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <future>
#include <sstream>
#include <string>
#include <thread>
#include <variant>
#include <vector>

#include "core/error.h"
#include "protocol/decode.h"
#include "protocol/encode.h"
#include "protocol/render.h"
#include "protocol/request_line.h"
#include "service_harness.h"

namespace kesta::e2e {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using ::testing::EndsWith;
using ::testing::HasSubstr;
using ::testing::StartsWith;

std::string rendered(const std::optional<protocol::Response>& response) {
  return response ? protocol::render(*response) : std::string("(none)");
}

// The response line of Disconnected; "Message sent: " carries it with its line feed, so an
// empty line follows in the log.
const std::string kDisconnectedLine = "rERpc2Nvbm5lY3RlZA==\n";

bool is_disconnected(const std::optional<protocol::Response>& response) {
  return response && std::holds_alternative<protocol::Disconnected>(*response);
}

// Connected, with a handshake and traffic from the simulated server.
bool is_live_connection(const std::optional<protocol::Response>& response) {
  if (!response || !std::holds_alternative<protocol::Connected>(*response)) return false;
  const auto& info = std::get<protocol::Connected>(*response).info;
  return info.last_handshake.has_value() && info.rx_bytes > 0;
}

std::string line_of(const protocol::Command& command) {
  return protocol::encode_command(command);
}

// The log of a request `line` (ending in its line feed) for `command`, answered with
// Disconnected: the line written after "Message sent: " ends in a line feed of its own, so an
// empty line follows.
std::string disconnected_log(const std::string& line, const char* command) {
  return "Received message: " + line.substr(0, line.size() - 1) + "\nReceived command: " + command +
         "\nSending response: Disconnected\nMessage sent: " + kDisconnectedLine + "\n";
}

// Where the service copies its log: at the bound, and at every start.
fs::path copy_path() {
  return service_log_path().wstring() + L".1";
}

std::vector<wgsim::JournalEntry> named(const std::vector<wgsim::JournalEntry>& journal,
                                       const char* call) {
  std::vector<wgsim::JournalEntry> found;
  for (const auto& entry : journal) {
    if (entry.call == call) found.push_back(entry);
  }
  return found;
}

TEST(E2eService, ServesTheTunnelCommandsAndStops) {
  ServiceRun run({});
  ASSERT_EQ(run.start().dwCurrentState, static_cast<DWORD>(SERVICE_RUNNING));

  EXPECT_EQ(run.control(SERVICE_CONTROL_INTERROGATE), 0u);
  // Only Stop is accepted, so the manager refuses a Pause before it reaches the service.
  EXPECT_EQ(run.control(SERVICE_CONTROL_PAUSE), static_cast<DWORD>(ERROR_INVALID_SERVICE_CONTROL));
  EXPECT_EQ(run.query().dwCurrentState, static_cast<DWORD>(SERVICE_RUNNING));

  const auto first = request(protocol::Info{});
  EXPECT_TRUE(is_disconnected(first)) << rendered(first);
  const auto connected = request(protocol::Connect{tunnel_config()});
  EXPECT_TRUE(is_live_connection(connected)) << rendered(connected);
  const auto info = request(protocol::Info{});
  EXPECT_TRUE(is_live_connection(info)) << rendered(info);
  const auto disconnected = request(protocol::Disconnect{});
  EXPECT_TRUE(is_disconnected(disconnected)) << rendered(disconnected);
  // The adapter is switched off, not forgotten: its statistics are still there to read.
  const auto after = request(protocol::Info{});
  EXPECT_TRUE(after && std::holds_alternative<protocol::Connected>(*after)) << rendered(after);

  // The real IP Helper code, against the simulated iphlpapi.dll.
  const auto ip = run.journal("iphlpapi_sim.journal");
  const auto routes = named(ip, "CreateIpForwardEntry2");
  ASSERT_EQ(routes.size(), 1u);
  const std::string luid = routes[0].field("luid");
  EXPECT_NE(luid, "0");
  EXPECT_EQ(routes[0].field("family"), "2");
  EXPECT_EQ(routes[0].field("prefix"), "0.0.0.0");
  EXPECT_EQ(routes[0].field("prefix_length"), "0");
  EXPECT_EQ(routes[0].field("next_hop"), "0.0.0.0");
  EXPECT_EQ(routes[0].field("result"), "0");
  const auto addresses = named(ip, "CreateUnicastIpAddressEntry");
  ASSERT_EQ(addresses.size(), 1u);
  EXPECT_EQ(addresses[0].field("luid"), luid);
  EXPECT_EQ(addresses[0].field("address"), "10.0.0.2");
  EXPECT_EQ(addresses[0].field("prefix_length"), "32");
  const auto interfaces = named(ip, "SetIpInterfaceEntry");
  ASSERT_EQ(interfaces.size(), 1u);
  EXPECT_EQ(interfaces[0].field("luid"), luid);
  EXPECT_EQ(interfaces[0].field("use_automatic_metric"), "0");
  EXPECT_EQ(interfaces[0].field("metric"), "9999");
  EXPECT_EQ(interfaces[0].field("nl_mtu"), "1420");
  const auto created = named(run.journal(wgsim::kJournalFileName), "CreateAdapter");
  ASSERT_EQ(created.size(), 1u);
  EXPECT_EQ(created[0].field("type"), "RedevUva");

  const SERVICE_STATUS_PROCESS stopped = run.stop();
  EXPECT_EQ(stopped.dwCurrentState, static_cast<DWORD>(SERVICE_STOPPED));
  EXPECT_EQ(stopped.dwWin32ExitCode, 0u);
  const std::string log = read_shared(service_log_path());
  EXPECT_THAT(log, StartsWith("Service started\nReceived message: "));
  EXPECT_THAT(log, HasSubstr("\nReceived command: Info\nSending response: Disconnected\n"));
  EXPECT_THAT(log, EndsWith("\nService stopped\n"));
}

// What each start empties is first copied to .1: the lines that explain a failure outlive the
// restart that follows it.
TEST(E2eService, ASecondStartEmptiesTheLog) {
  {
    std::ofstream stale(service_log_path(), std::ios::binary | std::ios::trunc);
    stale << std::string(10'000, 'x') << "\n";
  }
  ServiceRun run({});
  ASSERT_EQ(run.start().dwCurrentState, static_cast<DWORD>(SERVICE_RUNNING));
  EXPECT_EQ(read_shared(copy_path()), std::string(10'000, 'x') + "\n");
  EXPECT_EQ(exchange("not Base64!\n").reply, "");
  EXPECT_TRUE(is_disconnected(request(protocol::Info{})));
  EXPECT_EQ(run.stop().dwWin32ExitCode, 0u);
  const std::string first = read_shared(service_log_path());
  EXPECT_THAT(first, StartsWith("Service started\nReceived message: not Base64!\nFailed to "));

  ASSERT_EQ(run.start().dwCurrentState, static_cast<DWORD>(SERVICE_RUNNING));
  EXPECT_EQ(read_shared(service_log_path()), "Service started\n");
  EXPECT_EQ(read_shared(copy_path()), first);
  EXPECT_EQ(run.stop().dwWin32ExitCode, 0u);
  EXPECT_EQ(read_shared(service_log_path()), "Service started\nService stopped\n");
}

TEST(E2eService, RefusedRouteIsAnsweredWithTheSystemError) {
  ServiceRun run({});
  run.write("iphlpapi_sim.scenario", "CreateIpForwardEntry2 5\n");
  ASSERT_EQ(run.start().dwCurrentState, static_cast<DWORD>(SERVICE_RUNNING));
  const auto response = request(protocol::Connect{tunnel_config()});
  const std::string expected =
      "Failed to create adapter: Failed to set route: Failed to set default route - " +
      system_error_message(5);
  ASSERT_TRUE(response && std::holds_alternative<protocol::Error>(*response)) << rendered(response);
  EXPECT_EQ(std::get<protocol::Error>(*response).message, expected);
  EXPECT_THAT(read_shared(service_log_path()), HasSubstr("\n" + expected + "\n"));
}

TEST(E2eService, UndecodableLineEndsTheConnectionWithoutAResponse) {
  ServiceRun run({});
  ASSERT_EQ(run.start().dwCurrentState, static_cast<DWORD>(SERVICE_RUNNING));
  const std::string line = "not Base64!\n";
  const Exchange done = exchange(line);
  EXPECT_TRUE(done.connected);
  EXPECT_EQ(done.reply, "");
  const auto decoded = protocol::decode_command(line);
  ASSERT_FALSE(decoded.command.has_value());
  EXPECT_THAT(read_shared(service_log_path()),
              HasSubstr("\nReceived message: not Base64!\n" +
                        protocol::refused_request_line(decoded.command.error()) + "\n"));
  // The service goes on serving.
  EXPECT_TRUE(is_disconnected(request(protocol::Info{})));
}

// Clients that keep quiet, send one byte every 2 seconds, or send 64 KiB and one byte without a
// line feed and pause, and connect again whenever the service drops them; each connection ends
// at the service's read deadline.
class UnrulyClients {
 public:
  enum class Kind { kSilent, kSlow, kFat };
  UnrulyClients(int silent, int slow, int fat) {
    for (int i = 0; i < silent + slow + fat; ++i) {
      const Kind kind = i < silent ? Kind::kSilent : i < silent + slow ? Kind::kSlow : Kind::kFat;
      threads_.emplace_back([this, kind] { run(kind); });
    }
  }
  // Lets every connection run into the deadline, so that each one ends the same way.
  ~UnrulyClients() {
    stop_ = true;
    for (auto& thread : threads_) thread.join();
  }
  int connections() const { return connections_; }

 private:
  void run(Kind kind) {
    while (!stop_) {
      SilentClient client;
      if (!client.connected()) return;
      ++connections_;
      if (kind == Kind::kFat) client.write(std::string(64 * 1024 + 1, 'A'));
      for (int sent = 0; kind == Kind::kSlow && !stop_; ++sent) {
        if (!client.write(std::string_view("pEluZm8=").substr(sent % 8, 1))) break;
        for (int tick = 0; tick < 20 && !stop_; ++tick) std::this_thread::sleep_for(100ms);
      }
      client.read_to_end();
    }
  }

  std::atomic<bool> stop_{false};
  std::atomic<int> connections_{0};
  std::vector<std::thread> threads_;
};

TEST(E2eService, UnrulyClientsDelayNoOtherRequest) {
  ServiceRun run({});
  ASSERT_EQ(run.start().dwCurrentState, static_cast<DWORD>(SERVICE_RUNNING));
  int requests = 0;
  int unruly_connections = 0;
  {
    UnrulyClients unruly(8, 50, 6);
    std::this_thread::sleep_for(2s);  // they have taken their places
    const auto until = std::chrono::steady_clock::now() + 30s;
    while (std::chrono::steady_clock::now() < until) {
      const auto asked = std::chrono::steady_clock::now();
      EXPECT_TRUE(is_disconnected(request(protocol::Info{})));
      // Normally a few milliseconds; the bound is for a busy machine, not for a held worker.
      EXPECT_LT(std::chrono::steady_clock::now() - asked, 1s);
      ++requests;
      std::this_thread::sleep_for(250ms);
    }
    unruly_connections = unruly.connections();
  }
  // Every unruly connection ended at the deadline with one line; nothing else was logged.
  std::istringstream log(read_shared(service_log_path()));
  int timed_out = 0;
  for (std::string line; std::getline(log, line);) {
    if (line == "Failed to read incoming message: timed out after 5 seconds") {
      ++timed_out;
    } else if (line != "Service started" && line != "Received message: pEluZm8=" &&
               line != "Received command: Info" && line != "Sending response: Disconnected" &&
               line !=
                   "Message sent: " + kDisconnectedLine.substr(0, kDisconnectedLine.size() - 1) &&
               !line.empty()) {
      ADD_FAILURE() << "unexpected log line: " << line;
    }
  }
  EXPECT_EQ(timed_out, unruly_connections);
  EXPECT_GT(unruly_connections, 64);
  EXPECT_GT(requests, 20);
}

TEST(E2eService, StopDoesNotWaitForABusyWorker) {
  ServiceRun run({});
  ASSERT_EQ(run.start().dwCurrentState, static_cast<DWORD>(SERVICE_RUNNING));
  // The worker is blocked reading this client's request for up to 5 seconds.
  SilentClient silent;
  ASSERT_TRUE(silent.connected());
  const SERVICE_STATUS_PROCESS stopped = run.stop();
  EXPECT_EQ(stopped.dwCurrentState, static_cast<DWORD>(SERVICE_STOPPED));
  EXPECT_EQ(stopped.dwWin32ExitCode, 0u);
  // The process ended with the worker still waiting, so the client's connection broke.
  EXPECT_EQ(silent.read_to_end(), "");
  EXPECT_EQ(read_shared(service_log_path()), "Service started\nService stopped\n");
}

// Starts the service while another server holds the pipe's name with `instances` instances;
// the status the service ends with, or RUNNING when the platform let it create its own.
SERVICE_STATUS_PROCESS start_beside_squatter(ServiceRun& run, DWORD instances) {
  const HANDLE squatter = CreateNamedPipeW(L"\\\\.\\pipe\\redevuva.sock", PIPE_ACCESS_DUPLEX,
                                           PIPE_TYPE_BYTE, instances, 4096, 4096, 0, nullptr);
  EXPECT_NE(squatter, INVALID_HANDLE_VALUE) << system_error_message(GetLastError());
  SERVICE_STATUS_PROCESS status = run.start();
  if (status.dwCurrentState != SERVICE_RUNNING) {
    status = run.wait_for(SERVICE_STOPPED, 30s);
    run.wait_for_process_exit();
  }
  CloseHandle(squatter);
  return status;
}

std::string name_occupied_log(DWORD code) {
  return "Service started\nError: could not start server because the socket file is occupied. "
         "Please check if\n                    redevuva.sock is in use by another process and "
         "try again.\nError on execution: " +
         system_error_message(code) + "\n";
}

TEST(E2eService, PipeNameHeldWithItsOnlyInstanceIsReported) {
  ServiceRun run({});
  const SERVICE_STATUS_PROCESS status = start_beside_squatter(run, 1);
  EXPECT_EQ(status.dwCurrentState, static_cast<DWORD>(SERVICE_STOPPED));
  EXPECT_EQ(status.dwWin32ExitCode, static_cast<DWORD>(ERROR_PIPE_BUSY));
  EXPECT_EQ(status.dwServiceSpecificExitCode, 0u);
  EXPECT_EQ(read_shared(service_log_path()), name_occupied_log(ERROR_PIPE_BUSY));
}

TEST(E2eService, PipeNameHeldByAnotherServerIsRefusedToTheFirstInstance) {
  ServiceRun run({});
  const SERVICE_STATUS_PROCESS status = start_beside_squatter(run, PIPE_UNLIMITED_INSTANCES);
  if (status.dwCurrentState == SERVICE_RUNNING) {
    GTEST_SKIP() << "Wine lets a second server create an instance of a pipe that another "
                    "process holds (FILE_FLAG_FIRST_PIPE_INSTANCE is not enforced)";
  }
  EXPECT_EQ(status.dwCurrentState, static_cast<DWORD>(SERVICE_STOPPED));
  EXPECT_EQ(status.dwWin32ExitCode, static_cast<DWORD>(ERROR_ACCESS_DENIED));
  EXPECT_EQ(read_shared(service_log_path()), name_occupied_log(ERROR_ACCESS_DENIED));
}

TEST(E2eService, LogThatCannotBeOpenedStopsWithItsErrorCode) {
  ServiceRun run({});
  // A folder where the log belongs, held without delete sharing: it cannot be moved aside.
  std::filesystem::remove(service_log_path());
  ASSERT_TRUE(std::filesystem::create_directory(service_log_path()));
  struct RemoveFolder {
    ~RemoveFolder() { std::filesystem::remove_all(service_log_path()); }
  } remove_folder;
  const HANDLE holder =
      CreateFileW(service_log_path().c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                  nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);

  SERVICE_STATUS_PROCESS status = run.start();
  if (status.dwCurrentState != SERVICE_STOPPED) status = run.wait_for(SERVICE_STOPPED, 30s);
  run.wait_for_process_exit();
  CloseHandle(holder);
  EXPECT_EQ(status.dwCurrentState, static_cast<DWORD>(SERVICE_STOPPED));
  EXPECT_EQ(status.dwWin32ExitCode, static_cast<DWORD>(ERROR_SHARING_VIOLATION));
  EXPECT_EQ(status.dwServiceSpecificExitCode, 0u);
  // It never got as far as the pipe, which comes before RUNNING, and wrote nothing anywhere.
  EXPECT_EQ(pipe_open_error(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
  EXPECT_TRUE(std::filesystem::is_empty(service_log_path()));
}

// Removes what tests put at the log's paths and what the service moved aside from there.
struct ClearLogPaths {
  ClearLogPaths() { clear(); }
  ~ClearLogPaths() { clear(); }
  static void clear() {
    std::error_code ignored;
    for (const char* suffix : {"", ".1", ".foreign-1", ".foreign-2", ".1.foreign-1"}) {
      fs::remove_all(service_log_path().string() + suffix, ignored);
    }
  }
};

// What any local account can put at the root of the drive (a folder), and a second name of
// another file, are moved aside intact at the start; a folder at .1 before a copy at the bound.
TEST(E2eService, WhatStandsAtTheLogsPathsIsMovedAside) {
  ServiceRun run({});
  const ClearLogPaths clear;
  const fs::path victim = run.folder() / "victim.txt";
  for (const bool folder : {true, false}) {
    if (folder) {
      ASSERT_TRUE(fs::create_directory(service_log_path()));
      std::ofstream(service_log_path() / "inside.txt", std::ios::binary) << "inside\n";
    } else {
      fs::remove(service_log_path());
      run.write("victim.txt", "victim\n");
      ASSERT_TRUE(CreateHardLinkW(service_log_path().c_str(), victim.c_str(), nullptr));
    }
    ASSERT_EQ(run.start().dwCurrentState, static_cast<DWORD>(SERVICE_RUNNING));
    const fs::path now = service_log_path().string() + (folder ? ".foreign-1" : ".foreign-2");
    EXPECT_EQ(read_shared(service_log_path()),
              "Service started\nMoved aside what stood at C:\\redevuva_service.log: now " +
                  now.string() + "\n");
    EXPECT_EQ(read_shared(folder ? now / "inside.txt" : now), folder ? "inside\n" : "victim\n");
    EXPECT_EQ(run.stop().dwWin32ExitCode, 0u);
  }
  EXPECT_EQ(read_shared(victim), "victim\n");

  ASSERT_EQ(run.start().dwCurrentState, static_cast<DWORD>(SERVICE_RUNNING));
  fs::remove(copy_path());
  ASSERT_TRUE(fs::create_directory(copy_path()));
  for (int i = 0; i < 17; ++i) exchange_bytes(std::string(1024 * 1024 - 64, 'A') + "\n");
  EXPECT_TRUE(is_disconnected(request(protocol::Info{})));
  EXPECT_THAT(read_shared(service_log_path()),
              StartsWith("Log continued; earlier lines are in redevuva_service.log.1\nMoved aside "
                         "what stood at C:\\redevuva_service.log.1: now "
                         "C:\\redevuva_service.log.1.foreign-1\nReceived message: AAAA"));
  EXPECT_TRUE(fs::is_directory(copy_path().string() + ".foreign-1"));
  EXPECT_THAT(read_shared(copy_path()), StartsWith("Service started\nReceived message: AAAA"));
}

TEST(E2eService, FaultAfterRunningStopsWithAServiceSpecificCode) {
  ServiceRun run({});
  // The library, loaded before RUNNING, leaves the service a standard error that refuses
  // writes: the worker's next line fails and ends the worker, then the supervision's own line
  // fails too, a fault of the service body after RUNNING.
  run.write(wgsim::kScenarioFileName, "attach_read_only_stderr\n");
  ASSERT_EQ(run.start().dwCurrentState, static_cast<DWORD>(SERVICE_RUNNING));
  EXPECT_EQ(exchange(line_of(protocol::Info{})).reply, "");
  const SERVICE_STATUS_PROCESS status = run.wait_for(SERVICE_STOPPED, 30s);
  run.wait_for_process_exit();
  EXPECT_EQ(status.dwCurrentState, static_cast<DWORD>(SERVICE_STOPPED));
  EXPECT_EQ(status.dwWin32ExitCode, static_cast<DWORD>(ERROR_SERVICE_SPECIFIC_ERROR));
  EXPECT_EQ(status.dwServiceSpecificExitCode, 2u);
  EXPECT_EQ(pipe_open_error(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
  EXPECT_EQ(read_shared(service_log_path()), "Service started\n");
}

TEST(E2eService, UserDefinedControlChangesNothing) {
  ServiceRun run({});
  ASSERT_EQ(run.start().dwCurrentState, static_cast<DWORD>(SERVICE_RUNNING));
  run.control(200);
  EXPECT_EQ(run.query().dwCurrentState, static_cast<DWORD>(SERVICE_RUNNING));
  const std::string line = line_of(protocol::Info{});
  EXPECT_EQ(exchange(line).reply, kDisconnectedLine);
  EXPECT_EQ(run.stop().dwWin32ExitCode, 0u);
  EXPECT_EQ(read_shared(service_log_path()),
            "Service started\n" + disconnected_log(line, "Info") + "Service stopped\n");
}

TEST(E2eService, UserDefinedControlIsAnsweredAsNotImplemented) {
  ServiceRun run({});
  ASSERT_EQ(run.start().dwCurrentState, static_cast<DWORD>(SERVICE_RUNNING));
  const DWORD answer = run.control(200);
  if (answer == 0) {
    GTEST_SKIP() << "Wine's service control manager hides the value a control handler "
                    "returns, so the handler's 120 for a user-defined control cannot be seen";
  }
  EXPECT_EQ(answer, static_cast<DWORD>(ERROR_CALL_NOT_IMPLEMENTED));
}

// Lines at and over the 1 MiB bound, a line that is not UTF-8 and two lines in one
// connection, over the real pipe; then the whole log, line for line.
TEST(E2eService, RequestLinesAsTheClientSendsThem) {
  ServiceRun run({});
  ASSERT_EQ(run.start().dwCurrentState, static_cast<DWORD>(SERVICE_RUNNING));
  const std::string info = line_of(protocol::Info{});
  const std::string disconnect = line_of(protocol::Disconnect{});
  // Padding that trimming removes, so that the line feed is the last byte the bound allows,
  // or the first it does not.
  const std::string at_bound = std::string(1'048'576 - info.size(), ' ') + info;
  const std::string over_bound = " " + at_bound;
  struct Row {
    std::string sent;
    std::string reply;
    std::string log;
  };
  const Row rows[] = {
      {at_bound, kDisconnectedLine, disconnected_log(info, "Info")},
      {over_bound, "", "Failed to read incoming message: request line exceeds 1048576 bytes\n"},
      {"\xC3\x28\n", "", "Failed to read incoming message: stream did not contain valid UTF-8\n"},
      // Only the first line of a connection is read.
      {info + disconnect, kDisconnectedLine, disconnected_log(info, "Info")},
  };
  std::string log = "Service started\n";
  for (const Row& row : rows) {
    const Exchange done = exchange_bytes(row.sent);
    EXPECT_TRUE(done.connected);
    EXPECT_EQ(done.reply, row.reply) << row.log;
    log += row.log;
  }
  EXPECT_EQ(run.stop().dwWin32ExitCode, 0u);
  EXPECT_EQ(read_shared(service_log_path()), log + "Service stopped\n");
}

// Waits until `client` has the answer to what it wrote, or the service has dropped it; how
// long that took.
std::chrono::steady_clock::duration until_answered(const SilentClient& client) {
  const auto start = std::chrono::steady_clock::now();
  while (client.unread().bytes == 0 && client.unread().error == 0 &&
         std::chrono::steady_clock::now() - start < 20s) {
    std::this_thread::sleep_for(10ms);
  }
  return std::chrono::steady_clock::now() - start;
}

// A client that never reads its answer ties up a keeper, not the worker, and only until the
// flush deadline of 10 seconds; then the service disconnects it, the answer unread.
TEST(E2eService, UnreadAnswerIsDroppedAtTheFlushDeadline) {
  ServiceRun run({});
  ASSERT_EQ(run.start().dwCurrentState, static_cast<DWORD>(SERVICE_RUNNING));
  const std::string info = line_of(protocol::Info{});
  SilentClient reader;
  ASSERT_TRUE(reader.connected());
  ASSERT_TRUE(reader.write(info));
  until_answered(reader);
  const auto answered = std::chrono::steady_clock::now();
  ASSERT_EQ(reader.unread().bytes, kDisconnectedLine.size());

  SilentClient next;
  ASSERT_TRUE(next.connected());
  ASSERT_TRUE(next.write(info));
  EXPECT_LT(until_answered(next), 5s);
  EXPECT_EQ(next.unread().bytes, kDisconnectedLine.size());

  SilentClient::Unread unread = reader.unread();
  while (unread.error == 0 && std::chrono::steady_clock::now() - answered < 30s) {
    std::this_thread::sleep_for(50ms);
    unread = reader.unread();
  }
  const auto held = std::chrono::steady_clock::now() - answered;
  EXPECT_THAT(unread.error, ::testing::AnyOf(static_cast<DWORD>(ERROR_PIPE_NOT_CONNECTED),
                                             static_cast<DWORD>(ERROR_BROKEN_PIPE)));
  EXPECT_GE(held, 9500ms);
  EXPECT_LT(held, 15s);
  EXPECT_EQ(run.query().dwCurrentState, static_cast<DWORD>(SERVICE_RUNNING));
}

TEST(E2eService, TwoHundredRequestsInARow) {
  ServiceRun run({});
  ASSERT_EQ(run.start().dwCurrentState, static_cast<DWORD>(SERVICE_RUNNING));
  int answered = 0;
  for (int i = 0; i < 200; ++i) {
    const auto response = request(i % 2 == 0 ? protocol::Command(protocol::Info{})
                                             : protocol::Command(protocol::Disconnect{}));
    if (is_disconnected(response)) ++answered;
  }
  EXPECT_EQ(answered, 200);
  EXPECT_EQ(run.query().dwCurrentState, static_cast<DWORD>(SERVICE_RUNNING));
}

// Any local account can make the service log a line of up to 1 MiB; the log stays bounded.
TEST(E2eService, ThreeHundredLinesOfOneMebibyteLeaveAtMost32MiBOfLog) {
  ServiceRun run({});
  ASSERT_EQ(run.start().dwCurrentState, static_cast<DWORD>(SERVICE_RUNNING));
  const std::string line = std::string(1024 * 1024 - 64, 'A') + "\n";
  for (int i = 0; i < 300; ++i) exchange_bytes(line);
  EXPECT_TRUE(is_disconnected(request(protocol::Info{})));
  const auto log_size = fs::file_size(service_log_path());
  const auto moved_size = fs::file_size(service_log_path().string() + ".1");
  std::printf("log %llu bytes, .1 %llu bytes\n", static_cast<unsigned long long>(log_size),
              static_cast<unsigned long long>(moved_size));
  EXPECT_LE(log_size + moved_size, 32u * 1024 * 1024);
  EXPECT_THAT(read_shared(service_log_path()),
              StartsWith("Log continued; earlier lines are in redevuva_service.log.1\n"));
}

TEST(E2eService, MissingWireGuardLibraryStopsWithItsErrorCode) {
  ServiceRun run({.with_wireguard = false});
  run.start();
  const SERVICE_STATUS_PROCESS status = run.wait_for(SERVICE_STOPPED, 30s);
  EXPECT_EQ(status.dwCurrentState, static_cast<DWORD>(SERVICE_STOPPED));
  EXPECT_EQ(status.dwWin32ExitCode, 126u);
  run.wait_for_process_exit();
  EXPECT_EQ(read_shared(service_log_path()),
            "Service started\nError on execution: LoadLibraryExW failed\n\nCaused by:\n    " +
                system_error_message(126) + "\n");
}

TEST(E2eService, StartedFromAConsoleFailsWith1063) {
  const fs::path folder = prepare_run_folder(false);
  const fs::path program = folder / "redevuva_service.exe";
  const fs::path output = folder / "stderr.txt";
  SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
  const HANDLE error_file = CreateFileW(output.c_str(), GENERIC_WRITE, FILE_SHARE_READ, &inherit,
                                        CREATE_ALWAYS, 0, nullptr);
  ASSERT_NE(error_file, INVALID_HANDLE_VALUE);
  STARTUPINFOW startup{};
  startup.cb = sizeof startup;
  startup.dwFlags = STARTF_USESTDHANDLES;
  startup.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
  startup.hStdOutput = error_file;
  startup.hStdError = error_file;
  std::wstring command = L"\"" + program.wstring() + L"\"";
  PROCESS_INFORMATION info{};
  const BOOL created = CreateProcessW(program.c_str(), command.data(), nullptr, nullptr, TRUE, 0,
                                      nullptr, nullptr, &startup, &info);
  CloseHandle(error_file);
  ASSERT_TRUE(created) << system_error_message(GetLastError());
  ASSERT_EQ(WaitForSingleObject(info.hProcess, 60'000), WAIT_OBJECT_0);
  DWORD exit_code = 0;
  GetExitCodeProcess(info.hProcess, &exit_code);
  CloseHandle(info.hThread);
  CloseHandle(info.hProcess);
  EXPECT_EQ(exit_code, 1u);

  std::string text = system_error_message(1063);
  text.resize(text.size() - std::string(" (os error 1063)").size());
  EXPECT_EQ(read_shared(output),
            "Error: Winapi(Os { code: 1063, kind: Uncategorized, message: \"" + text + "\" })\n");
}

}  // namespace
}  // namespace kesta::e2e
