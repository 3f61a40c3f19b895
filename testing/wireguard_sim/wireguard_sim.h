#pragma once

// Control side of the simulated WireGuard driver library. The library itself is the twelve
// entry points of driver/wireguard_abi.h. Tests linking it in-process steer it with
// set_scenario() and read journal(); a process that loads it as wireguard.dll is steered by a
// scenario file next to the DLL and journals to a file beside it (see kScenarioFileName).

#include <array>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace kesta::wgsim {

inline constexpr const char* kScenarioFileName = "wireguard_sim.scenario";
inline constexpr const char* kJournalFileName = "wireguard_sim.journal";

// Entry points that can be made to fail.
enum class Fault { kOpenAdapter, kCreateAdapter, kSetConfiguration, kSetStateUp, kSetStateDown };

// Ways a configuration read can go wrong.
enum class ReadAnomaly {
  kNone,
  kSizeQueryTrue,       // the size query answers TRUE
  kWrongLastError,      // the size query answers FALSE with an error other than ERROR_MORE_DATA
  kZeroSize,            // the size query reports 0 bytes
  kZeroPeers,           // the configuration lists no peer
  kEndpointFamilyZero,  // the first peer's endpoint has family 0
  kIpv4Cidr33,          // the first allowed IP is IPv4 with Cidr 33
  kSizeTooSmall,        // the size covers the interface only while it announces its peers
  kSecondCallFails,     // the read after the size query answers FALSE
};

// What the simulated server does once an adapter with a peer is up.
enum class Handshake {
  kNormal,              // handshake after the delay, rx and tx grow, keepalives follow
  kNever,               // initiations go out unanswered
  kTimeWithoutRx,       // the handshake time moves but nothing is received
  kRxWithoutHandshake,  // bytes arrive but no handshake completes
};

std::string_view anomaly_name(ReadAnomaly anomaly);

struct Scenario {
  std::set<Fault> faults{};
  ReadAnomaly read_anomaly = ReadAnomaly::kNone;
  // Reads (size queries) served normally before the anomaly starts.
  std::uint32_t anomaly_after_reads = 0;
  Handshake handshake = Handshake::kNormal;
  std::chrono::milliseconds handshake_delay{20};
  // Adapters that exist before the process's first call, by name; they survive being closed.
  std::vector<std::string> existing_adapters{};
  // Where the simulated server listens: only a peer with this IPv4 endpoint, on an interface
  // with a private key, is ever answered. The default is the endpoint the tests configure.
  std::array<std::uint8_t, 4> server_address{192, 0, 2, 7};
  std::uint16_t server_port = 51820;
  // The thread error mode the DLL's start-up leaves behind, as a library whose initialisation
  // changes it would; unset leaves the mode alone.
  std::optional<std::uint32_t> attach_error_mode{};
  // The DLL's start-up leaves the process a standard error that refuses writes (a read-only
  // handle), so that a service's next log line fails when it copies it there.
  bool attach_read_only_stderr = false;

  bool operator==(const Scenario&) const = default;
};

// One line per setting: "fail OpenAdapter", "read_anomaly ZeroPeers", "anomaly_after_reads 2",
// "handshake Never", "handshake_delay_ms 20", "existing_adapter RedevUva",
// "server 192.0.2.7:51820", "attach_error_mode 0", "attach_read_only_stderr". '#' starts a
// comment.
std::string format_scenario(const Scenario& scenario);
// The scenario, or the text of the first line that is not understood.
std::pair<std::optional<Scenario>, std::string> parse_scenario(std::string_view text);

// One call as the library saw it: "OpenAdapter name=RedevUva result=1 open=1".
struct JournalEntry {
  std::string call;
  std::vector<std::pair<std::string, std::string>> fields;

  // The field's value, or "" when the entry has none of that name.
  std::string field(std::string_view name) const;
  std::string line() const;
  static std::optional<JournalEntry> parse(std::string_view line);
};

// In-process control.
void set_scenario(const Scenario& scenario);
// Forgets adapters, handles, the journal, the read count and the scenario. The logger stays,
// as it would in a driver library loaded once per process.
void reset();
// The last 1,000 calls, oldest first (the journal file beside a DLL keeps every one).
std::vector<JournalEntry> journal();
std::size_t open_handle_count();
// How many times WireGuardSetLogger has been called since the process started.
std::size_t logger_registrations();
// Sends a message to the registered logger, as the driver does for its own events.
void log_to_registered_logger(const char16_t* message);
// Makes an in-process library also read its scenario from and journal to `directory`.
void use_directory(std::string directory);

}  // namespace kesta::wgsim
