// kestactl's client commands over a real named pipe, against the service's own request loop
// served in-process on a test pipe name, and its service commands under the service control
// manager.
#include <windows.h>

#include <gtest/gtest.h>

#include <fstream>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "client.h"
#include "pipe/pipe_listener_win.h"
#include "protocol/encode.h"
#include "service/request_loop.h"
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
    auto descriptor = pipe::SecurityDescriptor::from_sddl(pipe::kPipeSecurity);
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
  environment.deliver = deliver_over_pipe;
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
  EXPECT_EQ(again.output.err, "kestactl: install: " + service +
                                  " is already installed; 'kestactl uninstall' removes it\n");

  const std::string nobody = unique("kestactl_nobody_");
  const ClientRun stopped = admin("status", with(name, {"--pipe", nobody}));
  EXPECT_EQ(stopped.status, kExitUnreachable);
  EXPECT_TRUE(
      stopped.output.out.starts_with("service: " + service + "\nstate: stopped\nexit code: "))
      << stopped.output.out;
  EXPECT_NE(stopped.output.out.find("pipe: \\\\.\\pipe\\" + nobody + " does not answer ("),
            std::string::npos)
      << stopped.output.out;

  const ClientRun removed = admin("uninstall", name);
  EXPECT_EQ(removed.status, kExitOk) << removed.output.err;
  EXPECT_EQ(removed.output.out, "removed " + service + "\n");

  const ClientRun gone = admin("uninstall", name);
  EXPECT_EQ(gone.status, kExitRefused);
  EXPECT_EQ(gone.output.err, "kestactl: uninstall: " + service + " is not installed\n");
}

TEST(KestactlService, StatusOfAMissingServiceStillAsksThePipe) {
  TestServer server(protocol::Disconnected{}, 1);
  const std::string service = unique("kestactl_absent_");
  const ClientRun run = admin("status", {"--service-name", service, "--pipe", server.name});
  EXPECT_EQ(run.status, kExitOk);
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
  };
  for (const auto& row : rows) {
    const ClientRun run = admin(row.command, row.args);
    EXPECT_EQ(run.status, kExitUsage) << row.err;
    EXPECT_EQ(run.output.err, row.err + "\nTry 'kestactl --help'.\n");
  }
}

}  // namespace
}  // namespace kesta::kestactl
