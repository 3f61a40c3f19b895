// kestactl's client commands over a real named pipe, against the service's own request loop
// served in-process on a test pipe name; its service commands under the service control
// manager; and `kestactl log --follow` against a writer that rotates the log as the service
// does.
#include <windows.h>

#include <sddl.h>

#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "client.h"
#include "client/exchange.h"
#include "client/pipe_access_win.h"
#include "core/error.h"
#include "core/utf16.h"
#include "pipe/pipe_listener_win.h"
#include "protocol/encode.h"
#include "service/request_loop.h"
#include "service/service_log_win.h"
#include "service_manager_win.h"
#include "service_status.h"
#include "testing/security/access_check_win.h"
#include "testing/transport/memory_log.h"
#include "windows_client_win.h"

namespace kesta::kestactl {
namespace {

constexpr char kKey[] = "AQEBAQEBAQEBAQEBAQEBAQEBAQEBAQEBAQEBAQEBAQE=";

std::string unique(std::string_view stem) {
  static int count = 0;
  return std::string(stem) + std::to_string(GetCurrentProcessId()) + "_" + std::to_string(++count);
}

// Answers every command with a fixed response and keeps the configurations it was given.
class ScriptedHandlers final : public service::CommandHandlers {
 public:
  explicit ScriptedHandlers(protocol::Response answer) : answer_(std::move(answer)) {}
  service::Answer connect(const protocol::Config& config) override {
    configs.push_back(config);
    return service::Answer{answer_};
  }
  service::Answer disconnect() override { return service::Answer{answer_}; }
  service::Answer info() override { return service::Answer{answer_}; }
  std::vector<protocol::Config> configs;

 private:
  protocol::Response answer_;
};

// The service's request loop on a private pipe, serving a given number of connections.
class TestServer {
 public:
  TestServer(protocol::Response answer, int connections) {
    auto descriptor = SecurityDescriptor::from_sddl(pipe::kPipeSecurity);
    EXPECT_TRUE(descriptor);
    auto listener = pipe::PipeListener::create(widen(name), descriptor->get());
    EXPECT_TRUE(listener) << (listener ? "" : listener.error().error.message());
    auto scripted = std::make_unique<ScriptedHandlers>(std::move(answer));
    handlers = scripted.get();
    state_ = std::make_unique<service::WorkerState>(std::move(*listener), log, std::move(scripted));
    thread_ = std::thread([this, connections] {
      for (int i = 0; i < connections; ++i) service::serve_next(*state_);
    });
  }
  ~TestServer() { thread_.join(); }

  const std::string name = unique("kestactl_test_");
  std::shared_ptr<testing::MemoryLog> log = std::make_shared<testing::MemoryLog>();
  ScriptedHandlers* handlers = nullptr;

