// A stand-in for the seven IP Helper functions the service calls, for Wine, whose own
// iphlpapi.dll does not implement them. It refuses what the platform refuses (a LUID that is
// zero or not a WireGuard adapter's, an unknown family, an interface row with a site prefix
// length), keeps what it is given (a Get returns what a Set stored; addresses keyed by
// interface and address, routes by interface, destination and next hop), answers with the
// result codes a scenario file beside the DLL configures, and journals every call with every
// field of the row it saw to a file beside the DLL.

// Order matters: winsock2 before ws2ipdef, both before the IP Helper headers.
#include <winsock2.h>

#include <ws2ipdef.h>

#include <iphlpapi.h>
#include <netioapi.h>

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <mutex>
#include <sstream>
#include <string>
#include <tuple>
#include <vector>

namespace {

constexpr const char* kScenarioFileName = "iphlpapi_sim.scenario";
constexpr const char* kJournalFileName = "iphlpapi_sim.journal";

// WireGuard adapters are virtual interfaces (IF_TYPE_PROP_VIRTUAL); the type sits in the top
// 16 bits of a NET_LUID.
constexpr ULONG64 kWireGuardInterfaceType = 53;

std::filesystem::path library_directory() {
  HMODULE self = nullptr;
  if (!GetModuleHandleExW(
          GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
          reinterpret_cast<LPCWSTR>(&library_directory), &self)) {
    return {};
  }
  wchar_t path[MAX_PATH];
  const DWORD length = GetModuleFileNameW(self, path, MAX_PATH);
  if (length == 0 || length == MAX_PATH) return {};
  return std::filesystem::path(std::wstring(path, length)).parent_path();
}

std::string address_text(const SOCKADDR_INET& address) {
  char text[64];
  if (address.si_family == AF_INET) {
    const auto* b = reinterpret_cast<const unsigned char*>(&address.Ipv4.sin_addr);
    std::snprintf(text, sizeof text, "%u.%u.%u.%u", b[0], b[1], b[2], b[3]);
    return text;
  }
  const auto* b = reinterpret_cast<const unsigned char*>(&address.Ipv6.sin6_addr);
  std::string out;
  for (int i = 0; i < 16; i += 2) {
    std::snprintf(text, sizeof text, "%s%x", i == 0 ? "" : ":", (b[i] << 8) | b[i + 1]);
    out += text;
  }
  return out;
}

bool known_family(ADDRESS_FAMILY family) {
  return family == AF_INET || family == AF_INET6;
}

// The platform's answer for a row naming `luid`: 0 when it names an interface that exists
// here, i.e. a WireGuard adapter's.
DWORD interface_check(const NET_LUID& luid) {
  if (luid.Value == 0) return ERROR_INVALID_PARAMETER;
  if (luid.Info.IfType != kWireGuardInterfaceType) return ERROR_NOT_FOUND;
  return NO_ERROR;
}

// The family and address bytes of a socket address of a known family.
std::string address_key(const SOCKADDR_INET& address) {
  const bool v4 = address.si_family == AF_INET;
  const char* bytes = v4 ? reinterpret_cast<const char*>(&address.Ipv4.sin_addr)
                         : reinterpret_cast<const char*>(&address.Ipv6.sin6_addr);
  return std::to_string(address.si_family) + ":" + std::string(bytes, v4 ? 4 : 16);
}

// A second create of the same key is refused with ERROR_OBJECT_ALREADY_EXISTS, as the system
// does: a route is one destination prefix through one next hop on one interface, an address
// one address on one interface, whatever its prefix length.
using RouteKey = std::tuple<ULONG64, std::string, int, std::string>;
using AddressKey = std::pair<ULONG64, std::string>;

struct State {
  std::mutex mutex;
  std::filesystem::path directory = library_directory();
  std::map<RouteKey, MIB_IPFORWARD_ROW2> routes;
  std::map<AddressKey, MIB_UNICASTIPADDRESS_ROW> addresses;
  std::map<std::pair<ULONG64, int>, MIB_IPINTERFACE_ROW> interfaces;
};

State& state() {
  static State instance;
  return instance;
}

// The result configured for `function` ("CreateIpForwardEntry2 5"), or 0.
DWORD configured_result(const char* function) {
  std::ifstream in(state().directory / kScenarioFileName);
  std::string name;
  DWORD code = 0;
  while (in >> name >> code) {
    if (name == function) return code;
  }
  return 0;
}

class Call {
 public:
  explicit Call(const char* name) : lock_(state().mutex) { line_ << name; }
  ~Call() {
    std::ofstream out(state().directory / kJournalFileName, std::ios::app | std::ios::binary);
    out << line_.str() << '\n';
  }
  template <class T>
  Call& note(const char* key, const T& value) {
    line_ << ' ' << key << '=' << value;
    return *this;
  }

