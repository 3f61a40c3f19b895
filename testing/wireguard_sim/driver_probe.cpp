// A small program that drives the production driver binding from a folder of its own, so
// that Windows tests can choose which wireguard.dll and iphlpapi.dll sit beside it and watch
// a separate process use them, as the service will. It writes what it saw to probe.out beside
// itself and exits with 0 when the command ran, 1 when it failed.
//
//   driver_probe load [MODE]  load the driver library; with MODE, first set the thread's
//                             error mode to MODE and report the mode after the load
//   driver_probe tunnel     acquire, configure, switch up and wait up to 1 s for a handshake
//   driver_probe read       acquire, configure and read the configuration back
//   driver_probe ip LUID [N]  routes, address, metric and MTU for LUID through IP Helper,
//                             N times in a row (default 1)

// Order matters: winsock2 before ws2ipdef, both before the IP Helper headers.
#include <winsock2.h>

#include <ws2ipdef.h>

#include <iphlpapi.h>
#include <netioapi.h>

#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <optional>
#include <string>
#include <thread>

#include "driver/adapter.h"
#include "driver/ip_config.h"
#include "driver/wireguard_library.h"

namespace {

using namespace kesta::driver;

std::ofstream out;

std::filesystem::path own_directory() {
  wchar_t path[MAX_PATH];
  const DWORD length = GetModuleFileNameW(nullptr, path, MAX_PATH);
  return std::filesystem::path(std::wstring(path, length)).parent_path();
}

InterfaceConfig tunnel_config() {
  PeerConfig peer;
  peer.public_key = Key{1};
  peer.preshared_key = Key{2};
  peer.persistent_keepalive = 15;
  peer.endpoint = Ipv4Endpoint{{192, 0, 2, 7}, 51820};
  peer.allowed_ips = {IpPrefix::ipv4({0, 0, 0, 0}, 0)};
  return InterfaceConfig{Key{3}, {peer}};
}

int fail(const kesta::Error& error) {
  out << "error: " << error.message() << "\n";
  return 1;
}

int load(std::optional<DWORD> error_mode) {
  if (error_mode) SetThreadErrorMode(*error_mode, nullptr);
  auto library = load_wireguard_library();
  if (error_mode) out << "error mode after: " << GetThreadErrorMode() << "\n";
  if (!library) {
    out << "error: " << library.error().error().report() << "\n";
    out << "module: " << (GetModuleHandleW(L"wireguard") != nullptr ? "loaded" : "unloaded")
        << "\n";
    return 1;
  }
  out << "loaded\n";
  return 0;
}

int adapter_command(bool wait_for_handshake) {
  auto library = load_wireguard_library();
  if (!library) return fail(library.error().error());
  auto adapter = acquire_service_adapter(*library);
  if (!adapter) return fail(adapter.error());
  if (auto set = adapter->set_configuration(tunnel_config()); !set) return fail(set.error());
  if (!wait_for_handshake) {
    auto state = adapter->get_configuration();
    if (!state) return fail(state.error());
    out << "peers: " << state->peers.size() << "\n";
    return 0;
  }
  adapter->set_state(abi::kAdapterStateDown);
  auto baseline = adapter->get_configuration();
  if (!baseline) return fail(baseline.error());
  if (!adapter->set_state(abi::kAdapterStateUp)) {
    return fail(kesta::Error("Failed to bring up adapter"));
  }
  const auto start = std::chrono::steady_clock::now();
  while (std::chrono::steady_clock::now() - start < std::chrono::seconds(1)) {
    auto now = adapter->get_configuration();
    if (!now) return fail(now.error());
    const PeerState& before = baseline->peers.at(0);
    const PeerState& peer = now->peers.at(0);
    if (peer.last_handshake != before.last_handshake && peer.rx_bytes != before.rx_bytes) {
      out << "handshake: " << peer.last_handshake->intervals << " rx: " << peer.rx_bytes
          << " tx: " << peer.tx_bytes << "\n";
      return 0;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  out << "handshake: none\n";
  return 0;
}

int ip(std::uint64_t luid, int times) {
  SystemIpConfigurator configurator;
  for (int i = 0; i < times; ++i) {
    auto result = configurator.set_routes_and_interface(luid, IpPrefix::ipv4({10, 0, 0, 2}, 32),
                                                        tunnel_config());
    if (!result) return fail(result.error());
  }
  MIB_IPINTERFACE_ROW row;
  std::memset(&row, 0, sizeof row);
  InitializeIpInterfaceEntry(&row);
  row.Family = AF_INET;
  row.InterfaceLuid.Value = luid;
  const DWORD status = GetIpInterfaceEntry(&row);
  out << "interface: " << status
      << " automatic_metric: " << static_cast<int>(row.UseAutomaticMetric)
      << " metric: " << row.Metric << " mtu: " << row.NlMtu << "\n";
  return 0;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  out.open(own_directory() / "probe.out", std::ios::binary | std::ios::trunc);
  const std::wstring command = argc > 1 ? argv[1] : L"";
  if (command == L"load") {
    return load(argc > 2 ? std::optional<DWORD>(std::stoul(argv[2])) : std::nullopt);
  }
  if (command == L"tunnel") return adapter_command(true);
  if (command == L"read") return adapter_command(false);
  if (command == L"ip" && argc > 2)
    return ip(std::stoull(argv[2]), argc > 3 ? std::stoi(argv[3]) : 1);
  out << "usage: driver_probe load [MODE]|tunnel|read|ip LUID [N]\n";
  return 2;
}