 private:
  std::unique_ptr<service::WorkerState> state_;
  std::thread thread_;
};

struct ClientRun {
  int status;
  Output output;
};

ClientEnvironment real_environment() {
  ClientEnvironment environment;
  environment.deliver = client::exchange_over_pipe;
  environment.resolve = [](std::string_view) -> std::expected<protocol::Ipv4Address, std::string> {
    return std::unexpected(std::string("no resolver in this test"));
  };
  environment.read_file = [](const std::string&) -> std::expected<std::string, std::string> {
    return std::unexpected(std::string("no files in this test"));
  };
  environment.time = system_time();
  return environment;
}

ClientRun client(std::string command, std::vector<std::string> args) {
  ClientRun run{};
  run.status = run_client(command, args, real_environment(), run.output);
  return run;
}

const std::vector<std::string> kConnectFlags = {
    "--private-key",     kKey,        "--public-key", kKey, "--preshared-key", kKey, "--endpoint",
    "203.0.113.1:51820", "--address", "10.0.0.2"};

std::vector<std::string> with(std::vector<std::string> args, const std::vector<std::string>& more) {
  args.insert(args.end(), more.begin(), more.end());
  return args;
}

TEST(KestactlPipe, OutputAndExitStatusFromARealServer) {
  const protocol::Response connected = protocol::Connected{{std::nullopt, 2048, 4096}};
  struct Row {
    protocol::Response answer;
    std::string command;
    std::vector<std::string> args;
    int status;
    std::string out;
    std::string err_start;
  } rows[] = {
      {connected,
       "info",
       {},
       0,
       "state: connected\nlast handshake: none yet\nsent: 2.00 KiB (2048 bytes)\nreceived: 4.00 "
       "KiB (4096 bytes)\n",
       ""},
      {protocol::Error{"Failed to disconnect: no tunnel"},
       "disconnect",
       {"--json"},
       1,
       "{\"state\":\"error\",\"error\":\"Failed to disconnect: no tunnel\"}\n",
       ""},
      {protocol::Disconnected{}, "send", {"pEluZm8="}, 0, "rERpc2Nvbm5lY3RlZA==\n", ""},
      // The service refuses what it cannot read by hanging up.
      {protocol::Disconnected{},
       "send",
       {"not base64!"},
       3,
       "",
       "kestactl: the service ended the connection without a response"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.command + " " + (row.args.empty() ? "" : row.args[0]));
    TestServer server(row.answer, 1);
    const ClientRun run = client(row.command, with(row.args, {"--pipe", server.name}));
    EXPECT_EQ(run.status, row.status);
    EXPECT_EQ(run.output.out, row.out);
    EXPECT_TRUE(run.output.err.starts_with(row.err_start)) << run.output.err;
    if (row.err_start.empty()) {
      EXPECT_EQ(run.output.err, "");
    }
  }
}

TEST(KestactlPipe, ConnectDeliversTheConfiguration) {
  TestServer server(protocol::Disconnected{}, 1);
  const ClientRun run =
      client("connect",
             with({"--no-verify-server", "--pipe", server.name, "--url", "vpn"}, kConnectFlags));
  EXPECT_EQ(run.status, 0) << run.output.err;
  ASSERT_EQ(server.handlers->configs.size(), 1u);
  const protocol::Config& config = server.handlers->configs[0];
  EXPECT_EQ(config.endpoint.ip, (protocol::Ipv4Address{203, 0, 113, 1}));
  EXPECT_EQ(config.endpoint.port, 51820);
  EXPECT_EQ(config.endpoint.url, "vpn");
  EXPECT_EQ(config.client.ip, (protocol::Ipv4Address{10, 0, 0, 2}));
}

TEST(KestactlPipe, UnreachablePipeGivesStatusFourAndAHint) {
  const std::string name = unique("kestactl_nobody_");
  const ClientRun run = client("info", {"--pipe", name});
  EXPECT_EQ(run.status, kExitUnreachable);
  EXPECT_EQ(run.output.out, "");
  EXPECT_TRUE(run.output.err.starts_with("kestactl: cannot reach the service at \\\\.\\pipe\\" +
                                         name + ": " + system_error_message(ERROR_FILE_NOT_FOUND)))
      << run.output.err;
  EXPECT_NE(run.output.err.find("kestactl status"), std::string::npos);
}

// A server that is not the service's process gets no configuration: the client hangs up
// without writing, so the handler never runs.
TEST(KestactlPipe, ConnectRefusesAServerThatIsNotTheService) {
  TestServer server(protocol::Disconnected{}, 1);
  const ClientRun run = client("connect", with({"--pipe", server.name}, kConnectFlags));
  EXPECT_EQ(run.status, kExitUntrusted);
  EXPECT_TRUE(run.output.err.starts_with(
      "kestactl: refusing to send the configuration: \\\\.\\pipe\\" + server.name +
      " is served by process " + std::to_string(GetCurrentProcessId())))
      << run.output.err;
  EXPECT_TRUE(server.handlers->configs.empty());
  // Info carries nothing secret and is not verified.
  TestServer info_server(protocol::Disconnected{}, 1);
  EXPECT_EQ(client("info", {"--pipe", info_server.name}).status, 0);
}

// The pipe client waits for a pipe of one instance that another client holds, up to its timeout.
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
  const client::Exchange gave_up =
      client::exchange_over_pipe({"pEluZm8=\n", path, "", std::chrono::milliseconds(200)});
  EXPECT_EQ(gave_up.outcome, client::Exchange::Outcome::kTimedOut);
  EXPECT_TRUE(gave_up.error.starts_with("every instance of " + path + " stayed busy"))
      << gave_up.error;
  // A client that gave up leaves the instance to the next, which waits for it and takes the first
  // line only.
  const client::Exchange waited = client::exchange_over_pipe({"x\n", path, ""});
  EXPECT_EQ(waited.outcome, client::Exchange::Outcome::kResponse);
  EXPECT_EQ(waited.line, "one\n");
  serve.join();
  CloseHandle(server);
}

// kestactl.exe itself, started as a process: what a script sees of it.
struct ProcessRun {
  DWORD status = 0;
  std::string out;
};

std::optional<ProcessRun> run_kestactl(const std::wstring& arguments) {
  wchar_t self[MAX_PATH];
  const DWORD n = GetModuleFileNameW(nullptr, self, MAX_PATH);
  std::wstring exe(self, n);
  exe = exe.substr(0, exe.find_last_of(L"\\/") + 1) + L"kestactl.exe";
  if (GetFileAttributesW(exe.c_str()) == INVALID_FILE_ATTRIBUTES) return std::nullopt;
  SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
  HANDLE read_end = nullptr, write_end = nullptr;
  if (!CreatePipe(&read_end, &write_end, &inherit, 0)) return std::nullopt;
  SetHandleInformation(read_end, HANDLE_FLAG_INHERIT, 0);
  STARTUPINFOW startup{};
  startup.cb = sizeof startup;
  startup.dwFlags = STARTF_USESTDHANDLES;
  startup.hStdOutput = write_end;
  startup.hStdError = write_end;
  startup.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
  std::wstring command_line = L"\"" + exe + L"\" " + arguments;
  PROCESS_INFORMATION process{};
  const bool started = CreateProcessW(exe.c_str(), command_line.data(), nullptr, nullptr, TRUE, 0,
                                      nullptr, nullptr, &startup, &process);
  CloseHandle(write_end);
  ProcessRun run;
  if (started) {
    char buffer[4096];
    DWORD got = 0;
    while (ReadFile(read_end, buffer, sizeof buffer, &got, nullptr) && got > 0) {
      run.out.append(buffer, got);
    }
    WaitForSingleObject(process.hProcess, INFINITE);
    GetExitCodeProcess(process.hProcess, &run.status);
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
  }
  CloseHandle(read_end);
  if (!started) return std::nullopt;
  return run;
}

TEST(KestactlProcess, ExitStatusAndOutputOfTheProgram) {
  TestServer server(protocol::Disconnected{}, 1);
  const auto answered = run_kestactl(L"info --json --pipe " + widen(server.name));
  if (!answered) GTEST_SKIP() << "kestactl.exe is not built beside the tests";
  EXPECT_EQ(answered->status, 0u);
  EXPECT_EQ(answered->out, "{\"state\":\"disconnected\"}\n");

  const auto unreachable = run_kestactl(L"disconnect --pipe " + widen(unique("kestactl_nobody_")));
  ASSERT_TRUE(unreachable);
  EXPECT_EQ(unreachable->status, static_cast<DWORD>(kExitUnreachable));
  EXPECT_TRUE(unreachable->out.starts_with("kestactl: cannot reach the service at "))
      << unreachable->out;

  const auto usage = run_kestactl(L"connect");
  ASSERT_TRUE(usage);
  EXPECT_EQ(usage->status, static_cast<DWORD>(kExitUsage));
}

// Runs `kestactl install|uninstall|status` as a user would, on a service name of its own.
ClientRun admin(std::string command, std::vector<std::string> args) {
  ClientRun run{};
  if (command == "install") run.status = run_install(args, run.output);
  if (command == "uninstall") run.status = run_uninstall(args, run.output);
  if (command == "status") run.status = run_status(args, real_environment(), run.output);
  if (command == "start" || command == "stop" || command == "restart") {
    run.status = run_service_control(command, args, run.output);
  }
  return run;
}

TEST(KestactlService, InstallStatusUninstall) {
  const std::string service = unique("kestactl_test_service_");
  wchar_t folder[MAX_PATH];
  ASSERT_GT(GetTempPathW(MAX_PATH, folder), 0u);
  const std::string binary = narrow(folder) + service + ".exe";
  { std::ofstream(binary) << "not really a program"; }
  // Uninstalls even when an expectation below fails.
  const std::unique_ptr<void, std::function<void(void*)>> cleanup(
      reinterpret_cast<void*>(1), [&](void*) {
        admin("uninstall", {"--service-name", service});
        DeleteFileW(widen(binary).c_str());
      });
  const std::vector<std::string> name = {"--service-name", service};

  const ClientRun missing = admin("install", with(name, {"--binary", binary + ".absent"}));
  EXPECT_EQ(missing.status, kExitRefused);
  EXPECT_TRUE(missing.output.err.starts_with("kestactl: install: no service binary at "))
      << missing.output.err;

  const ClientRun installed =
      admin("install", with(name, {"--binary", binary, "--start", "demand", "--no-start"}));
  EXPECT_EQ(installed.status, kExitOk) << installed.output.err;
  EXPECT_EQ(installed.output.out, "installed " + service + " (" + binary + ", start demand)\n");

  const ClientRun again = admin("install", with(name, {"--binary", binary, "--no-start"}));
  EXPECT_EQ(again.status, kExitRefused);
  EXPECT_EQ(again.output.err, "kestactl: install: " + service + " is already installed (" + binary +
                                  ", stopped); to replace it, run 'kestactl uninstall', then "
                                  "'kestactl install' again\n");

  // Description and recovery: restart after 5 seconds, twice, then nothing; reset after a day.
  {
    const UniqueServiceHandle manager(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
    const UniqueServiceHandle handle(
        OpenServiceW(manager.get(), widen(service).c_str(), SERVICE_QUERY_CONFIG));
    ASSERT_TRUE(handle);
    std::vector<std::uint64_t> buffer(1024);
    DWORD needed = 0;
    if (!QueryServiceConfig2W(handle.get(), SERVICE_CONFIG_FAILURE_ACTIONS,
                              reinterpret_cast<BYTE*>(buffer.data()), 8192, &needed)) {
      // Wine's manager neither keeps recovery actions nor knows the flag that extends them to
      // stops with an exit code; Windows does both.
      EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_LEVEL));
      EXPECT_EQ(installed.output.err,
                "kestactl: install: note: Wine's service manager cannot store recovery actions; "
                "on Windows the service restarts after a failure\n");
    } else {
      EXPECT_EQ(installed.output.err, "");
      const auto* recovery = reinterpret_cast<const SERVICE_FAILURE_ACTIONSW*>(buffer.data());
      EXPECT_EQ(recovery->dwResetPeriod, 86400u);
      ASSERT_EQ(recovery->cActions, 3u);
      EXPECT_EQ(recovery->lpsaActions[0].Type, SC_ACTION_RESTART);
      EXPECT_EQ(recovery->lpsaActions[0].Delay, 5000u);
      EXPECT_EQ(recovery->lpsaActions[1].Type, SC_ACTION_RESTART);
      EXPECT_EQ(recovery->lpsaActions[1].Delay, 5000u);
      EXPECT_EQ(recovery->lpsaActions[2].Type, SC_ACTION_NONE);
    }
    ASSERT_TRUE(QueryServiceConfig2W(handle.get(), SERVICE_CONFIG_DESCRIPTION,
                                     reinterpret_cast<BYTE*>(buffer.data()), 8192, &needed));
    EXPECT_EQ(narrow(reinterpret_cast<const SERVICE_DESCRIPTIONW*>(buffer.data())->lpDescription),
              "Owns one WireGuard tunnel for a client application.");
  }

