// kesta_client.dll as a client application uses it, against the real redevuva_service under
// Wine's service control manager: every status through examples/connect.c, a C program over
// the C interface, and what the DLL exports.
#include <windows.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <future>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "kesta/client.h"
#include "protocol/base64.h"
#include "service_harness.h"

namespace kesta::e2e {
namespace {

using namespace std::chrono_literals;

struct Ran {
  DWORD exit = 0;
  std::string out;
};

// The example `program` with `arguments`, to its end.
Ran run_example(const std::string& arguments, const char* program = "connect_example.exe") {
  SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
  HANDLE read_end = nullptr, write_end = nullptr;
  CreatePipe(&read_end, &write_end, &inherit, 0);
  SetHandleInformation(read_end, HANDLE_FLAG_INHERIT, 0);
  STARTUPINFOW startup{};
  startup.cb = sizeof startup;
  startup.dwFlags = STARTF_USESTDHANDLES;
  startup.hStdOutput = startup.hStdError = write_end;
  const std::wstring exe = (own_directory() / program).wstring();
  std::wstring command = L"\"" + exe + L"\" " + std::wstring(arguments.begin(), arguments.end());
  PROCESS_INFORMATION process{};
  const bool started = CreateProcessW(exe.c_str(), command.data(), nullptr, nullptr, TRUE, 0,
                                      nullptr, nullptr, &startup, &process);
  CloseHandle(write_end);
  Ran ran;
  char buffer[4096];
  DWORD got = 0;
  while (started && ReadFile(read_end, buffer, sizeof buffer, &got, nullptr) && got > 0) {
    ran.out.append(buffer, got);
  }
  CloseHandle(read_end);
  // A C program's standard output is in text mode: its lines end in CR LF.
  std::erase(ran.out, '\r');
  EXPECT_TRUE(started) << program << " did not start";
  if (!started) return ran;
  WaitForSingleObject(process.hProcess, INFINITE);
  GetExitCodeProcess(process.hProcess, &ran.exit);
  CloseHandle(process.hThread);
  CloseHandle(process.hProcess);
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
    std::vector<std::future<Ran>> busy;
    // A program that took the pipe's name while the service is stopped counts what it is sent.
    HANDLE impostor = INVALID_HANDLE_VALUE;
    std::future<DWORD> received;
    if (row.setup == Setup::kNoHandshake || row.setup == Setup::kBusy) {
      run.write(wgsim::kScenarioFileName, "handshake Never\n");
    }
    if (row.setup == Setup::kBusy) {
      // The first Connect waits a second for a handshake that never comes; the second waits
      // behind it, then as long.
      const auto connect = [] { return run_example(example_arguments("connect", 10000)); };
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

    const Ran ran = run_example(example_arguments(row.call, row.timeout_ms));
    const std::string status = "status: " + std::string(kesta_status_name(row.status)) + "\n";
    if (row.status == KESTA_CONNECTED) {
      EXPECT_TRUE(ran.out.starts_with(status + "last handshake: 1")) << ran.out;
      EXPECT_NE(ran.out.find("\nreceived: "), std::string::npos) << ran.out;
    } else if (row.status == KESTA_DISCONNECTED) {
      EXPECT_EQ(ran.out, status);
    } else {
      EXPECT_EQ(ran.out, status + "error: " + row.text + "\n");
    }
    EXPECT_EQ(ran.exit, row.status <= KESTA_DISCONNECTED ? 0u : static_cast<DWORD>(row.status));
    for (auto& connect : busy) {
      EXPECT_EQ(connect.get().exit, static_cast<DWORD>(KESTA_SERVICE_ERROR));
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
  EXPECT_EQ(run_example("version").out, version);
  EXPECT_EQ(run_example("version", "connect_example_static.exe").out, version);
}

}  // namespace
}  // namespace kesta::e2e