 private:
  std::lock_guard<std::mutex> lock_;
  std::ostringstream line_;
};

void note_interface(Call& call, const MIB_IPINTERFACE_ROW& row) {
  call.note("luid", row.InterfaceLuid.Value)
      .note("index", row.InterfaceIndex)
      .note("family", row.Family)
      .note("use_automatic_metric", static_cast<int>(row.UseAutomaticMetric))
      .note("metric", row.Metric)
      .note("nl_mtu", row.NlMtu)
      .note("site_prefix_length", row.SitePrefixLength);
}

// Whether a row handed to Set carries, besides the fields the caller means to change, what
// the platform reported for the interface: a caller that skipped the Get, or cleared the row,
// would write back values it never read.
const char* others_text(const MIB_IPINTERFACE_ROW& row, const MIB_IPINTERFACE_ROW* stored) {
  if (stored == nullptr) return "unread";
  MIB_IPINTERFACE_ROW expected = *stored;
  expected.UseAutomaticMetric = row.UseAutomaticMetric;
  expected.Metric = row.Metric;
  expected.NlMtu = row.NlMtu;
  expected.SitePrefixLength = row.SitePrefixLength;
  return std::memcmp(&expected, &row, sizeof row) == 0 ? "as_read" : "changed";
}

// What an interface reports before anyone has changed it.
MIB_IPINTERFACE_ROW fresh_interface(const MIB_IPINTERFACE_ROW& key) {
  MIB_IPINTERFACE_ROW row;
  std::memset(&row, 0, sizeof row);
  row.Family = key.Family;
  row.InterfaceLuid = key.InterfaceLuid;
  row.UseAutomaticMetric = TRUE;
  row.Metric = 25;
  row.NlMtu = 1500;
  row.SitePrefixLength = 64;
  row.Connected = TRUE;
  return row;
}

}  // namespace