  const std::string nobody = unique("kestactl_nobody_");
  const ClientRun stopped = admin("status", with(name, {"--pipe", nobody}));
  EXPECT_EQ(stopped.status, kStatusNotRunning);
  EXPECT_TRUE(stopped.output.out.starts_with("service: " + service +
                                             "\nstate: stopped\nprocess id: none\nstart type: "
                                             "demand\nbinary path: " +
                                             binary + "\nversion: unknown (" + binary + ": "))
      << stopped.output.out;
  EXPECT_NE(stopped.output.out.find("pipe: \\\\.\\pipe\\" + nobody + " does not answer ("),
            std::string::npos)
      << stopped.output.out;
  const ClientRun idle = admin("stop", name);
  EXPECT_EQ(idle.status, kExitOk);
  EXPECT_EQ(idle.output.out, service + " is not running\n");

  const ClientRun removed = admin("uninstall", name);
  EXPECT_EQ(removed.status, kExitOk) << removed.output.err;
  EXPECT_EQ(removed.output.out, "removed " + service + "\n");

  const ClientRun gone = admin("uninstall", name);
  EXPECT_EQ(gone.status, kExitUnreachable);
  EXPECT_EQ(gone.output.err, "kestactl: uninstall: " + service + " is not installed\n");
  const ClientRun not_there = admin("start", name);
  EXPECT_EQ(not_there.status, kExitUnreachable);
  EXPECT_EQ(not_there.output.err, "kestactl: start: " + service +
                                      " is not installed\nkestactl: 'kestactl install' registers "
                                      "it\n");
}

