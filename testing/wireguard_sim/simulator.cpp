// The simulated driver library: adapters by name, configuration parsed, stored and returned in
// the driver's buffer layout, up/down state, and a simulated server whose handshake and traffic
// are worked out from the clock whenever the adapter is looked at. It refuses what the driver
// refuses, with the driver's error codes, and its server answers only a configuration that
// could really reach it.

#include <algorithm>
#include <array>
#include <chrono>
#include <cstring>
#include <deque>
#include <map>
#include <mutex>
#include <optional>

#include "driver/wireguard_abi.h"
#include "wireguard_sim/exports.h"
#include "wireguard_sim/sim_platform.h"
#include "wireguard_sim/wireguard_sim.h"

namespace abi = kesta::driver::abi;

namespace kesta::wgsim {
namespace {

using Clock = std::chrono::steady_clock;
using Key = std::array<std::uint8_t, 32>;

constexpr std::uint32_t kErrorFileNotFound = 2;
constexpr std::uint32_t kErrorInvalidHandle = 6;
constexpr std::uint32_t kErrorGenFailure = 31;
constexpr std::uint32_t kErrorInvalidParameter = 87;
constexpr std::uint32_t kErrorAlreadyExists = 183;

constexpr std::size_t kInterfaceSize = 80;
constexpr std::size_t kPeerSize = 136;
constexpr std::size_t kAllowedIpSize = 24;
constexpr std::uint16_t kFamilyIpv4 = 2;
constexpr std::uint16_t kFamilyIpv6 = 23;
constexpr std::uint32_t kKnownInterfaceFlags = 0x0F;
constexpr std::uint32_t kInterfaceHasPrivateKey = 0x2;
constexpr std::uint32_t kInterfaceReplacePeers = 0x8;
constexpr std::uint32_t kKnownPeerFlags = 0x2F;  // the four HAS_ flags and REPLACE_ALLOWED_IPS
constexpr std::uint32_t kPeerHasPublicKey = 0x1;
constexpr std::uint32_t kPeerHasPresharedKey = 0x2;
constexpr std::uint32_t kPeerHasKeepalive = 0x4;
constexpr std::uint32_t kPeerHasEndpoint = 0x8;

// Message sizes of the protocol, so the counters move as a real tunnel's would.
constexpr std::uint64_t kInitiationBytes = 148;
constexpr std::uint64_t kResponseBytes = 92;
constexpr std::uint64_t kKeepaliveBytes = 32;
// Entries kept in memory; the journal file keeps every one. A service under load makes a few
// calls per request, so a long run must not grow the process that hosts the library.
constexpr std::size_t kJournalLimit = 1'000;

struct AllowedIp {
  std::array<std::uint8_t, 16> address{};
  std::uint16_t family = 0;
  std::uint8_t cidr = 0;
};

// A SOCKADDR_INET as the driver reads it: the fields, not the bytes, so that a misplaced
// address or a port in the wrong byte order reads back as what the driver understood.
struct Endpoint {
  std::uint16_t family = 0;  // 0: none given
  std::uint16_t port = 0;    // host order
  std::array<std::uint8_t, 16> address{};
  std::array<std::uint8_t, 4> flow_info{};  // IPv6 only, kept as given
  std::array<std::uint8_t, 4> scope_id{};   // IPv6 only, kept as given
};

struct Peer {
  std::uint32_t flags = 0;
  Key public_key{};
  Key preshared_key{};
  std::uint16_t keepalive = 0;
  Endpoint endpoint;
  std::uint64_t tx = 0;
  std::uint64_t rx = 0;
  std::uint64_t last_handshake = 0;
  bool session = false;          // the server answered and keepalives flow
  std::uint64_t keepalives = 0;  // sent in the current session
  std::vector<AllowedIp> allowed_ips;
};

struct Adapter {
  std::u16string tunnel_type;
  abi::Guid guid{};
  std::uint64_t luid = 0;
  bool persistent = false;  // existed before the process; closing does not remove it
  bool up = false;
  bool handshake_pending = false;
  Clock::time_point up_since;
  Clock::time_point session_start;
  bool has_private_key = false;
  Key private_key{};
  std::vector<Peer> peers;
};

struct State {
  std::mutex mutex;
  Scenario scenario;
  std::map<std::u16string, Adapter> adapters;
  std::map<std::uintptr_t, std::u16string> handles;
  std::uintptr_t next_handle = 1;
  std::uint32_t next_luid_index = 1;
  std::deque<JournalEntry> journal;
  std::uint32_t reads = 0;
  abi::LoggerCallback logger = nullptr;
  std::size_t logger_registrations = 0;
  std::filesystem::path directory = platform::library_directory();
};

State& state() {
  static State instance;
  return instance;
}

template <class T>
void put_le(std::uint8_t* at, T value) {
  for (std::size_t i = 0; i < sizeof(T); ++i) at[i] = static_cast<std::uint8_t>(value >> (8 * i));
}

template <class T>
T get_le(const std::uint8_t* at) {
  T value = 0;
  for (std::size_t i = 0; i < sizeof(T); ++i) value |= static_cast<T>(T{at[i]} << (8 * i));
  return value;
}

std::uint16_t get_be16(const std::uint8_t* at) {
  return static_cast<std::uint16_t>((at[0] << 8) | at[1]);
}

std::string hex(const std::uint8_t* bytes, std::size_t size) {
  static constexpr char kDigits[] = "0123456789abcdef";
  std::string out;
  for (std::size_t i = 0; i < size; ++i) {
    out.push_back(kDigits[bytes[i] >> 4]);
    out.push_back(kDigits[bytes[i] & 0xF]);
  }
  return out;
}

std::string utf8(std::u16string_view text) {
  std::string out;
  for (char16_t c : text) {
    // Names are ASCII in practice; anything else is shown as U+FFFD so lines stay valid.
    out.append(c < 0x80 ? std::string(1, static_cast<char>(c)) : std::string("\xEF\xBF\xBD"));
  }
  return out;
}

std::u16string utf16(std::string_view text) {
  return {text.begin(), text.end()};
}

std::string handle_text(std::uintptr_t id) {
  return std::to_string(id);
}

std::uint64_t fresh_luid() {
  // Interface type 53 (a virtual adapter) in the top 16 bits, then the net LUID index.
  return (std::uint64_t{53} << 48) | (std::uint64_t{state().next_luid_index++} << 24);
}

// One call in progress: holds the lock, brings the scenario up to date and journals the call.
class Call {
 public:
  explicit Call(std::string name) : lock_(state().mutex), entry_{std::move(name), {}} {
    refresh_scenario();
  }
  ~Call() {
    State& s = state();
    if (!s.directory.empty()) platform::append_line(s.directory / kJournalFileName, entry_.line());
    s.journal.push_back(std::move(entry_));
    if (s.journal.size() > kJournalLimit) s.journal.pop_front();
    lock_.unlock();
    // Last, so that journaling cannot overwrite the error the caller is about to read.
    if (error_) platform::set_last_error(*error_);
  }

