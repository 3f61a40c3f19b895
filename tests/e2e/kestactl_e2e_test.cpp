// kestactl.exe as an operator runs it, against the real redevuva_service under Wine's service
// control manager: start, stop, restart and status with their exit codes, --json of every
// command read back by a JSON parser, --version, and the log, followed across a restart that
// empties it.
#include <windows.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <future>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <thread>
#include <variant>
#include <vector>

#include "core/error.h"
#include "kesta/client.h"
#include "kesta/version.h"
#include "protocol/base64.h"
#include "protocol/encode.h"
#include "service_harness.h"

namespace kesta::e2e {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

// A strict reader of one JSON value, enough to check that kestactl's output is JSON and to
// look into it; written apart from kestactl's writer.
struct Json {
  using Object = std::vector<std::pair<std::string, Json>>;
  std::variant<std::nullptr_t, bool, double, std::string, std::vector<Json>, Object> value;

  bool is_null() const { return std::holds_alternative<std::nullptr_t>(value); }
  const std::string& text() const { return std::get<std::string>(value); }
  double number() const { return std::get<double>(value); }
  bool flag() const { return std::get<bool>(value); }
  const std::vector<Json>& array() const { return std::get<std::vector<Json>>(value); }
  // The member `name`; a failure of the test when there is none.
  const Json& operator[](std::string_view name) const {
    static const Json missing;
    for (const auto& [key, member] : std::get<Object>(value)) {
      if (key == name) return member;
    }
    ADD_FAILURE() << "no member " << name;
    return missing;
  }
};

class JsonReader {
 public:
  explicit JsonReader(std::string_view text) : text_(text) {}

  std::optional<Json> whole() {
    auto json = value();
    if (text_.substr(at_) != "\n" && text_.substr(at_) != "") return std::nullopt;
    return json;
  }

 private:
  std::optional<Json> value() {
    if (at_ >= text_.size()) return std::nullopt;
    const char c = text_[at_];
    if (c == '{') return object();
    if (c == '[') return array();
    if (c == '"') {
      auto s = string();
      return s ? std::optional<Json>(Json{*s}) : std::nullopt;
    }
    for (const auto& [word, json] :
         {std::pair{"null", Json{nullptr}}, {"true", Json{true}}, {"false", Json{false}}}) {
      if (text_.substr(at_).starts_with(word)) {
        at_ += std::string_view(word).size();
        return json;
      }
    }
    const std::size_t start = at_;
    while (at_ < text_.size() &&
           std::string_view("-+.eE0123456789").find(text_[at_]) != std::string_view::npos)
      ++at_;
    if (start == at_) return std::nullopt;
    return Json{std::stod(std::string(text_.substr(start, at_ - start)))};
  }
  std::optional<std::string> string() {
    std::string out;
    for (++at_; at_ < text_.size(); ++at_) {
      const auto c = static_cast<unsigned char>(text_[at_]);
      if (c == '"') {
        ++at_;
        return out;
      }
      if (c < 0x20) return std::nullopt;  // control characters must be escaped
      if (c != '\\') {
        out += static_cast<char>(c);
        continue;
      }
      if (++at_ >= text_.size()) return std::nullopt;
      const char e = text_[at_];
      const std::string_view simple = "\"\\/bfnrt", meaning = "\"\\/\b\f\n\r\t";
      if (const auto k = simple.find(e); k != simple.npos) {
        out += meaning[k];
      } else if (e == 'u' && at_ + 4 < text_.size()) {
        const unsigned code = std::stoul(std::string(text_.substr(at_ + 1, 4)), nullptr, 16);
        at_ += 4;
        if (code < 0x80) {
          out += static_cast<char>(code);
        } else if (code < 0x800) {
          out += static_cast<char>(0xC0 | code >> 6);
          out += static_cast<char>(0x80 | (code & 0x3F));
        } else {
          out += static_cast<char>(0xE0 | code >> 12);
          out += static_cast<char>(0x80 | (code >> 6 & 0x3F));
          out += static_cast<char>(0x80 | (code & 0x3F));
        }
      } else {
        return std::nullopt;
      }
    }
    return std::nullopt;
  }
  template <class Item>
  bool items(char close, Item item) {
    ++at_;
    if (at_ < text_.size() && text_[at_] == close) return ++at_, true;
    for (;;) {
      if (!item()) return false;
      if (at_ >= text_.size()) return false;
      if (text_[at_++] == close) return true;
      if (text_[at_ - 1] != ',') return false;
    }
  }
  std::optional<Json> object() {
    Json::Object members;
    const bool ok = items('}', [&] {
      if (at_ >= text_.size() || text_[at_] != '"') return false;
      auto key = string();
      if (!key || at_ >= text_.size() || text_[at_++] != ':') return false;
      auto member = value();
      if (member) members.emplace_back(*key, std::move(*member));
      return member.has_value();
    });
    return ok ? std::optional<Json>(Json{std::move(members)}) : std::nullopt;
  }
  std::optional<Json> array() {
    std::vector<Json> elements;
    const bool ok = items(']', [&] {
      auto element = value();
      if (element) elements.push_back(std::move(*element));
      return element.has_value();
    });
    return ok ? std::optional<Json>(Json{std::move(elements)}) : std::nullopt;
  }