TEST(KestactlService, StatusOfAMissingServiceStillAsksThePipe) {
  TestServer server(protocol::Disconnected{}, 1);
  const std::string service = unique("kestactl_absent_");
  const ClientRun run = admin("status", {"--service-name", service, "--pipe", server.name});
  EXPECT_EQ(run.status, kStatusNotInstalled);
  EXPECT_EQ(run.output.out, "service: " + service + "\nstate: not installed\npipe: \\\\.\\pipe\\" +
                                server.name + " answers (tunnel disconnected)\n");
}

TEST(KestactlService, UsageErrors) {
  const struct {
    std::string command;
    std::vector<std::string> args;
    std::string err;
  } rows[] = {
      {"install",
       {"--start", "boot"},
       "kestactl: install: --start: expected auto or demand, got 'boot'"},
      {"install", {"--binary"}, "kestactl: install: --binary needs a value"},
      {"uninstall", {"--binary", "x"}, "kestactl: uninstall: unknown option '--binary'"},
      {"status", {"now"}, "kestactl: status: unexpected argument 'now'"},
      {"restart",
       {"--timeout", "0"},
       "kestactl: restart: --timeout: expected a number of seconds from 1 to 65535, got '0'"},
      {"stop", {"--pipe", "x"}, "kestactl: stop: unknown option '--pipe'"},
      {"status", {"--", "--json"}, "kestactl: status: unexpected argument '--json'"},
  };
  for (const auto& row : rows) {
    const ClientRun run = admin(row.command, row.args);
    EXPECT_EQ(run.status, kExitUsage) << row.err;
    EXPECT_EQ(run.output.err, row.err + "\nTry 'kestactl --help'.\n");
  }
}

