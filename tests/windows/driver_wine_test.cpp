// The driver binding against the simulated wireguard.dll and iphlpapi.dll under Wine. Each
// test copies the probe program and the DLLs it needs into a folder of its own under the
// simulator output folder and runs it there, so the production loader searches exactly that
// folder and nothing ever lands beside the service's own executable.

// Order matters: winsock2 before windows and ws2ipdef, all before the IP Helper headers.
#include <winsock2.h>

#include <windows.h>
#include <ws2ipdef.h>

#include <iphlpapi.h>
#include <netioapi.h>

#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
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

// Where the probe runs and what it finds on PATH.
struct RunOptions {
  fs::path current_directory{};  // empty: the probe's own folder
  fs::path on_path{};            // put in front of PATH when given
};

// The LUID of an adapter of the WireGuard interface type (53), as the driver hands them out.
constexpr ULONG64 kWireGuardLuid = (ULONG64{53} << 48) | (ULONG64{1} << 24);

// The failure the probe reports when the loader finds no wireguard.dll where it looks.
std::string library_not_found() {
  return "error: LoadLibraryExW failed\n\nCaused by:\n    " + system_error_message(126) +
         "\nmodule: unloaded\n";
}

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

  const fs::path& path() const { return folder_; }

  ProbeRun run(const std::wstring& arguments, const RunOptions& options = {}) const {
    const fs::path program = folder_ / "driver_probe.exe";
    std::wstring command_line = L"\"" + program.wstring() + L"\" " + arguments;
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION info{};
    const fs::path directory =
        options.current_directory.empty() ? folder_ : options.current_directory;
    std::wstring environment;
    if (!options.on_path.empty()) environment = environment_with_path(options.on_path);
    if (!CreateProcessW(program.c_str(), command_line.data(), nullptr, nullptr, FALSE,
                        CREATE_UNICODE_ENVIRONMENT,
                        environment.empty() ? nullptr : environment.data(), directory.c_str(),
                        &startup, &info)) {
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
  // This process's environment block with `folder` in front of PATH.
  static std::wstring environment_with_path(const fs::path& folder) {
    std::wstring block;
    wchar_t* own = GetEnvironmentStringsW();
    for (const wchar_t* entry = own; *entry != L'\0'; entry += std::wcslen(entry) + 1) {
      std::wstring variable = entry;
      if (_wcsnicmp(variable.c_str(), L"PATH=", 5) == 0) {
        variable = L"PATH=" + folder.wstring() + L";" + variable.substr(5);
      }
      block.append(variable).push_back(L'\0');
    }
    FreeEnvironmentStringsW(own);
    block.push_back(L'\0');
    return block;
  }

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

// The library is looked for beside the program (and in System32), never in the current
// directory or on PATH, where users may be able to put a file of that name.
TEST(DriverLibraryUnderWine, SearchesTheProgramsFolderOnly) {
  const ProbeFolder program(Library::kNone);
  const fs::path elsewhere = program.path() / "elsewhere";
  fs::create_directories(elsewhere);
  fs::copy_file(sim_directory() / "wireguard.dll", elsewhere / "wireguard.dll");
  for (const RunOptions& options :
       {RunOptions{.current_directory = elsewhere}, RunOptions{.on_path = elsewhere}}) {
    const ProbeRun run = program.run(L"load", options);
    EXPECT_EQ(run.exit_code, 1u);
    EXPECT_EQ(run.output, library_not_found());
  }
  // Not even loaded and let go again: the library never started from that folder.
  EXPECT_FALSE(fs::exists(elsewhere / kesta::wgsim::kJournalFileName));

  fs::copy_file(sim_directory() / "wireguard.dll", program.path() / "wireguard.dll");
  const ProbeRun beside = program.run(L"load");
  EXPECT_EQ(beside.exit_code, 0u);
  EXPECT_EQ(beside.output, "loaded\n");
}

// Critical-error dialogs are off while the loader runs and the thread's previous mode is put
// back afterwards, unless it was that mode already: then whatever the load left stays.
TEST(DriverLibraryUnderWine, CriticalErrorModeOnlyDuringTheLoad) {
  struct Row {
    DWORD before;
    const char* scenario;  // the mode the library's start-up leaves, if any
    DWORD after;
  };
  const Row rows[] = {
      {0, "", 0},
      {SEM_NOOPENFILEERRORBOX, "", SEM_NOOPENFILEERRORBOX},
      {SEM_FAILCRITICALERRORS | SEM_NOGPFAULTERRORBOX, "",
       SEM_FAILCRITICALERRORS | SEM_NOGPFAULTERRORBOX},
      {0, "attach_error_mode 2\n", 0},
      {SEM_FAILCRITICALERRORS, "", SEM_FAILCRITICALERRORS},
      {SEM_FAILCRITICALERRORS, "attach_error_mode 2\n", SEM_NOGPFAULTERRORBOX},
  };
  const ProbeFolder folder(Library::kSimulator);
  for (const Row& row : rows) {
    folder.write(kesta::wgsim::kScenarioFileName, row.scenario);
    const ProbeRun run = folder.run(L"load " + std::to_wstring(row.before));
    EXPECT_EQ(run.output, "error mode after: " + std::to_string(row.after) + "\nloaded\n")
        << row.before << " " << row.scenario;
    const auto attached = named(folder.journal(kesta::wgsim::kJournalFileName), "Attach");
    ASSERT_FALSE(attached.empty());
    EXPECT_EQ(attached.back().field("error_mode"), "1") << row.before << " " << row.scenario;
  }
}

TEST(SimulatedDriverUnderWine, HandshakeAndJournalAcrossProcesses) {
  const ProbeFolder folder(Library::kSimulator);
  const ProbeRun run = folder.run(L"tunnel");
  EXPECT_EQ(run.exit_code, 0u);
  EXPECT_EQ(run.output.rfind("handshake: ", 0), 0u) << run.output;
  EXPECT_NE(run.output, "handshake: none\n");

  const auto journal = folder.journal(kesta::wgsim::kJournalFileName);
  ASSERT_GE(journal.size(), 5u);
  EXPECT_EQ(journal[0].line(), "Attach error_mode=1");
  EXPECT_EQ(calls_of(journal)[1], "SetLogger");
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
  const ProbeRun run = folder.run(L"ip " + std::to_wstring(kWireGuardLuid));
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
  // Every field of every row, as set or as the initialisers left it; the platform's rules
  // (a WireGuard LUID, known families, no site prefix length) all hold.
  const std::string luid = std::to_string(kWireGuardLuid);
  const auto routes = named(journal, "CreateIpForwardEntry2");
  ASSERT_EQ(routes.size(), 1u);
  EXPECT_EQ(routes[0].line(),
            "CreateIpForwardEntry2 luid=" + luid +
                " index=0 family=2 prefix=0.0.0.0 prefix_length=0 next_hop_family=2 "
                "next_hop=0.0.0.0 site_prefix_length=0 valid_lifetime=4294967295 "
                "preferred_lifetime=4294967295 metric=5 protocol=3 loopback=0 "
                "autoconfigure_address=0 publish=0 immortal=0 age=0 origin=0 result=0");
  EXPECT_EQ(named(journal, "CreateUnicastIpAddressEntry")[0].line(),
            "CreateUnicastIpAddressEntry luid=" + luid +
                " index=0 family=2 address=10.0.0.2 prefix_length=32 prefix_origin=1 "
                "suffix_origin=1 valid_lifetime=4294967295 preferred_lifetime=4294967295 "
                "skip_as_source=0 dad_state=4 scope_id=0 result=0");
  EXPECT_EQ(named(journal, "GetIpInterfaceEntry")[0].field("key_luid"), luid);
  EXPECT_EQ(named(journal, "GetIpInterfaceEntry")[0].field("key_family"), "2");
  EXPECT_EQ(named(journal, "SetIpInterfaceEntry")[0].line(),
            "SetIpInterfaceEntry luid=" + luid +
                " index=0 family=2 use_automatic_metric=0 metric=9999 nl_mtu=1420 "
                "site_prefix_length=0 others=as_read result=0");
}

// The simulated IP Helper loaded into this process under another name, so that a test can
// hand it rows the binding never builds. Its journal and scenario are in `folder`.
class IpHelperInProcess {
 public:
  explicit IpHelperInProcess(const fs::path& folder) {
    const fs::path copy = folder / "iphlpapi_rows.dll";
    fs::copy_file(sim_directory() / "iphlpapi.dll", copy);
    module_ = LoadLibraryW(copy.c_str());
    EXPECT_NE(module_, nullptr) << system_error_message(GetLastError());
  }
  ~IpHelperInProcess() {
    if (module_ != nullptr) FreeLibrary(module_);
  }

  template <class F>
  F* function(const char* name) const {
    return reinterpret_cast<F*>(reinterpret_cast<void*>(GetProcAddress(module_, name)));
  }

  // The rows as the binding fills them for the service's tunnel on `luid`.
  MIB_IPFORWARD_ROW2 route(ULONG64 luid) const {
    MIB_IPFORWARD_ROW2 row;
    std::memset(&row, 0, sizeof row);
    function<decltype(InitializeIpForwardEntry)>("InitializeIpForwardEntry")(&row);
    row.InterfaceLuid.Value = luid;
    row.DestinationPrefix.Prefix.si_family = AF_INET;
    row.NextHop.si_family = AF_INET;
    row.Metric = 5;
    return row;
  }
  MIB_UNICASTIPADDRESS_ROW address(ULONG64 luid) const {
    MIB_UNICASTIPADDRESS_ROW row;
    std::memset(&row, 0, sizeof row);
    function<decltype(InitializeUnicastIpAddressEntry)>("InitializeUnicastIpAddressEntry")(&row);
    row.InterfaceLuid.Value = luid;
    row.Address.si_family = AF_INET;
    const unsigned char client[4] = {10, 0, 0, 2};
    std::memcpy(&row.Address.Ipv4.sin_addr, client, 4);
    row.OnLinkPrefixLength = 32;
    row.DadState = IpDadStatePreferred;
    return row;
  }
  MIB_IPINTERFACE_ROW interface_row(ULONG64 luid) const {
    MIB_IPINTERFACE_ROW row;
    std::memset(&row, 0, sizeof row);
    function<decltype(InitializeIpInterfaceEntry)>("InitializeIpInterfaceEntry")(&row);
    row.InterfaceLuid.Value = luid;
    row.Family = AF_INET;
    return row;
  }

  DWORD create_route(const MIB_IPFORWARD_ROW2& row) const {
    return function<decltype(CreateIpForwardEntry2)>("CreateIpForwardEntry2")(&row);
  }
  DWORD create_address(const MIB_UNICASTIPADDRESS_ROW& row) const {
    return function<decltype(CreateUnicastIpAddressEntry)>("CreateUnicastIpAddressEntry")(&row);
  }
  DWORD get_interface(MIB_IPINTERFACE_ROW& row) const {
    return function<decltype(GetIpInterfaceEntry)>("GetIpInterfaceEntry")(&row);
  }
  DWORD set_interface(MIB_IPINTERFACE_ROW& row) const {
    return function<decltype(SetIpInterfaceEntry)>("SetIpInterfaceEntry")(&row);
  }

 private:
  HMODULE module_ = nullptr;
};

// What the platform refuses, each a one-field change to a row as the binding builds it (the
// binding's own rows pass every rule: RouteAddressMetricAndMtu).
TEST(IpConfigurationUnderWine, SimulatorRefusesWhatThePlatformRefuses) {
  const ProbeFolder folder(Library::kNone);
  const IpHelperInProcess ip(folder.path());
  constexpr ULONG64 kEthernetLuid = (ULONG64{6} << 48) | (ULONG64{1} << 24);
  constexpr ULONG64 kOtherWireGuardLuid = kWireGuardLuid + (ULONG64{1} << 24);
  struct Row {
    const char* rule;
    std::function<DWORD()> call;
    DWORD result;
  };
  const Row rows[] = {
      {"route as the binding builds it", [&] { return ip.create_route(ip.route(kWireGuardLuid)); },
       NO_ERROR},
      {"route without LUID", [&] { return ip.create_route(ip.route(0)); }, ERROR_INVALID_PARAMETER},
      {"route on an Ethernet LUID", [&] { return ip.create_route(ip.route(kEthernetLuid)); },
       ERROR_NOT_FOUND},
      {"route of another system's IPv6 family",
       [&] {
         auto row = ip.route(kWireGuardLuid);
         row.DestinationPrefix.Prefix.si_family = 10;
         row.NextHop.si_family = 10;
         return ip.create_route(row);
       },
       ERROR_INVALID_PARAMETER},
      {"IPv4 route through an IPv6 next hop",
       [&] {
         auto row = ip.route(kWireGuardLuid);
         row.NextHop.si_family = AF_INET6;
         return ip.create_route(row);
       },
       ERROR_INVALID_PARAMETER},
      {"the same route through another next hop",
       [&] {
         auto row = ip.route(kWireGuardLuid);
         const unsigned char gateway[4] = {10, 0, 0, 1};
         std::memcpy(&row.NextHop.Ipv4.sin_addr, gateway, 4);
         return ip.create_route(row);
       },
       NO_ERROR},
      {"address as the binding builds it",
       [&] { return ip.create_address(ip.address(kWireGuardLuid)); }, NO_ERROR},
      {"the same address with another prefix length",
       [&] {
         auto row = ip.address(kWireGuardLuid);
         row.OnLinkPrefixLength = 24;
         return ip.create_address(row);
       },
       ERROR_OBJECT_ALREADY_EXISTS},
      {"the same address on another adapter",
       [&] { return ip.create_address(ip.address(kOtherWireGuardLuid)); }, NO_ERROR},
      {"address without LUID", [&] { return ip.create_address(ip.address(0)); },
       ERROR_INVALID_PARAMETER},
      {"address on an Ethernet LUID", [&] { return ip.create_address(ip.address(kEthernetLuid)); },
       ERROR_NOT_FOUND},
      {"address of no family",
       [&] {
         auto row = ip.address(kWireGuardLuid);
         row.Address.si_family = AF_UNSPEC;
         return ip.create_address(row);
       },
       ERROR_INVALID_PARAMETER},
      {"interface read without family",
       [&] {
         auto row = ip.interface_row(kWireGuardLuid);
         row.Family = AF_UNSPEC;
         return ip.get_interface(row);
       },
       ERROR_INVALID_PARAMETER},
      {"interface read without LUID",
       [&] {
         auto row = ip.interface_row(0);
         return ip.get_interface(row);
       },
       ERROR_INVALID_PARAMETER},
      {"interface written back as read, site prefix length included",
       [&] {
         auto row = ip.interface_row(kWireGuardLuid);
         if (const DWORD read = ip.get_interface(row); read != NO_ERROR) return read;
         row.Metric = 9999;
         return ip.set_interface(row);
       },
       ERROR_INVALID_PARAMETER},
      {"interface written back with the site prefix length cleared",
       [&] {
         auto row = ip.interface_row(kWireGuardLuid);
         if (const DWORD read = ip.get_interface(row); read != NO_ERROR) return read;
         row.SitePrefixLength = 0;
         return ip.set_interface(row);
       },
       NO_ERROR},
      {"interface of an Ethernet LUID written",
       [&] {
         auto row = ip.interface_row(kEthernetLuid);
         row.SitePrefixLength = 0;
         return ip.set_interface(row);
       },
       ERROR_NOT_FOUND},
  };
  for (const Row& row : rows) EXPECT_EQ(row.call(), row.result) << row.rule;

  // A row written without being read first is journaled as such.
  const auto sets = named(folder.journal("iphlpapi_sim.journal"), "SetIpInterfaceEntry");
  ASSERT_EQ(sets.size(), 3u);
  EXPECT_EQ(sets[1].field("others"), "as_read");
  EXPECT_EQ(sets[2].field("others"), "unread");
}

TEST(IpConfigurationUnderWine, AlreadyExistingRouteAndAddressAreSuccess) {
  const ProbeFolder folder(Library::kNone);
  folder.write("iphlpapi_sim.scenario",
               "CreateIpForwardEntry2 5010\nCreateUnicastIpAddressEntry 5010\n");
  const ProbeRun run = folder.run(L"ip " + std::to_wstring(kWireGuardLuid));
  EXPECT_EQ(run.exit_code, 0u);
  EXPECT_EQ(run.output, "interface: 0 automatic_metric: 0 metric: 9999 mtu: 1420\n");
}

TEST(IpConfigurationUnderWine, SecondRunOnTheSameAdapterSucceeds) {
  const ProbeFolder folder(Library::kNone);
  const ProbeRun run = folder.run(L"ip " + std::to_wstring(kWireGuardLuid) + L" 2");
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
    const ProbeRun run = folder.run(L"ip " + std::to_wstring(kWireGuardLuid));
    EXPECT_EQ(run.exit_code, 1u) << row.scenario;
    EXPECT_EQ(run.output, "error: " + row.message + "\n");
    const auto journal = folder.journal("iphlpapi_sim.journal");
    EXPECT_EQ(named(journal, "CreateUnicastIpAddressEntry").size(), row.address_calls)
        << row.scenario;
  }
}

}  // namespace
