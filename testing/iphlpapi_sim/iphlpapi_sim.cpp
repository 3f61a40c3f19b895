// A stand-in for the seven IP Helper functions the service calls, for Wine, whose own
// iphlpapi.dll does not implement them. It keeps what it is given (a Get returns what a Set
// stored), answers with the result codes a scenario file beside the DLL configures, and
// journals every call with the row it saw to a file beside the DLL.

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

// Keys are (LUID, family, address bytes, prefix length) so that a second create is refused
// with ERROR_OBJECT_ALREADY_EXISTS, as the system does.
using RowKey = std::tuple<ULONG64, int, std::string, int>;

RowKey key_of(const NET_LUID& luid, const SOCKADDR_INET& address, int prefix_length) {
  const char* bytes = address.si_family == AF_INET
                          ? reinterpret_cast<const char*>(&address.Ipv4.sin_addr)
                          : reinterpret_cast<const char*>(&address.Ipv6.sin6_addr);
  return {luid.Value, address.si_family, std::string(bytes, address.si_family == AF_INET ? 4 : 16),
          prefix_length};
}

struct State {
  std::mutex mutex;
  std::filesystem::path directory = library_directory();
  std::map<RowKey, MIB_IPFORWARD_ROW2> routes;
  std::map<RowKey, MIB_UNICASTIPADDRESS_ROW> addresses;
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
      .note("family", row.Family)
      .note("use_automatic_metric", static_cast<int>(row.UseAutomaticMetric))
      .note("metric", row.Metric)
      .note("nl_mtu", row.NlMtu)
      .note("site_prefix_length", row.SitePrefixLength);
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
      .note("family", prefix.si_family)
      .note("prefix", address_text(prefix))
      .note("prefix_length", static_cast<int>(row->DestinationPrefix.PrefixLength))
      .note("next_hop_family", row->NextHop.si_family)
      .note("next_hop", address_text(row->NextHop))
      .note("metric", row->Metric);
  DWORD result = configured_result("CreateIpForwardEntry2");
  if (result == NO_ERROR) {
    const bool added =
        state()
            .routes
            .try_emplace(key_of(row->InterfaceLuid, prefix, row->DestinationPrefix.PrefixLength),
                         *row)
            .second;
    if (!added) result = ERROR_OBJECT_ALREADY_EXISTS;
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
      .note("family", row->Address.si_family)
      .note("address", address_text(row->Address))
      .note("prefix_length", static_cast<int>(row->OnLinkPrefixLength))
      .note("dad_state", static_cast<int>(row->DadState));
  DWORD result = configured_result("CreateUnicastIpAddressEntry");
  if (result == NO_ERROR) {
    const bool added =
        state()
            .addresses
            .try_emplace(key_of(row->InterfaceLuid, row->Address, row->OnLinkPrefixLength), *row)
            .second;
    if (!added) result = ERROR_OBJECT_ALREADY_EXISTS;
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
  if (result == NO_ERROR && row->Family != AF_INET && row->Family != AF_INET6) {
    result = ERROR_INVALID_PARAMETER;
  }
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
  DWORD result = configured_result("SetIpInterfaceEntry");
  if (result == NO_ERROR) {
    state().interfaces[std::make_pair(row->InterfaceLuid.Value, static_cast<int>(row->Family))] =
        *row;
  }
  call.note("result", result);
  return result;
}

}  // extern "C"