// kestactl asks for what it uses, which the service grants to any local account; the rights
// of GENERIC_WRITE (FILE_WRITE_EA among them) are more than the descriptor need grant.
// The pipe's server may identify the caller, never act as it.
TEST(KestactlPipe, OpensThePipeWithRightsAnOrdinaryUserIsGranted) {
  EXPECT_EQ(client::kPipeAccess, static_cast<DWORD>(GENERIC_READ | FILE_WRITE_DATA));
  EXPECT_TRUE(kesta::testing::granted_access(pipe::kPipeSecurity, client::kPipeAccess,
                                             kesta::testing::Caller::kUser));
  EXPECT_EQ(client::kPipeOpenFlags & (SECURITY_SQOS_PRESENT | SECURITY_IDENTIFICATION | 0x000F0000),
            static_cast<DWORD>(SECURITY_SQOS_PRESENT | SECURITY_IDENTIFICATION));
}

std::string read_whole(const std::wstring& path) {
  std::ifstream in(std::filesystem::path(path), std::ios::binary);
  return {std::istreambuf_iterator<char>(in), {}};
}

// The service's own log with a small bound, and every line it holds, in order, the lines
// that say it copied aside or emptied the file included.
class RotatingLog {
 public:
  RotatingLog(std::wstring path, std::uint64_t bound) : path_(std::move(path)), bound_(bound) {
    saved_stderr_ = GetStdHandle(STD_ERROR_HANDLE);
    SetStdHandle(STD_ERROR_HANDLE, nullptr);  // the lines need no copy on the test's output
    auto log = service::ServiceLog::open(path_, bound);
    EXPECT_TRUE(log) << (log ? "" : log.error().message());
    if (log) log_ = std::move(*log);
  }
  ~RotatingLog() { SetStdHandle(STD_ERROR_HANDLE, saved_stderr_); }