extern "C" {

VOID WINAPI InitializeIpForwardEntry(PMIB_IPFORWARD_ROW2 row) {
  Call call("InitializeIpForwardEntry");
  std::memset(row, 0, sizeof *row);
  row->ValidLifetime = 0xFFFFFFFF;
  row->PreferredLifetime = 0xFFFFFFFF;
  row->Metric = 0xFFFFFFFF;
  row->Protocol = static_cast<NL_ROUTE_PROTOCOL>(MIB_IPPROTO_NETMGMT);
  row->Origin = NlroManual;
}

NETIO_STATUS WINAPI CreateIpForwardEntry2(const MIB_IPFORWARD_ROW2* row) {
  Call call("CreateIpForwardEntry2");
  const SOCKADDR_INET& prefix = row->DestinationPrefix.Prefix;
  call.note("luid", row->InterfaceLuid.Value)
      .note("index", row->InterfaceIndex)
      .note("family", prefix.si_family)
      .note("prefix", address_text(prefix))
      .note("prefix_length", static_cast<int>(row->DestinationPrefix.PrefixLength))
      .note("next_hop_family", row->NextHop.si_family)
      .note("next_hop", address_text(row->NextHop))
      .note("site_prefix_length", static_cast<int>(row->SitePrefixLength))
      .note("valid_lifetime", row->ValidLifetime)
      .note("preferred_lifetime", row->PreferredLifetime)
      .note("metric", row->Metric)
      .note("protocol", static_cast<int>(row->Protocol))
      .note("loopback", static_cast<int>(row->Loopback))
      .note("autoconfigure_address", static_cast<int>(row->AutoconfigureAddress))
      .note("publish", static_cast<int>(row->Publish))
      .note("immortal", static_cast<int>(row->Immortal))
      .note("age", row->Age)
      .note("origin", static_cast<int>(row->Origin));
  DWORD result = configured_result("CreateIpForwardEntry2");
  if (result == NO_ERROR) result = interface_check(row->InterfaceLuid);
  // The next hop is of the prefix's family, or left unspecified.
  if (result == NO_ERROR &&
      (!known_family(prefix.si_family) ||
       (row->NextHop.si_family != AF_UNSPEC && row->NextHop.si_family != prefix.si_family))) {
    result = ERROR_INVALID_PARAMETER;
  }
  if (result == NO_ERROR) {
    SOCKADDR_INET next_hop = row->NextHop;
    next_hop.si_family = prefix.si_family;
    const RouteKey key{row->InterfaceLuid.Value, address_key(prefix),
                       row->DestinationPrefix.PrefixLength, address_key(next_hop)};
    if (!state().routes.try_emplace(key, *row).second) result = ERROR_OBJECT_ALREADY_EXISTS;
  }
  call.note("result", result);
  return result;
}

VOID WINAPI InitializeUnicastIpAddressEntry(PMIB_UNICASTIPADDRESS_ROW row) {
  Call call("InitializeUnicastIpAddressEntry");
  std::memset(row, 0, sizeof *row);
  row->PrefixOrigin = IpPrefixOriginManual;
  row->SuffixOrigin = IpSuffixOriginManual;
  row->ValidLifetime = 0xFFFFFFFF;
  row->PreferredLifetime = 0xFFFFFFFF;
  row->OnLinkPrefixLength = 0xFF;
}

NETIO_STATUS WINAPI CreateUnicastIpAddressEntry(const MIB_UNICASTIPADDRESS_ROW* row) {
  Call call("CreateUnicastIpAddressEntry");
  call.note("luid", row->InterfaceLuid.Value)
      .note("index", row->InterfaceIndex)
      .note("family", row->Address.si_family)
      .note("address", address_text(row->Address))
      .note("prefix_length", static_cast<int>(row->OnLinkPrefixLength))
      .note("prefix_origin", static_cast<int>(row->PrefixOrigin))
      .note("suffix_origin", static_cast<int>(row->SuffixOrigin))
      .note("valid_lifetime", row->ValidLifetime)
      .note("preferred_lifetime", row->PreferredLifetime)
      .note("skip_as_source", static_cast<int>(row->SkipAsSource))
      .note("dad_state", static_cast<int>(row->DadState))
      .note("scope_id", row->ScopeId.Value);
  DWORD result = configured_result("CreateUnicastIpAddressEntry");
  if (result == NO_ERROR) result = interface_check(row->InterfaceLuid);
  if (result == NO_ERROR && !known_family(row->Address.si_family)) {
    result = ERROR_INVALID_PARAMETER;
  }
  if (result == NO_ERROR) {
    const AddressKey key{row->InterfaceLuid.Value, address_key(row->Address)};
    if (!state().addresses.try_emplace(key, *row).second) result = ERROR_OBJECT_ALREADY_EXISTS;
  }
  call.note("result", result);
  return result;
}

VOID WINAPI InitializeIpInterfaceEntry(PMIB_IPINTERFACE_ROW row) {
  Call call("InitializeIpInterfaceEntry");
  // Unset fields read as "leave unchanged", as the system's initialiser marks them.
  std::memset(row, 0xFF, sizeof *row);
  row->Family = AF_UNSPEC;
  row->InterfaceLuid.Value = 0;
  row->InterfaceIndex = 0;
}

NETIO_STATUS WINAPI GetIpInterfaceEntry(PMIB_IPINTERFACE_ROW row) {
  Call call("GetIpInterfaceEntry");
  call.note("key_luid", row->InterfaceLuid.Value).note("key_family", row->Family);
  DWORD result = configured_result("GetIpInterfaceEntry");
  if (result == NO_ERROR) result = interface_check(row->InterfaceLuid);
  if (result == NO_ERROR && !known_family(row->Family)) result = ERROR_INVALID_PARAMETER;
  if (result == NO_ERROR) {
    const auto key = std::make_pair(row->InterfaceLuid.Value, static_cast<int>(row->Family));
    auto found = state().interfaces.try_emplace(key, fresh_interface(*row)).first;
    *row = found->second;
    note_interface(call, *row);
  }
  call.note("result", result);
  return result;
}

NETIO_STATUS WINAPI SetIpInterfaceEntry(PMIB_IPINTERFACE_ROW row) {
  Call call("SetIpInterfaceEntry");
  note_interface(call, *row);
  const auto key = std::make_pair(row->InterfaceLuid.Value, static_cast<int>(row->Family));
  const auto stored = state().interfaces.find(key);
  call.note("others",
            others_text(*row, stored != state().interfaces.end() ? &stored->second : nullptr));
  DWORD result = configured_result("SetIpInterfaceEntry");
  if (result == NO_ERROR) result = interface_check(row->InterfaceLuid);
  // Get reports a site prefix length, but the platform refuses a row that sets one, so a
  // caller must clear it.
  if (result == NO_ERROR && (!known_family(row->Family) || row->SitePrefixLength != 0)) {
    result = ERROR_INVALID_PARAMETER;
  }
  if (result == NO_ERROR) state().interfaces[key] = *row;
  call.note("result", result);
  return result;
}

}  // extern "C"