  std::string_view text_;
  std::size_t at_ = 0;
};

Json parsed(const std::string& text) {
  auto json = JsonReader(text).whole();
  EXPECT_TRUE(json.has_value()) << "not one line of JSON: " << text;
  return json ? *json : Json{};
}

std::wstring widen(std::string_view text) {
  return fs::path(std::u8string(text.begin(), text.end())).wstring();
}

// kestactl.exe started as a process with `arguments`.
class Kestactl {
 public:
  explicit Kestactl(const std::string& arguments, const char* program = "kestactl.exe") {
    SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
    HANDLE out_write = nullptr, err_write = nullptr;
    CreatePipe(&out_read_, &out_write, &inherit, 0);
    CreatePipe(&err_read_, &err_write, &inherit, 0);
    SetHandleInformation(out_read_, HANDLE_FLAG_INHERIT, 0);
    SetHandleInformation(err_read_, HANDLE_FLAG_INHERIT, 0);
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
    startup.hStdOutput = out_write;
    startup.hStdError = err_write;
    const std::wstring exe = (own_directory() / program).wstring();
    std::wstring command = L"\"" + exe + L"\" " + widen(arguments);
    const bool started = CreateProcessW(exe.c_str(), command.data(), nullptr, nullptr, TRUE, 0,
                                        nullptr, nullptr, &startup, &process_);
    CloseHandle(out_write);
    CloseHandle(err_write);
    EXPECT_TRUE(started) << system_error_message(GetLastError());
    readers_[0] = std::thread([this] { drain(out_read_, out_); });
    readers_[1] = std::thread([this] { drain(err_read_, err_); });
  }
  ~Kestactl() {
    if (process_.hProcess != nullptr) {
      // Only --follow is still running here: it ends when asked to.
      if (WaitForSingleObject(process_.hProcess, 0) == WAIT_TIMEOUT) {
        TerminateProcess(process_.hProcess, 0);
      }
      wait();
      CloseHandle(process_.hThread);
      CloseHandle(process_.hProcess);
    }
    CloseHandle(out_read_);
    CloseHandle(err_read_);
  }