  // Whether writing `text` takes the file past its bound, where it may start again.
  bool fills_with(const std::string& text) const {
    return std::filesystem::file_size(path_) + text.size() + 1 > bound_;
  }

  void write_line(const std::string& text) {
    const std::uint64_t before = std::filesystem::file_size(path_);
    log_->write_line(text);
    if (std::filesystem::file_size(path_) < before + text.size() + 1) {
      // Which of the two the service did shows in the new first line.
      std::string first = first_line();
      (first.starts_with("Log continued") ? copies : emptyings) += 1;
      written += first + "\n";
    }
    written += text + "\n";
  }

  std::string written;  // every line, in order
  int copies = 0, emptyings = 0;

 private:
  std::string first_line() const {
    const HANDLE file = CreateFileW(path_.c_str(), GENERIC_READ,
                                    FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                    OPEN_EXISTING, 0, nullptr);
    char buffer[256] = {};
    DWORD count = 0;
    ReadFile(file, buffer, sizeof buffer, &count, nullptr);
    CloseHandle(file);
    const std::string_view text(buffer, count);
    return std::string(text.substr(0, text.find('\n')));
  }

  std::wstring path_;
  std::uint64_t bound_;
  std::shared_ptr<service::ServiceLog> log_;
  HANDLE saved_stderr_ = nullptr;
};

// Runs `kestactl log` with the arguments on its own thread, collecting what it prints. Printing
// can be stalled, as a pager or a console in selection mode stalls it.
class LogReader {
 public:
  explicit LogReader(std::vector<std::string> args, std::uint64_t bound = 0) {
    stream_.print = [this](std::string_view text) {
      while (stalled_) {
        blocked_ = true;
        Sleep(1);
      }
      blocked_ = false;
      const std::lock_guard lock(mutex_);
      printed_ += text;
      return true;
    };
    stream_.stop = [this] { return stop_.load(); };
    stream_.poll = std::chrono::milliseconds(2);
    if (bound != 0) stream_.bound = bound;
    thread_ =
        std::thread([this, args = std::move(args)] { status = run_log(args, stream_, output); });
  }
  ~LogReader() { finish(); }

  std::string printed() {
    const std::lock_guard lock(mutex_);
    return printed_;
  }
  // Ends a --follow after one last poll.
  void finish() {
    stalled_ = false;
    stop_ = true;
    if (thread_.joinable()) thread_.join();
  }
  bool wait_for(std::string_view text) {
    for (int i = 0; i < 2000 && printed().find(text) == std::string::npos; ++i) Sleep(5);
    return printed().find(text) != std::string::npos;
  }
  // Prints wait from now on until stall(false).
  void stall(bool on) { stalled_ = on; }
  // Whether a print is waiting.
  bool wait_until_stalled() {
    for (int i = 0; i < 2000 && !blocked_; ++i) Sleep(5);
    return blocked_;
  }