  // The thread's last error as the call returns.
  void set_error(std::uint32_t code) { error_ = code; }

  void note(std::string key, std::string value) {
    entry_.fields.emplace_back(std::move(key), std::move(value));
  }
  bool faulty(Fault fault) const { return state().scenario.faults.contains(fault); }

  // The adapter behind `handle`, or null (with the last error set) for a handle it never gave.
  Adapter* adapter(abi::AdapterHandle handle) {
    const auto id = reinterpret_cast<std::uintptr_t>(handle);
    note("handle", handle_text(id));
    const auto found = state().handles.find(id);
    if (found == state().handles.end()) {
      note("bad_handle", "1");
      set_error(kErrorInvalidHandle);
      return nullptr;
    }
    return &state().adapters.at(found->second);
  }

 private:
  void refresh_scenario() {
    State& s = state();
    if (!s.directory.empty()) {
      if (auto text = platform::read_file(s.directory / kScenarioFileName)) {
        auto [scenario, bad_line] = parse_scenario(*text);
        if (scenario) {
          s.scenario = std::move(*scenario);
        } else {
          note("scenario_error", bad_line);
        }
      }
    }
    for (const std::string& name : s.scenario.existing_adapters) {
      auto [it, added] = s.adapters.try_emplace(utf16(name));
      if (added) {
        it->second.persistent = true;
        it->second.luid = fresh_luid();
      }
    }
  }

