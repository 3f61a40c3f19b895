// Order matters: winsock2 before ws2ipdef, both before the IP Helper headers.
#include <winsock2.h>

#include <ws2ipdef.h>

#include <iphlpapi.h>
#include <netioapi.h>

#include <cstring>
#include <string>

#include "driver/ip_config.h"

namespace kesta::driver {
namespace {

constexpr DWORD kAlreadyExists = ERROR_OBJECT_ALREADY_EXISTS;  // 5010

Error step_error(const char* step, DWORD code) {
  return Error(std::string(step) + " - " + system_error_message(code));
}

void set_address(SOCKADDR_INET& out, const IpPrefix& prefix) {
  if (prefix.family == AddressFamily::kIpv4) {
    out.si_family = AF_INET;
    std::memcpy(&out.Ipv4.sin_addr, prefix.address.data(), 4);
  } else {
    out.si_family = AF_INET6;
    std::memcpy(&out.Ipv6.sin6_addr, prefix.address.data(), 16);
  }
}

ADDRESS_FAMILY family_of(const IpPrefix& prefix) {
  return prefix.family == AddressFamily::kIpv4 ? AF_INET : AF_INET6;
}

}  // namespace

Result<> SystemIpConfigurator::set_routes_and_interface(std::uint64_t luid, const IpPrefix& address,
                                                        const InterfaceConfig& config) {
  NET_LUID net_luid;
  net_luid.Value = luid;

  for (const PeerConfig& peer : config.peers) {
    for (const IpPrefix& allowed : peer.allowed_ips) {
      MIB_IPFORWARD_ROW2 route;
      std::memset(&route, 0, sizeof route);
      InitializeIpForwardEntry(&route);
      route.InterfaceLuid = net_luid;
      set_address(route.DestinationPrefix.Prefix, allowed);
      route.DestinationPrefix.PrefixLength = allowed.prefix_length;
      route.NextHop.si_family = family_of(allowed);
      route.Metric = kRouteMetric;
      const DWORD result = CreateIpForwardEntry2(&route);
      if (result != NO_ERROR && result != kAlreadyExists) {
        return std::unexpected(step_error("Failed to set default route", result));
      }
    }
  }

  MIB_IPINTERFACE_ROW ip_interface;
  std::memset(&ip_interface, 0, sizeof ip_interface);
  InitializeIpInterfaceEntry(&ip_interface);
  ip_interface.InterfaceLuid = net_luid;

  MIB_UNICASTIPADDRESS_ROW unicast;
  std::memset(&unicast, 0, sizeof unicast);
  InitializeUnicastIpAddressEntry(&unicast);
  unicast.InterfaceLuid = net_luid;
  set_address(unicast.Address, address);
  unicast.OnLinkPrefixLength = address.prefix_length;
  unicast.DadState = IpDadStatePreferred;
  ip_interface.Family = family_of(address);

  DWORD result = CreateUnicastIpAddressEntry(&unicast);
  if (result != NO_ERROR && result != kAlreadyExists) {
    return std::unexpected(step_error("Failed to set IP interface", result));
  }

  result = GetIpInterfaceEntry(&ip_interface);
  if (result != NO_ERROR) return std::unexpected(step_error("Failed to get IP interface", result));

  ip_interface.UseAutomaticMetric = FALSE;
  ip_interface.Metric = kInterfaceMetric;
  ip_interface.NlMtu = kInterfaceMtu;
  ip_interface.SitePrefixLength = 0;
  result = SetIpInterfaceEntry(&ip_interface);
  if (result != NO_ERROR) {
    return std::unexpected(step_error("Failed to set metric and MTU", result));
  }
  return {};
}

}  // namespace kesta::driver