  int status = -1;
  Output output;

 private:
  LogStream stream_;
  std::mutex mutex_;
  std::string printed_;
  std::atomic<bool> stop_ = false, stalled_ = false, blocked_ = false;
  std::thread thread_;
};

std::wstring fresh_log_path() {
  wchar_t folder[MAX_PATH];
  GetTempPathW(MAX_PATH, folder);
  const std::wstring dir = std::wstring(folder) + widen(unique("kestactl_log_"));
  CreateDirectoryW(dir.c_str(), nullptr);
  return dir + L"\\redevuva_service.log";
}

// Every line the writer wrote is printed once, in order, across copies to .1 and emptyings in
// place, with lines of different lengths so that no two fill the file alike. The reader is a few
// lines behind at a copy, which it then finds in .1; an emptying destroys what was not read, so
// there the reader is let catch up first.
TEST(KestactlLog, FollowLosesAndRepeatsNoLineAcrossEitherRotation) {
  const std::wstring path = fresh_log_path();
  RotatingLog log(path, 2048);
  log.write_line("Service started");
  LogReader reader({"--follow", "--file", narrow(path)});
  ASSERT_TRUE(reader.wait_for("Service started\n"));
  std::vector<std::string> written = {"Service started"};
  auto lines = [&](int from, int to, std::size_t behind) {
    for (int i = from; i < to; ++i) {
      const std::string line = "Received message: " + std::to_string(i) + std::string(i % 37, 'x');
      if (log.fills_with(line)) {
        ASSERT_TRUE(reader.wait_for(written[written.size() - 1 - behind] + "\n"));
      }
      log.write_line(line);
      written.push_back(line);
      Sleep(1);
    }
  };
  lines(0, 200, 3);
  // Held without write sharing, .1 cannot be written: the log grows to twice its bound, then is
  // emptied in place.
  const HANDLE holder = CreateFileW((path + L".1").c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                    OPEN_EXISTING, 0, nullptr);
  ASSERT_NE(holder, INVALID_HANDLE_VALUE) << system_error_message(GetLastError());
  lines(200, 500, 0);
  CloseHandle(holder);
  lines(500, 700, 3);
  ASSERT_TRUE(reader.wait_for(written.back() + "\n"));
  reader.finish();
  EXPECT_EQ(reader.status, kExitOk) << reader.output.err;
  EXPECT_GE(log.copies, 2);
  EXPECT_GE(log.emptyings, 2);
  EXPECT_EQ(reader.printed(), log.written);
}

// The follower holds nothing open while it prints. Stalled there, it loses no line across one
// copy of the log, also when the log grows back past where it had read with the same bytes;
// across two it says once how many bytes at least went before it could show them.
TEST(KestactlLog, StalledFollowerLosesNoLineAcrossOneCopyAndSaysWhatTwoTookAway) {
  for (const auto& [copies, alike] : {std::pair{1, false}, {1, true}, {2, false}}) {
    SCOPED_TRACE(std::to_string(copies) + (alike ? " copy, grown back alike" : " copies"));
    const std::wstring path = fresh_log_path();
    RotatingLog log(path, 2048);
    int count = 0;
    const auto next = [&] {
      log.write_line("Received message: " +
                     (alike ? "same" : std::to_string(count) + std::string(count % 29, 'x')));
      ++count;
    };
    log.write_line("Service started");
    while (alike && log.copies == 0) next();
    const std::size_t start = log.written.size() - std::filesystem::file_size(path);
    LogReader reader({"--follow", "--file", narrow(path)}, 2048);
    ASSERT_TRUE(reader.wait_for(log.written.substr(start)));
    // The reader reads the next line, then waits while it prints it.
    reader.stall(true);
    next();
    ASSERT_TRUE(reader.wait_until_stalled());
    const std::size_t shown = log.written.size();
    const std::uint64_t read = std::filesystem::file_size(path);
    for (const int before = log.copies;
         log.copies < before + copies || std::filesystem::file_size(path) < read + 64;) {
      next();
    }
    reader.stall(false);
    const std::string rest = read_whole(path + L".1") + read_whole(path);
    ASSERT_TRUE(reader.wait_for(rest)) << reader.printed();
    reader.finish();
    const std::string printed = reader.printed();
    if (copies == 1) {
      EXPECT_EQ(printed, log.written.substr(start));
      continue;
    }
    const std::string before =
        log.written.substr(start, shown - start) + "kestactl: log: at least ";
    ASSERT_TRUE(printed.starts_with(before) && printed.ends_with(rest)) << printed;
    const std::uint64_t at_least = std::stoull(printed.substr(before.size()));
    EXPECT_EQ(printed, before + std::to_string(at_least) +
                           " bytes were rotated away before they could be shown\n" + rest);
    // No more than were lost, and short of them by less than the line that did not fit.
    const std::uint64_t lost = log.written.size() - shown - rest.size();
    EXPECT_TRUE(at_least > 0 && at_least <= lost && lost - at_least < 64) << at_least << lost;
  }
}