  // Waits for the end; the exit status.
  DWORD wait() {
    WaitForSingleObject(process_.hProcess, 60'000);
    for (auto& reader : readers_) {
      if (reader.joinable()) reader.join();
    }
    DWORD status = 0;
    GetExitCodeProcess(process_.hProcess, &status);
    return status;
  }
  std::string out() {
    const std::lock_guard lock(mutex_);
    return out_;
  }
  std::string err() {
    const std::lock_guard lock(mutex_);
    return err_;
  }
  bool wait_for_output(std::string_view text) {
    for (int i = 0; i < 1000 && out().find(text) == std::string::npos; ++i) Sleep(20);
    return out().find(text) != std::string::npos;
  }

 private:
  void drain(HANDLE from, std::string& into) {
    char buffer[4096];
    DWORD got = 0;
    while (ReadFile(from, buffer, sizeof buffer, &got, nullptr) && got > 0) {
      const std::lock_guard lock(mutex_);
      into.append(buffer, got);
    }
  }

  PROCESS_INFORMATION process_{};
  HANDLE out_read_ = nullptr, err_read_ = nullptr;
  std::thread readers_[2];
  std::mutex mutex_;
  std::string out_, err_;
};

struct Result {
  DWORD status;
  std::string out, err;
};

Result kestactl(const std::string& arguments) {
  Kestactl process(arguments);
  const DWORD status = process.wait();
  return {status, process.out(), process.err()};
}

TEST(E2eKestactl, ServiceControlAndStatusWithTheirExitCodes) {
  {
    ServiceRun run({});
    const std::string binary = (run.folder() / "redevuva_service.exe").string();
    const std::string version(kVersion);
    const Result installed = kestactl("status");
    EXPECT_EQ(installed.status, 3u) << installed.out;
    EXPECT_TRUE(installed.out.starts_with(
        "service: redevuva_service\nstate: stopped\nprocess id: none\nstart type: demand\n"
        "binary path: " +
        binary + "\nversion: " + version + ", the same as kestactl\nlast exit code: "))
        << installed.out;
    // The version of the binary the service manager runs, read from its version resource.
    EXPECT_EQ(kestactl("version").out,
              "kestactl " + version + "\nredevuva_service " + version + " (" + binary + ")\n");
    const Result installed_again = kestactl("install");
    EXPECT_EQ(installed_again.status, 1u);
    EXPECT_EQ(installed_again.err, "kestactl: install: redevuva_service is already installed (" +
                                       binary + ", version " + version +
                                       ", stopped); to replace it, run 'kestactl uninstall', "
                                       "then 'kestactl install' again\n");

    const Result started = kestactl("start");
    EXPECT_EQ(started.status, 0u) << started.err;
    const DWORD first = run.query().dwProcessId;
    EXPECT_EQ(started.out, "started redevuva_service (process " + std::to_string(first) + ")\n");
    const Result again = kestactl("start");
    EXPECT_EQ(again.status, 0u);
    EXPECT_EQ(again.out,
              "redevuva_service is already running (process " + std::to_string(first) + ")\n");

    const Result running = kestactl("status --json");
    EXPECT_EQ(running.status, 0u) << running.out;
    const Json status = parsed(running.out);
    EXPECT_EQ(status["state"].text(), "running");
    EXPECT_EQ(status["process_id"].number(), first);
    EXPECT_EQ(status["start_type"].text(), "demand");
    EXPECT_TRUE(status["pipe_answers"].flag());
    EXPECT_EQ(status["tunnel"].text(), "disconnected");

    const Result restarted = kestactl("restart --timeout 60");
    EXPECT_EQ(restarted.status, 0u) << restarted.err;
    const DWORD second = run.query().dwProcessId;
    EXPECT_NE(second, first);
    EXPECT_EQ(restarted.out,
              "stopped redevuva_service (exit code 0)\nstarted redevuva_service "
              "(process " +
                  std::to_string(second) + ")\n");

    const Result stopped = kestactl("stop");
    EXPECT_EQ(stopped.status, 0u) << stopped.err;
    EXPECT_EQ(stopped.out, "stopped redevuva_service (exit code 0)\n");
    EXPECT_EQ(run.query().dwCurrentState, static_cast<DWORD>(SERVICE_STOPPED));
    const Result after = kestactl("status");
    EXPECT_EQ(after.status, 3u);
    EXPECT_NE(after.out.find("\nlast exit code: 0\npipe: \\\\.\\pipe\\redevuva.sock does not "
                             "answer ("),
              std::string::npos)
        << after.out;
  }
  // The run above removed the service.
  const Result missing = kestactl("status --json");
  EXPECT_EQ(missing.status, 4u) << missing.out;
  EXPECT_FALSE(parsed(missing.out)["installed"].flag());
  const Result start_missing = kestactl("start");
  EXPECT_EQ(start_missing.status, 4u);
  EXPECT_EQ(start_missing.err,
            "kestactl: start: redevuva_service is not installed\nkestactl: 'kestactl install' "
            "registers it\n");
}

// A service that stops at once (no wireguard.dll) makes start fail with what the manager knows.
TEST(E2eKestactl, StartReportsAServiceThatStopsAtOnce) {
  ServiceRun run({.with_wireguard = false});
  const Result started = kestactl("start");
  EXPECT_EQ(started.status, 1u);
  EXPECT_EQ(
      started.err,
      "kestactl: start: redevuva_service did not start: it is stopped with "
      "exit code 126 (" +
          [] {
            std::string text = system_error_message(126);
            return text.substr(0, text.find(" (os error 126)"));
          }() +
          "); 'kestactl log' shows why\n");
  const Result status = kestactl("status");
  EXPECT_EQ(status.status, 3u);
}

TEST(E2eKestactl, EveryCommandPrintsJsonThatParses) {
  ServiceRun run({});
  ASSERT_EQ(run.start().dwCurrentState, static_cast<DWORD>(SERVICE_RUNNING));
  const std::string key = "AQIDBAUGBwgJCgsMDQ4PEBESExQVFhcYGRobHB0eHyA=";
  run.write("provider.conf", "[Interface]\nPrivateKey = " + key +
                                 "\nAddress = 10.0.0.2/32, fd00::2/128\nDNS = 10.0.0.1\n[Peer]\n"
                                 "PublicKey = " +
                                 key + "\nAllowedIPs = 0.0.0.0/0\nEndpoint = 192.0.2.7:51820\n");
  const std::string file = (run.folder() / "provider.conf").string();

  const Result version = kestactl("--version");
  EXPECT_EQ(version.status, 0u);
  EXPECT_EQ(version.out, "kestactl " + std::string(kVersion) + "\n");
  EXPECT_EQ(parsed(kestactl("version --json").out)["version"].text(), kVersion);

  const Result refused = kestactl("connect --json \"" + file + "\"");
  EXPECT_EQ(refused.status, 2u);
  EXPECT_EQ(refused.out, "");
  EXPECT_NE(refused.err.find("  line 4: DNS: the service does not set DNS servers\n"),
            std::string::npos)
      << refused.err;

  const Result connected = kestactl("connect --json --ignore-unsupported \"" + file + "\"");
  EXPECT_EQ(connected.status, 0u) << connected.err;
  const Json up = parsed(connected.out);
  EXPECT_EQ(up["state"].text(), "connected");
  EXPECT_GT(up["rx_bytes"].number(), 0);
  EXPECT_GE(up["last_handshake"]["unix_seconds"].number(), 1.7e9);
  EXPECT_EQ(connected.err.find(key.substr(0, 12)), std::string::npos);

  const Json info = parsed(kestactl("info --json").out);
  EXPECT_EQ(info["state"].text(), "connected");
  EXPECT_EQ(parsed(kestactl("disconnect --json").out)["state"].text(), "disconnected");

  const std::string line = protocol::encode_command(protocol::Info{});
  const Result sent = kestactl("send --json " + line.substr(0, line.size() - 1));
  EXPECT_EQ(sent.status, 0u);
  const Json answer = parsed(sent.out);
  EXPECT_EQ(answer["state"].text(), "connected");  // the adapter is kept after a disconnect
  EXPECT_FALSE(answer["line"].text().empty());

  const Json decoded = parsed(kestactl("decode --json " + line.substr(0, line.size() - 1)).out);
  EXPECT_TRUE(decoded["accepted"].flag());
  EXPECT_EQ(decoded["log"].array().size(), 2u);
  const Json response = parsed(kestactl("decode --response --json " + answer["line"].text()).out);
  EXPECT_EQ(response["response"]["state"].text(), "connected");

  const Json status = parsed(kestactl("status --json").out);
  EXPECT_EQ(status["tunnel"].text(), "connected");
}

TEST(E2eKestactl, LogAndFollowAcrossARestart) {
  ServiceRun run({});
  ASSERT_EQ(run.start().dwCurrentState, static_cast<DWORD>(SERVICE_RUNNING));
  ASSERT_TRUE(request(protocol::Info{}).has_value());
  const Result whole = kestactl("log");
  EXPECT_EQ(whole.status, 0u) << whole.err;
  EXPECT_EQ(whole.out, read_shared(service_log_path()));
  EXPECT_TRUE(whole.out.starts_with("Service started\nReceived message: pEluZm8=\n")) << whole.out;
  const Result last = kestactl("log --lines 3");
  EXPECT_EQ(last.out, "Sending response: Disconnected\nMessage sent: rERpc2Nvbm5lY3RlZA==\n\n");

  Kestactl follow("log --follow --lines 0");
  Sleep(500);
  ASSERT_TRUE(request(protocol::Disconnect{}).has_value());
  EXPECT_EQ(kestactl("stop").status, 0u);
  ASSERT_TRUE(follow.wait_for_output("Service stopped\n")) << follow.out();
  const std::string before = follow.out();
  EXPECT_EQ(before,
            "Received message: qkRpc2Nvbm5lY3Q=\nReceived command: Disconnect\n"
            "Sending response: Disconnected\nMessage sent: rERpc2Nvbm5lY3RlZA==\n\n"
            "Service stopped\n");
  // A start empties the log in place: the follower goes on from its new beginning.
  EXPECT_EQ(kestactl("start").status, 0u);
  ASSERT_TRUE(request(protocol::Info{}).has_value());
  EXPECT_EQ(kestactl("stop").status, 0u);
  const std::string log = read_shared(service_log_path());
  ASSERT_TRUE(log.starts_with("Service started\nReceived message: pEluZm8=\n")) << log;
  ASSERT_TRUE(follow.wait_for_output(before + log)) << follow.out();
  EXPECT_EQ(follow.out(), before + log);
}

// kesta_client.dll as an application uses it: connect_example.exe, or `program`, run with
// `arguments` to its end; a C program's standard output is in text mode, so its CRs go.
Result example(const std::string& arguments, const char* program = "connect_example.exe") {
  Kestactl process(arguments, program);
  Result ran{process.wait(), process.out(), process.err()};
  std::erase(ran.out, '\r');
  return ran;
}

// The example's command line for `call`, with the tunnel the simulated server answers.
std::string example_arguments(const char* call, std::uint32_t timeout_ms) {
  std::string arguments = "--timeout " + std::to_string(timeout_ms) + " " + call;
  if (std::string_view(call) != "connect") return arguments;
  const protocol::Config config = tunnel_config();
  for (const auto* key : {&config.encryption.client_key, &config.encryption.server_key,
                          &config.encryption.shared_key}) {
    std::string text;
    protocol::base64_encode(*key, text);
    arguments += " " + text;
  }
  return arguments + " 192.0.2.7:51820 10.0.0.2";
}

TEST(E2eClient, EveryStatusThroughTheExample) {
  ServiceRun run({});
  ASSERT_EQ(run.start().dwCurrentState, static_cast<DWORD>(SERVICE_RUNNING));
  enum class Setup { kNone, kNoHandshake, kBusy, kStopped, kImpostor };
  const struct Row {
    const char* what;
    Setup setup;
    const char* call;
    std::uint32_t timeout_ms;
    kesta_status status;
    std::string text;
  } rows[] = {
      {"connect", Setup::kNone, "connect", 10000, KESTA_CONNECTED, ""},
      {"info while connected", Setup::kNone, "info", 10000, KESTA_CONNECTED, ""},
      {"disconnect", Setup::kNone, "disconnect", 10000, KESTA_DISCONNECTED, ""},
      {"a server that never answers the handshake", Setup::kNoHandshake, "connect", 10000,
       KESTA_SERVICE_ERROR, "Failed to connect: Failed to connect to server"},
      {"no time at all", Setup::kNone, "info", 0, KESTA_BAD_ARGUMENT,
       "timeout_ms is 0; give at least 1 millisecond"},
      {"a service busy with two connects", Setup::kBusy, "info", 300, KESTA_TIMED_OUT,
       "no answer within 300 ms"},
      {"a stopped service", Setup::kStopped, "info", 10000, KESTA_SERVICE_NOT_RUNNING,
       "redevuva_service is stopped"},
      {"another program serves the pipe", Setup::kImpostor, "connect", 10000, KESTA_NOT_THE_SERVICE,
       "refused to write to the pipe: \\\\.\\pipe\\redevuva.sock is served by process " +
           std::to_string(GetCurrentProcessId()) + ", but redevuva_service is stopped"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.what);
    std::vector<std::future<Result>> busy;
    // A program that took the pipe's name while the service is stopped counts what it is sent.
    HANDLE impostor = INVALID_HANDLE_VALUE;
    std::future<DWORD> received;
    if (row.setup == Setup::kNoHandshake || row.setup == Setup::kBusy) {
      run.write(wgsim::kScenarioFileName, "handshake Never\n");
    }
    if (row.setup == Setup::kBusy) {
      // The first Connect waits a second for a handshake that never comes; the second waits
      // behind it, then as long.
      const auto connect = [] { return example(example_arguments("connect", 10000)); };
      busy.push_back(std::async(std::launch::async, connect));
      const auto journal = run.folder() / wgsim::kJournalFileName;
      for (int i = 0; i < 1000 && read_shared(journal).find(" server=") == std::string::npos; ++i) {
        std::this_thread::sleep_for(5ms);
      }
      busy.push_back(std::async(std::launch::async, connect));
      std::this_thread::sleep_for(100ms);
    }
    if (row.setup == Setup::kStopped) {
      EXPECT_EQ(run.stop().dwCurrentState, static_cast<DWORD>(SERVICE_STOPPED));
    }
    if (row.setup == Setup::kImpostor) {
      impostor = CreateNamedPipeW(L"\\\\.\\pipe\\redevuva.sock", PIPE_ACCESS_DUPLEX, 0, 1, 512, 512,
                                  0, nullptr);
      received = std::async(std::launch::async, [impostor] {
        ConnectNamedPipe(impostor, nullptr);
        char buffer[512];
        DWORD got = 0, total = 0;
        while (ReadFile(impostor, buffer, sizeof buffer, &got, nullptr) && got > 0) total += got;
        return total;
      });
    }

    const Result ran = example(example_arguments(row.call, row.timeout_ms));
    const std::string status = "status: " + std::string(kesta_status_name(row.status)) + "\n";
    if (row.status == KESTA_CONNECTED) {
      EXPECT_TRUE(ran.out.starts_with(status + "last handshake: 1")) << ran.out;
      EXPECT_NE(ran.out.find("\nreceived: "), std::string::npos) << ran.out;
    } else if (row.status == KESTA_DISCONNECTED) {
      EXPECT_EQ(ran.out, status);
    } else {
      EXPECT_EQ(ran.out, status + "error: " + row.text + "\n");
    }
    EXPECT_EQ(ran.status, row.status <= KESTA_DISCONNECTED ? 0u : static_cast<DWORD>(row.status));
    for (auto& connect : busy) {
      EXPECT_EQ(connect.get().status, static_cast<DWORD>(KESTA_SERVICE_ERROR));
    }
    if (received.valid()) {
      EXPECT_EQ(received.get(), 0u);
      CloseHandle(impostor);
    }
    run.write(wgsim::kScenarioFileName, "");
  }
}

// A client links against the kesta_ functions and nothing else, and the DLL needs nothing but
// the system's own DLLs; the example runs over the static library too.
TEST(E2eClient, TheDllExportsOnlyTheClientFunctions) {
  const auto* base = reinterpret_cast<const BYTE*>(GetModuleHandleW(L"kesta_client.dll"));
  ASSERT_NE(base, nullptr);
  const auto* nt = reinterpret_cast<const IMAGE_NT_HEADERS64*>(
      base + reinterpret_cast<const IMAGE_DOS_HEADER*>(base)->e_lfanew);
  const auto& directories = nt->OptionalHeader.DataDirectory;
  const auto* exports = reinterpret_cast<const IMAGE_EXPORT_DIRECTORY*>(
      base + directories[IMAGE_DIRECTORY_ENTRY_EXPORT].VirtualAddress);
  const auto* names = reinterpret_cast<const DWORD*>(base + exports->AddressOfNames);
  std::vector<std::string> exported;
  for (DWORD i = 0; i < exports->NumberOfNames; ++i) {
    exported.emplace_back(reinterpret_cast<const char*>(base + names[i]));
  }
  EXPECT_EQ(exports->NumberOfFunctions, exports->NumberOfNames);  // nothing by ordinal alone
  EXPECT_EQ(exported,
            (std::vector<std::string>{"kesta_client_version", "kesta_connect", "kesta_disconnect",
                                      "kesta_get_info", "kesta_status_name"}));
  std::set<std::string> imported;
  for (const auto* import = reinterpret_cast<const IMAGE_IMPORT_DESCRIPTOR*>(
           base + directories[IMAGE_DIRECTORY_ENTRY_IMPORT].VirtualAddress);
       import->Name != 0; ++import) {
    std::string name = reinterpret_cast<const char*>(base + import->Name);
    std::transform(name.begin(), name.end(), name.begin(), ::tolower);
    imported.insert(name);
  }
  EXPECT_EQ(imported, (std::set<std::string>{"advapi32.dll", "kernel32.dll", "msvcrt.dll"}));
  const std::string version = "kesta_client " + std::string(kesta_client_version()) + "\n";
  EXPECT_EQ(example("version").out, version);
  EXPECT_EQ(example("version", "connect_example_static.exe").out, version);
}

}  // namespace
}  // namespace kesta::e2e