  std::unique_lock<std::mutex> lock_;
  JournalEntry entry_;
  std::optional<std::uint32_t> error_;
};

abi::AdapterHandle new_handle(Call& call, const std::u16string& name) {
  State& s = state();
  const std::uintptr_t id = s.next_handle++;
  s.handles.emplace(id, name);
  call.note("result", handle_text(id));
  call.note("open", std::to_string(s.handles.size()));
  return reinterpret_cast<abi::AdapterHandle>(id);
}

void log_event(const char16_t* message) {
  if (state().logger != nullptr)
    state().logger(abi::kLogInfo, platform::system_time_now(), message);
}

std::string endpoint_text(const std::array<std::uint8_t, 4>& address, std::uint16_t port) {
  return std::to_string(address[0]) + "." + std::to_string(address[1]) + "." +
         std::to_string(address[2]) + "." + std::to_string(address[3]) + ":" + std::to_string(port);
}

// Why the simulated server would not answer this peer, or "" when it would: initiations need
// the interface's private key and the peer's endpoint, and reach the server only at its own
// address and port.
std::string unanswered_because(const Adapter& adapter, const Peer& peer) {
  if (!adapter.has_private_key) return "no private key";
  if ((peer.flags & kPeerHasEndpoint) == 0) return "no endpoint";
  const Scenario& scenario = state().scenario;
  std::array<std::uint8_t, 4> address{};
  std::memcpy(address.data(), peer.endpoint.address.data(), address.size());
  if (peer.endpoint.family != kFamilyIpv4 || address != scenario.server_address ||
      peer.endpoint.port != scenario.server_port) {
    const std::string given = peer.endpoint.family == kFamilyIpv4
                                  ? endpoint_text(address, peer.endpoint.port)
                                  : "family " + std::to_string(peer.endpoint.family);
    return "endpoint " + given + " is not the server " +
           endpoint_text(scenario.server_address, scenario.server_port);
  }
  return {};
}

// "answers" when the server answers every peer, else why it stays silent for the first one.
std::string server_note(const Adapter& adapter) {
  if (adapter.peers.empty()) return "no peer";
  for (const Peer& peer : adapter.peers) {
    if (std::string reason = unanswered_because(adapter, peer); !reason.empty()) return reason;
  }
  return "answers";
}

// Applies what the simulated server has done since the adapter was last looked at.
void advance(Adapter& adapter) {
  const Scenario& scenario = state().scenario;
  const Clock::time_point now = Clock::now();
  if (adapter.up && adapter.handshake_pending && !adapter.peers.empty() &&
      now >= adapter.up_since + scenario.handshake_delay) {
    const Clock::time_point at = adapter.up_since + scenario.handshake_delay;
    const auto ago = std::chrono::duration_cast<std::chrono::nanoseconds>(now - at).count() / 100;
    const std::uint64_t handshake_time =
        platform::system_time_now() - static_cast<std::uint64_t>(ago);
    adapter.handshake_pending = false;
    adapter.session_start = at;
    for (Peer& peer : adapter.peers) {
      peer.keepalives = 0;
      peer.session = false;
      // Without a private key or an endpoint no initiation goes out at all.
      if (!adapter.has_private_key || (peer.flags & kPeerHasEndpoint) == 0) continue;
      peer.tx += kInitiationBytes;
      if (!unanswered_because(adapter, peer).empty()) continue;
      if (scenario.handshake == Handshake::kNormal ||
          scenario.handshake == Handshake::kTimeWithoutRx) {
        peer.last_handshake = handshake_time;
      }
      if (scenario.handshake == Handshake::kNormal ||
          scenario.handshake == Handshake::kRxWithoutHandshake) {
        peer.rx += kResponseBytes;
      }
      peer.session = scenario.handshake == Handshake::kNormal;
    }
  }
  if (!adapter.up) return;
  // Both sides send one keepalive per interval while the tunnel is otherwise idle.
  for (Peer& peer : adapter.peers) {
    if (!peer.session || peer.keepalive == 0) continue;
    const auto due = static_cast<std::uint64_t>((now - adapter.session_start) /
                                                std::chrono::seconds(peer.keepalive));
    peer.tx += (due - peer.keepalives) * kKeepaliveBytes;
    peer.rx += (due - peer.keepalives) * kKeepaliveBytes;
    peer.keepalives = due;
  }
}

// Parses a configuration as the driver would, refusing what it could not apply: structures and
// counts beyond the given size, unknown flags, a nonzero reserved field, a peer without public
// key, an endpoint of another family or without port, an invalid allowed IP. On success
// `adapter` holds the new configuration; on failure it is unchanged and the reason is returned.
std::string apply_configuration(Adapter& adapter, const std::uint8_t* buffer, std::uint32_t size) {
  if (buffer == nullptr || size < kInterfaceSize) return "too small for the interface";
  const auto flags = get_le<std::uint32_t>(buffer);
  if ((flags & ~kKnownInterfaceFlags) != 0) return "unknown interface flags";
  const auto peer_count = get_le<std::uint32_t>(buffer + 72);
  std::size_t cursor = kInterfaceSize;
  std::vector<Peer> peers;
  for (std::uint32_t p = 0; p < peer_count; ++p) {
    if (size - cursor < kPeerSize) return "peer runs past the end";
    const std::uint8_t* at = buffer + cursor;
    cursor += kPeerSize;
    Peer peer;
    peer.flags = get_le<std::uint32_t>(at);
    if ((peer.flags & ~kKnownPeerFlags) != 0) return "unknown peer flags";
    if (get_le<std::uint32_t>(at + 4) != 0) return "reserved field not zero";
    if ((peer.flags & kPeerHasPublicKey) == 0) return "peer without public key";
    std::memcpy(peer.public_key.data(), at + 8, 32);
    if (peer.flags & kPeerHasPresharedKey) std::memcpy(peer.preshared_key.data(), at + 40, 32);
    if (peer.flags & kPeerHasKeepalive) peer.keepalive = get_le<std::uint16_t>(at + 72);
    if (peer.flags & kPeerHasEndpoint) {
      Endpoint& endpoint = peer.endpoint;
      endpoint.family = get_le<std::uint16_t>(at + 76);
      if (endpoint.family != kFamilyIpv4 && endpoint.family != kFamilyIpv6) {
        return "endpoint of unknown family";
      }
      endpoint.port = get_be16(at + 78);
      if (endpoint.port == 0) return "endpoint without port";
      if (endpoint.family == kFamilyIpv4) {
        std::memcpy(endpoint.address.data(), at + 80, 4);
      } else {
        std::memcpy(endpoint.flow_info.data(), at + 80, 4);
        std::memcpy(endpoint.address.data(), at + 84, 16);
        std::memcpy(endpoint.scope_id.data(), at + 100, 4);
      }
    }
    peer.flags &= kPeerHasPublicKey | kPeerHasPresharedKey | kPeerHasKeepalive | kPeerHasEndpoint;
    const auto allowed_count = get_le<std::uint32_t>(at + 128);
    for (std::uint32_t a = 0; a < allowed_count; ++a) {
      if (size - cursor < kAllowedIpSize) return "allowed IP runs past the end";
      const std::uint8_t* entry = buffer + cursor;
      cursor += kAllowedIpSize;
      AllowedIp ip;
      ip.family = get_le<std::uint16_t>(entry + 16);
      ip.cidr = entry[18];
      if (ip.family == kFamilyIpv4 ? ip.cidr > 32 : ip.family != kFamilyIpv6 || ip.cidr > 128) {
        return "allowed IP invalid";
      }
      std::memcpy(ip.address.data(), entry, ip.family == kFamilyIpv4 ? 4 : 16);
      peer.allowed_ips.push_back(ip);
    }
    peers.push_back(std::move(peer));
  }

  if (flags & kInterfaceHasPrivateKey) {
    adapter.has_private_key = true;
    std::memcpy(adapter.private_key.data(), buffer + 6, 32);
  }
  if (flags & kInterfaceReplacePeers) adapter.peers.clear();
  for (Peer& peer : peers) {
    auto same = std::find_if(adapter.peers.begin(), adapter.peers.end(),
                             [&](const Peer& old) { return old.public_key == peer.public_key; });
    if (same == adapter.peers.end()) {
      adapter.peers.push_back(std::move(peer));
    } else {
      // An update keeps the peer's statistics, as the driver keeps a live session.
      peer.tx = same->tx;
      peer.rx = same->rx;
      peer.last_handshake = same->last_handshake;
      peer.session = same->session;
      peer.keepalives = same->keepalives;
      *same = std::move(peer);
    }
  }
  // New peers need their own handshake.
  if (adapter.up) {
    adapter.handshake_pending = true;
    adapter.up_since = Clock::now();
  }
  return {};
}

// The configuration in the driver's layout, with the read anomaly applied.
std::vector<std::uint8_t> render(const Adapter& adapter, ReadAnomaly anomaly) {
  const bool no_peers = anomaly == ReadAnomaly::kZeroPeers;
  std::size_t size = kInterfaceSize;
  if (!no_peers) {
    for (const Peer& peer : adapter.peers)
      size += kPeerSize + kAllowedIpSize * peer.allowed_ips.size();
  }
  std::vector<std::uint8_t> out(size, 0);
  put_le<std::uint32_t>(out.data(), adapter.has_private_key ? kInterfaceHasPrivateKey : 0);
  std::memcpy(out.data() + 6, adapter.private_key.data(), 32);
  if (no_peers) return out;
  put_le<std::uint32_t>(out.data() + 72, static_cast<std::uint32_t>(adapter.peers.size()));
  std::size_t cursor = kInterfaceSize;
  bool first_allowed_ip = true;
  for (const Peer& peer : adapter.peers) {
    std::uint8_t* at = out.data() + cursor;
    put_le<std::uint32_t>(at, peer.flags);
    std::memcpy(at + 8, peer.public_key.data(), 32);
    std::memcpy(at + 40, peer.preshared_key.data(), 32);
    put_le<std::uint16_t>(at + 72, peer.keepalive);
    const Endpoint& endpoint = peer.endpoint;
    put_le<std::uint16_t>(at + 76, endpoint.family);
    at[78] = static_cast<std::uint8_t>(endpoint.port >> 8);
    at[79] = static_cast<std::uint8_t>(endpoint.port);
    if (endpoint.family == kFamilyIpv4) {
      std::memcpy(at + 80, endpoint.address.data(), 4);
    } else if (endpoint.family == kFamilyIpv6) {
      std::memcpy(at + 80, endpoint.flow_info.data(), 4);
      std::memcpy(at + 84, endpoint.address.data(), 16);
      std::memcpy(at + 100, endpoint.scope_id.data(), 4);
    }
    if (anomaly == ReadAnomaly::kEndpointFamilyZero && cursor == kInterfaceSize) {
      put_le<std::uint16_t>(at + 76, 0);
    }
    put_le<std::uint64_t>(at + 104, peer.tx);
    put_le<std::uint64_t>(at + 112, peer.rx);
    put_le<std::uint64_t>(at + 120, peer.last_handshake);
    put_le<std::uint32_t>(at + 128, static_cast<std::uint32_t>(peer.allowed_ips.size()));
    cursor += kPeerSize;
    for (const AllowedIp& ip : peer.allowed_ips) {
      std::uint8_t* entry = out.data() + cursor;
      std::memcpy(entry, ip.address.data(), 16);
      put_le<std::uint16_t>(entry + 16, ip.family);
      entry[18] = ip.cidr;
      if (anomaly == ReadAnomaly::kIpv4Cidr33 && first_allowed_ip) {
        put_le<std::uint16_t>(entry + 16, kFamilyIpv4);
        entry[18] = 33;
      }
      first_allowed_ip = false;
      cursor += kAllowedIpSize;
    }
  }
  return out;
}

abi::Bool set_state(abi::AdapterHandle handle, abi::AdapterState requested) {
  Call call("SetAdapterState");
  Adapter* adapter = call.adapter(handle);
  call.note("state", std::to_string(requested));
  if (adapter == nullptr) return 0;
  const bool up = requested == abi::kAdapterStateUp;
  std::uint32_t error = 0;
  if (requested != abi::kAdapterStateUp && requested != abi::kAdapterStateDown) {
    error = kErrorInvalidParameter;
  } else if ((up && call.faulty(Fault::kSetStateUp)) ||
             (!up && call.faulty(Fault::kSetStateDown))) {
    error = kErrorGenFailure;
  }
  if (error != 0) {
    call.note("result", "0");
    call.set_error(error);
    return 0;
  }
  advance(*adapter);
  if (up && !adapter->up) {
    adapter->up_since = Clock::now();
    adapter->handshake_pending = true;
  }
  if (!up) {
    adapter->handshake_pending = false;
    for (Peer& peer : adapter->peers) peer.session = false;
  }
  adapter->up = up;
  if (up) call.note("server", server_note(*adapter));
  call.note("result", "1");
  return 1;
}

}  // namespace

void set_scenario(const Scenario& scenario) {
  std::lock_guard lock(state().mutex);
  state().scenario = scenario;
}

void reset() {
  std::lock_guard lock(state().mutex);
  State& s = state();
  s.scenario = Scenario{};
  s.adapters.clear();
  s.handles.clear();
  s.journal.clear();
  s.reads = 0;
}

std::vector<JournalEntry> journal() {
  std::lock_guard lock(state().mutex);
  return {state().journal.begin(), state().journal.end()};
}

std::size_t open_handle_count() {
  std::lock_guard lock(state().mutex);
  return state().handles.size();
}

std::size_t logger_registrations() {
  std::lock_guard lock(state().mutex);
  return state().logger_registrations;
}

void log_to_registered_logger(const char16_t* message) {
  abi::LoggerCallback logger = nullptr;
  {
    std::lock_guard lock(state().mutex);
    logger = state().logger;
  }
  if (logger != nullptr) logger(abi::kLogInfo, platform::system_time_now(), message);
}

void use_directory(std::string directory) {
  std::lock_guard lock(state().mutex);
  state().directory = std::filesystem::path(directory);
}

void library_attached() {
  Call call("Attach");
  // The mode the loader call runs under, before the scenario changes it.
  call.note("error_mode", std::to_string(platform::thread_error_mode()));
  if (const auto mode = state().scenario.attach_error_mode) platform::set_thread_error_mode(*mode);
  if (state().scenario.attach_read_only_stderr) platform::make_standard_error_read_only();
}

}  // namespace kesta::wgsim