// A copy to .1 that stopped part way (or whose emptying is yet to come) leaves the log whole:
// the follower, which has read all of it, shows nothing twice.
TEST(KestactlLog, ACopyThatLeftTheLogWholeShowsNothingTwice) {
  const std::wstring path = fresh_log_path();
  RotatingLog log(path, 1 << 20);
  for (int i = 0; i < 20; ++i) log.write_line("Received message: " + std::to_string(i));
  LogReader reader({"--follow", "--file", narrow(path)});
  ASSERT_TRUE(reader.wait_for(log.written));
  std::ofstream(std::filesystem::path(path + L".1"), std::ios::binary) << read_whole(path);
  Sleep(100);  // many polls
  log.write_line("Service stopped");
  ASSERT_TRUE(reader.wait_for("Service stopped\n"));
  reader.finish();
  EXPECT_EQ(reader.printed(), log.written);
}

TEST(KestactlLog, PrintsTheLogOrItsLastLines) {
  const std::wstring path = fresh_log_path();
  std::string connect = protocol::encode_command(protocol::Connect{});
  connect.pop_back();
  {
    RotatingLog log(path, 1 << 20);
    for (const std::string& line :
         {std::string("Service started"), std::string("Received message: a\x1b[0m"),
          "Received message: " + connect, std::string("Service stopped")}) {
      log.write_line(line);
    }
  }
  const std::string file = narrow(path);
  const std::string folder = file.substr(0, file.rfind('\\'));
  const struct {
    std::vector<std::string> args;
    int status;
    std::string printed;
    std::string err;
  } rows[] = {
      {{"--file", file},
       0,
       "Service started\nReceived message: a\\u{1b}[0m\nReceived message: [Connect request, " +
           std::to_string(connect.size()) +
           " bytes; keys hidden, --raw shows the line]\nService stopped\n",
       ""},
      {{"--raw", "--file", file, "--lines", "2"},
       0,
       "Received message: " + connect + "\nService stopped\n",
       ""},
      {{"--file", folder}, 1, "", "kestactl: log: cannot read " + folder + ": it is a directory\n"},
      {{"--file", file, "--lines", "1"}, 0, "Service stopped\n", ""},
      {{"-n", "0", "--file", file}, 0, "", ""},
      {{"--file", file + ".absent"},
       1,
       "",
       "kestactl: log: no log at " + file +
           ".absent; the service writes it from its first start\n"},
      {{"--lines", "x"},
       2,
       "",
       "kestactl: log: --lines: expected a number of lines, got 'x'\nTry 'kestactl --help'.\n"},
  };
  for (const auto& row : rows) {
    LogReader reader(row.args);
    reader.finish();
    EXPECT_EQ(reader.status, row.status) << row.err;
    EXPECT_EQ(reader.printed(), row.printed);
    EXPECT_EQ(reader.output.err, row.err);
  }
}

}  // namespace
}  // namespace kesta::kestactl
