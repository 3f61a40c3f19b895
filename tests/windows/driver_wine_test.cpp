// The driver binding against the simulated wireguard.dll and iphlpapi.dll under Wine. Each
// test copies the probe program and the DLLs it needs into a folder of its own under the
// simulator output folder and runs it there, so the production loader searches exactly that
// folder and nothing ever lands beside the service's own executable.

#include <windows.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "core/error.h"
#include "driver/wireguard_library.h"
#include "wireguard_sim/wireguard_sim.h"

namespace {

namespace fs = std::filesystem;
using kesta::system_error_message;
using kesta::wgsim::JournalEntry;

fs::path own_directory() {
  wchar_t path[MAX_PATH];
  const DWORD length = GetModuleFileNameW(nullptr, path, MAX_PATH);
  return fs::path(std::wstring(path, length)).parent_path();
}

// The simulator binaries: build/<preset>/sim beside build/<preset>/bin.
fs::path sim_directory() {
  return own_directory().parent_path() / "sim";
}

std::string read_text(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

struct HandleCloser {
  void operator()(HANDLE handle) const { CloseHandle(handle); }
};
using UniqueHandle = std::unique_ptr<void, HandleCloser>;

enum class Library { kNone, kSimulator, kMissingExport };

struct ProbeRun {
  DWORD exit_code = 0;
  std::string output;
};

// Wine's own iphlpapi.dll aborts on the calls the probe makes. A child process does not take
// WINEDLLOVERRIDES from its parent's environment block, so the override is set the way Wine
// reads it per program, in the registry of the prefix.
void select_native_iphlpapi() {
  const wchar_t value[] = L"native";
  const LSTATUS status = RegSetKeyValueW(
      HKEY_CURRENT_USER, L"Software\\Wine\\AppDefaults\\driver_probe.exe\\DllOverrides",
      L"iphlpapi", REG_SZ, value, sizeof value);
  ASSERT_EQ(status, ERROR_SUCCESS) << system_error_message(static_cast<std::uint32_t>(status));
}

class ProbeFolder {
 public:
  explicit ProbeFolder(Library library) {
    const auto* test = ::testing::UnitTest::GetInstance()->current_test_info();
    std::string name = std::string(test->test_suite_name()) + "." + test->name();
    for (char& c : name) {
      if (c == '/') c = '_';
    }
    folder_ = sim_directory() / "runs" / name;
    select_native_iphlpapi();
    fs::remove_all(folder_);
    fs::create_directories(folder_);
    fs::copy_file(sim_directory() / "driver_probe.exe", folder_ / "driver_probe.exe");
    // The probe imports IP Helper, so every folder holds the stand-in the override selects.
    fs::copy_file(sim_directory() / "iphlpapi.dll", folder_ / "iphlpapi.dll");
    if (library == Library::kSimulator) {
      fs::copy_file(sim_directory() / "wireguard.dll", folder_ / "wireguard.dll");
    } else if (library == Library::kMissingExport) {
      fs::copy_file(sim_directory() / "wireguard_missing_export.dll", folder_ / "wireguard.dll");
    }
  }

  void write(const char* file, const std::string& text) const {
    std::ofstream(folder_ / file, std::ios::binary) << text;
  }

  ProbeRun run(const std::wstring& arguments) const {
    const fs::path program = folder_ / "driver_probe.exe";
    std::wstring command_line = L"\"" + program.wstring() + L"\" " + arguments;
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION info{};
    if (!CreateProcessW(program.c_str(), command_line.data(), nullptr, nullptr, FALSE, 0, nullptr,
                        folder_.c_str(), &startup, &info)) {
      ADD_FAILURE() << "CreateProcessW: " << system_error_message(GetLastError());
      return {};
    }
    UniqueHandle process(info.hProcess);
    UniqueHandle thread(info.hThread);
    ProbeRun result;
    if (WaitForSingleObject(process.get(), 30'000) != WAIT_OBJECT_0) {
      TerminateProcess(process.get(), 99);
      ADD_FAILURE() << "the probe did not finish";
    }
    GetExitCodeProcess(process.get(), &result.exit_code);
    result.output = read_text(folder_ / "probe.out");
    return result;
  }

  std::vector<JournalEntry> journal(const char* file) const {
    std::vector<JournalEntry> entries;
    std::istringstream lines(read_text(folder_ / file));
    for (std::string line; std::getline(lines, line);) {
      auto entry = JournalEntry::parse(line);
      EXPECT_TRUE(entry.has_value()) << line;
      if (entry) entries.push_back(std::move(*entry));
    }
    return entries;
  }

 private:
  fs::path folder_;
};

std::vector<std::string> calls_of(const std::vector<JournalEntry>& journal) {
  std::vector<std::string> calls;
  for (const auto& entry : journal) calls.push_back(entry.call);
  return calls;
}

std::vector<JournalEntry> named(const std::vector<JournalEntry>& journal, const char* call) {
  std::vector<JournalEntry> found;
  for (const auto& entry : journal) {
    if (entry.call == call) found.push_back(entry);
  }
  return found;
}

TEST(DriverLibraryUnderWine, NoLibraryBesideTheProgram) {
  ASSERT_FALSE(fs::exists(own_directory() / "wireguard.dll"));
  const auto library = kesta::driver::load_wireguard_library();
  ASSERT_FALSE(library.has_value());
  const kesta::Error error = library.error().error();
  EXPECT_EQ(error.message(), "LoadLibraryExW failed");
  ASSERT_NE(error.cause(), nullptr);
  EXPECT_EQ(error.cause()->message(), system_error_message(126));
}

TEST(DriverLibraryUnderWine, MissingExportFailsAndUnloads) {
  const ProbeFolder folder(Library::kMissingExport);
  const ProbeRun run = folder.run(L"load");
  EXPECT_EQ(run.exit_code, 1u);
  EXPECT_EQ(run.output, "error: GetProcAddress failed\n\nCaused by:\n    " +
                            system_error_message(127) + "\nmodule: unloaded\n");
}

TEST(DriverLibraryUnderWine, SimulatorLoadsFromTheProgramsFolder) {
  const ProbeFolder folder(Library::kSimulator);
  const ProbeRun run = folder.run(L"load");
  EXPECT_EQ(run.exit_code, 0u);
  EXPECT_EQ(run.output, "loaded\n");
}

TEST(SimulatedDriverUnderWine, HandshakeAndJournalAcrossProcesses) {
  const ProbeFolder folder(Library::kSimulator);
  const ProbeRun run = folder.run(L"tunnel");
  EXPECT_EQ(run.exit_code, 0u);
  EXPECT_EQ(run.output.rfind("handshake: ", 0), 0u) << run.output;
  EXPECT_NE(run.output, "handshake: none\n");

  const auto journal = folder.journal(kesta::wgsim::kJournalFileName);
  ASSERT_GE(journal.size(), 4u);
  EXPECT_EQ(calls_of(journal)[0], "SetLogger");
  EXPECT_EQ(named(journal, "SetLogger").size(), 1u);
  const auto creates = named(journal, "CreateAdapter");
  ASSERT_EQ(creates.size(), 1u);
  EXPECT_EQ(creates[0].field("name"), "WireGuard");
  EXPECT_EQ(creates[0].field("type"), "RedevUva");
  EXPECT_EQ(creates[0].field("guid").size(), 32u);
  const auto sets = named(journal, "SetConfiguration");
  ASSERT_EQ(sets.size(), 1u);
  EXPECT_EQ(sets[0].field("size"), "240");
  EXPECT_EQ(sets[0].field("bytes").size(), 480u);
  EXPECT_EQ(journal.back().call, "CloseAdapter");
  EXPECT_EQ(journal.back().field("open"), "0");
}

TEST(SimulatedDriverUnderWine, ScenarioFileSteersAnotherProcess) {
  struct Row {
    const char* scenario;
    const wchar_t* command;
    std::string output;
  };
  const Row rows[] = {
      {"handshake Never\n", L"tunnel", "handshake: none\n"},
      {"handshake TimeWithoutRx\n", L"tunnel", "handshake: none\n"},
      {"read_anomaly SecondCallFails\n", L"read", "error: WireGuardGetConfiguration failed\n"},
      {"read_anomaly SizeTooSmall\n", L"read",
       "error: Overflow attempting to read struct of size 136. To allocation size: 80, "
       "offset: 80\n"},
      {"fail CreateAdapter\n", L"read", "error: Failed to create adapter\n"},
      {"fail SetConfiguration\n", L"read", "error: WireGuardSetConfiguration failed\n"},
      {"existing_adapter RedevUva\n", L"read", "peers: 1\n"},
  };
  const ProbeFolder folder(Library::kSimulator);
  for (const Row& row : rows) {
    folder.write(kesta::wgsim::kScenarioFileName, row.scenario);
    EXPECT_EQ(folder.run(row.command).output, row.output) << row.scenario;
  }
  const auto journal = folder.journal(kesta::wgsim::kJournalFileName);
  // The pre-existing adapter of the last row was opened, not created.
  EXPECT_EQ(journal.back().call, "CloseAdapter");
  EXPECT_EQ(named(journal, "OpenAdapter").back().field("result"), "1");
}

TEST(IpConfigurationUnderWine, RouteAddressMetricAndMtu) {
  const ProbeFolder folder(Library::kNone);
  const ProbeRun run = folder.run(L"ip 1234");
  EXPECT_EQ(run.exit_code, 0u);
  // Read back through IP Helper after the operation.
  EXPECT_EQ(run.output, "interface: 0 automatic_metric: 0 metric: 9999 mtu: 1420\n");

  const auto journal = folder.journal("iphlpapi_sim.journal");
  const std::vector<std::string> expected_calls = {
      "InitializeIpForwardEntry",    "CreateIpForwardEntry2",
      "InitializeIpInterfaceEntry",  "InitializeUnicastIpAddressEntry",
      "CreateUnicastIpAddressEntry", "GetIpInterfaceEntry",
      "SetIpInterfaceEntry",         "InitializeIpInterfaceEntry",
      "GetIpInterfaceEntry"};
  EXPECT_EQ(calls_of(journal), expected_calls);
  const auto routes = named(journal, "CreateIpForwardEntry2");
  ASSERT_EQ(routes.size(), 1u);
  EXPECT_EQ(routes[0].line(),
            "CreateIpForwardEntry2 luid=1234 family=2 prefix=0.0.0.0 prefix_length=0 "
            "next_hop_family=2 next_hop=0.0.0.0 metric=5 result=0");
  EXPECT_EQ(named(journal, "CreateUnicastIpAddressEntry")[0].line(),
            "CreateUnicastIpAddressEntry luid=1234 family=2 address=10.0.0.2 prefix_length=32 "
            "dad_state=4 result=0");
  EXPECT_EQ(named(journal, "GetIpInterfaceEntry")[0].field("key_family"), "2");
  EXPECT_EQ(named(journal, "SetIpInterfaceEntry")[0].line(),
            "SetIpInterfaceEntry luid=1234 family=2 use_automatic_metric=0 metric=9999 "
            "nl_mtu=1420 site_prefix_length=0 result=0");
}

TEST(IpConfigurationUnderWine, AlreadyExistingRouteAndAddressAreSuccess) {
  const ProbeFolder folder(Library::kNone);
  folder.write("iphlpapi_sim.scenario",
               "CreateIpForwardEntry2 5010\nCreateUnicastIpAddressEntry 5010\n");
  const ProbeRun run = folder.run(L"ip 77");
  EXPECT_EQ(run.exit_code, 0u);
  EXPECT_EQ(run.output, "interface: 0 automatic_metric: 0 metric: 9999 mtu: 1420\n");
}

TEST(IpConfigurationUnderWine, SecondRunOnTheSameAdapterSucceeds) {
  const ProbeFolder folder(Library::kNone);
  const ProbeRun run = folder.run(L"ip 77 2");
  EXPECT_EQ(run.exit_code, 0u);
  EXPECT_EQ(run.output, "interface: 0 automatic_metric: 0 metric: 9999 mtu: 1420\n");
  const auto journal = folder.journal("iphlpapi_sim.journal");
  for (const char* call : {"CreateIpForwardEntry2", "CreateUnicastIpAddressEntry"}) {
    const auto creates = named(journal, call);
    ASSERT_EQ(creates.size(), 2u) << call;
    EXPECT_EQ(creates[0].field("result"), "0") << call;
    EXPECT_EQ(creates[1].field("result"), "5010") << call;
  }
}

TEST(IpConfigurationUnderWine, FailuresNameTheirStep) {
  struct Row {
    const char* scenario;
    std::string message;
    std::size_t address_calls;
  };
  const Row rows[] = {
      {"CreateIpForwardEntry2 5\n", "Failed to set default route - " + system_error_message(5), 0},
      {"CreateUnicastIpAddressEntry 5\n", "Failed to set IP interface - " + system_error_message(5),
       1},
      {"GetIpInterfaceEntry 1168\n", "Failed to get IP interface - " + system_error_message(1168),
       1},
      {"SetIpInterfaceEntry 87\n", "Failed to set metric and MTU - " + system_error_message(87), 1},
  };
  for (const Row& row : rows) {
    const ProbeFolder folder(Library::kNone);
    folder.write("iphlpapi_sim.scenario", row.scenario);
    const ProbeRun run = folder.run(L"ip 1234");
    EXPECT_EQ(run.exit_code, 1u) << row.scenario;
    EXPECT_EQ(run.output, "error: " + row.message + "\n");
    const auto journal = folder.journal("iphlpapi_sim.journal");
    EXPECT_EQ(named(journal, "CreateUnicastIpAddressEntry").size(), row.address_calls)
        << row.scenario;
  }
}

}  // namespace