using namespace kesta::wgsim;

extern "C" {

abi::AdapterHandle KESTA_WG_CALL WireGuardCreateAdapter(const char16_t* name,
                                                        const char16_t* tunnel_type,
                                                        const abi::Guid* requested_guid) {
  Call call("CreateAdapter");
  const std::u16string wide_name = name != nullptr ? name : u"";
  const std::u16string wide_type = tunnel_type != nullptr ? tunnel_type : u"";
  call.note("name", utf8(wide_name));
  call.note("type", utf8(wide_type));
  call.note("guid", requested_guid != nullptr ? hex(requested_guid->bytes, 16) : "null");
  std::uint32_t error = 0;
  if (call.faulty(Fault::kCreateAdapter)) {
    error = kErrorGenFailure;
  } else if (wide_name.empty() || wide_name.size() >= 128 || wide_type.empty()) {
    error = kErrorInvalidParameter;
  } else if (state().adapters.contains(wide_name)) {
    error = kErrorAlreadyExists;
  }
  if (error != 0) {
    call.note("result", "null");
    call.set_error(error);
    return nullptr;
  }
  Adapter& adapter = state().adapters[wide_name];
  adapter.tunnel_type = wide_type;
  if (requested_guid != nullptr) adapter.guid = *requested_guid;
  adapter.luid = fresh_luid();
  log_event(u"Created adapter");
  return new_handle(call, wide_name);
}

abi::AdapterHandle KESTA_WG_CALL WireGuardOpenAdapter(const char16_t* name) {
  Call call("OpenAdapter");
  const std::u16string wide_name = name != nullptr ? name : u"";
  call.note("name", utf8(wide_name));
  if (call.faulty(Fault::kOpenAdapter) || !state().adapters.contains(wide_name)) {
    call.note("result", "null");
    call.set_error(kErrorFileNotFound);
    return nullptr;
  }
  return new_handle(call, wide_name);
}

void KESTA_WG_CALL WireGuardCloseAdapter(abi::AdapterHandle handle) {
  Call call("CloseAdapter");
  if (handle == nullptr) return;
  if (call.adapter(handle) == nullptr) return;
  State& s = state();
  const auto id = reinterpret_cast<std::uintptr_t>(handle);
  const std::u16string name = s.handles.at(id);
  s.handles.erase(id);
  const bool still_open = std::any_of(s.handles.begin(), s.handles.end(),
                                      [&](const auto& entry) { return entry.second == name; });
  // An adapter created by the process goes away with its last handle.
  if (!still_open && !s.adapters.at(name).persistent) s.adapters.erase(name);
  call.note("open", std::to_string(s.handles.size()));
}

void KESTA_WG_CALL WireGuardGetAdapterLUID(abi::AdapterHandle handle, std::uint64_t* luid) {
  Call call("GetAdapterLUID");
  Adapter* adapter = call.adapter(handle);
  if (adapter == nullptr || luid == nullptr) return;
  *luid = adapter->luid;
  call.note("luid", std::to_string(adapter->luid));
}

std::uint32_t KESTA_WG_CALL WireGuardGetRunningDriverVersion() {
  Call call("GetRunningDriverVersion");
  return 0x0001'0000;
}

abi::Bool KESTA_WG_CALL WireGuardDeleteDriver() {
  Call call("DeleteDriver");
  return 1;
}

void KESTA_WG_CALL WireGuardSetLogger(abi::LoggerCallback logger) {
  Call call("SetLogger");
  state().logger = logger;
  ++state().logger_registrations;
  call.note("logger", logger != nullptr ? "set" : "null");
  call.note("registrations", std::to_string(state().logger_registrations));
}

abi::Bool KESTA_WG_CALL WireGuardSetAdapterLogging(abi::AdapterHandle handle,
                                                   abi::AdapterLogState log_state) {
  Call call("SetAdapterLogging");
  call.note("state", std::to_string(log_state));
  if (call.adapter(handle) == nullptr) return 0;
  if (log_state != abi::kAdapterLogOff && log_state != abi::kAdapterLogOn) {
    call.set_error(kErrorInvalidParameter);
    return 0;
  }
  return 1;
}

abi::Bool KESTA_WG_CALL WireGuardGetAdapterState(abi::AdapterHandle handle,
                                                 abi::AdapterState* adapter_state) {
  Call call("GetAdapterState");
  Adapter* adapter = call.adapter(handle);
  if (adapter == nullptr) return 0;
  if (adapter_state == nullptr) {
    call.set_error(kErrorInvalidParameter);
    return 0;
  }
  *adapter_state = adapter->up ? abi::kAdapterStateUp : abi::kAdapterStateDown;
  return 1;
}

abi::Bool KESTA_WG_CALL WireGuardSetAdapterState(abi::AdapterHandle handle,
                                                 abi::AdapterState adapter_state) {
  return set_state(handle, adapter_state);
}

abi::Bool KESTA_WG_CALL WireGuardGetConfiguration(abi::AdapterHandle handle, void* config,
                                                  std::uint32_t* bytes) {
  Call call("GetConfiguration");
  Adapter* adapter = call.adapter(handle);
  call.note("buffer", config != nullptr ? "given" : "null");
  if (adapter == nullptr) return 0;
  if (bytes == nullptr) {
    call.set_error(kErrorInvalidParameter);
    return 0;
  }
  call.note("size_in", std::to_string(*bytes));
  State& s = state();
  if (config == nullptr) ++s.reads;
  const ReadAnomaly anomaly =
      s.reads > s.scenario.anomaly_after_reads ? s.scenario.read_anomaly : ReadAnomaly::kNone;
  if (anomaly != ReadAnomaly::kNone) {
    call.note("anomaly", std::string(anomaly_name(anomaly)));
  }
  advance(*adapter);
  const std::vector<std::uint8_t> image = render(*adapter, anomaly);
  const auto needed = static_cast<std::uint32_t>(image.size());

  auto answer = [&](abi::Bool result, std::uint32_t size, std::uint32_t error) {
    *bytes = size;
    call.note("size_out", std::to_string(size));
    call.note("result", std::to_string(result));
    if (error != 0) {
      call.note("error", std::to_string(error));
      call.set_error(error);
    }
    return result;
  };

  if (config != nullptr && anomaly == ReadAnomaly::kSecondCallFails) {
    return answer(0, *bytes, kErrorGenFailure);
  }
  if (config != nullptr && anomaly == ReadAnomaly::kSizeTooSmall) {
    const std::uint32_t written = std::min(*bytes, needed);
    std::memcpy(config, image.data(), written);
    return answer(1, written, 0);
  }
  if (config == nullptr || *bytes < needed) {
    switch (anomaly) {
      case ReadAnomaly::kSizeQueryTrue:
        return answer(1, needed, 0);
      case ReadAnomaly::kWrongLastError:
        return answer(0, needed, kErrorInvalidParameter);
      case ReadAnomaly::kZeroSize:
        return answer(0, 0, abi::kErrorMoreData);
      case ReadAnomaly::kSizeTooSmall:
        return answer(0, static_cast<std::uint32_t>(kInterfaceSize), abi::kErrorMoreData);
      default:
        return answer(0, needed, abi::kErrorMoreData);
    }
  }
  std::memcpy(config, image.data(), needed);
  return answer(1, needed, 0);
}

abi::Bool KESTA_WG_CALL WireGuardSetConfiguration(abi::AdapterHandle handle, const void* config,
                                                  std::uint32_t bytes) {
  Call call("SetConfiguration");
  Adapter* adapter = call.adapter(handle);
  const auto* buffer = static_cast<const std::uint8_t*>(config);
  call.note("size", std::to_string(bytes));
  if (buffer != nullptr) call.note("bytes", hex(buffer, bytes));
  if (adapter == nullptr) return 0;
  if (call.faulty(Fault::kSetConfiguration)) {
    call.note("result", "0");
    call.set_error(kErrorGenFailure);
    return 0;
  }
  advance(*adapter);
  if (std::string reason = apply_configuration(*adapter, buffer, bytes); !reason.empty()) {
    call.note("result", "0");
    call.note("refused", reason);
    call.set_error(kErrorInvalidParameter);
    return 0;
  }
  if (adapter->up) call.note("server", server_note(*adapter));
  call.note("result", "1");
  return 1;
}

}  // extern "C"
