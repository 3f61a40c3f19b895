#include "tunnel/connect.h"

#include <string>
#include <utility>

#include "service/request_loop.h"
#include "tunnel/answer.h"
#include "tunnel/handshake_wait.h"
#include "tunnel/interface_info.h"

namespace kesta::tunnel {
namespace {

using driver::abi::kAdapterStateDown;
using driver::abi::kAdapterStateUp;

// Logged and answered quietly; the caller closes the adapter after the answer has gone out.
void fail_to_connect(service::Connection& connection, service::Log& log,
                     const std::string& reason) {
  answer_failure(connection, log, "Failed to connect: " + reason, Delivery::kQuiet);
}

}  // namespace

driver::InterfaceConfig interface_config(const protocol::Config& config) {
  driver::PeerConfig server;
  server.public_key = config.encryption.server_key;
  server.preshared_key = config.encryption.shared_key;
  server.persistent_keepalive = kPersistentKeepalive;
  server.endpoint = driver::Ipv4Endpoint{config.endpoint.ip, config.endpoint.port};
  server.allowed_ips = {driver::IpPrefix::ipv4({0, 0, 0, 0}, 0)};
  driver::InterfaceConfig interface;
  interface.private_key = config.encryption.client_key;
  interface.peers.push_back(std::move(server));
  return interface;
}

Result<driver::Adapter> set_up_adapter(const driver::WireGuardLibraryRef& library,
                                       driver::IpConfigurator& ip_configurator,
                                       const protocol::Config& config) {
  auto adapter = driver::acquire_service_adapter(library);
  if (!adapter) return std::unexpected(Error("Failed to create adapter", adapter.error()));

  const driver::InterfaceConfig interface = interface_config(config);
  if (auto written = adapter->set_configuration(interface); !written) {
    return std::unexpected(
        Error("Failed to set configuration: " + written.error().message(), written.error()));
  }
  const auto address = driver::IpPrefix::ipv4(config.client.ip, kClientPrefixLength);
  if (auto routed = adapter->set_routes_and_interface(ip_configurator, address, interface);
      !routed) {
    return std::unexpected(
        Error("Failed to set route: " + routed.error().message(), routed.error()));
  }
  return adapter;
}

void connect_tunnel(service::Connection& connection, service::Log& log,
                    const driver::WireGuardLibraryRef& library,
                    driver::IpConfigurator& ip_configurator, WaitClock& clock,
                    std::optional<driver::Adapter>& current, const protocol::Config& config) {
  if (std::optional<driver::Adapter> old = std::exchange(current, std::nullopt)) {
    // The old tunnel is being replaced whatever happens next; a refusal changes nothing.
    old->set_state(kAdapterStateDown);
  }

  auto adapter = set_up_adapter(library, ip_configurator, config);
  if (!adapter) {
    answer_failure(connection, log, "Failed to create adapter: " + adapter.error().message(),
                   Delivery::kQuiet);
    return;
  }

  // Down first, so that the baseline is taken before this session can have any traffic.
  adapter->set_state(kAdapterStateDown);
  const auto baseline = read_interface_info(*adapter);
  if (!baseline) return fail_to_connect(connection, log, baseline.error().message());
  if (!adapter->set_state(kAdapterStateUp)) {
    return fail_to_connect(connection, log, "Failed to bring up adapter");
  }

  const auto waited = wait_for_handshake(*adapter, *baseline, clock);
  if (!waited) return fail_to_connect(connection, log, waited.error().message());
  if (*waited == HandshakeWait::kTimedOut) {
    // Leave no half-open tunnel sending initiations at a server that does not answer.
    adapter->set_state(kAdapterStateDown);
    return fail_to_connect(connection, log, "Failed to connect to server");
  }

  // A fresh read, so the client sees the counters as they are after the handshake.
  const auto info = read_interface_info(*adapter);
  if (!info) {
    answer_failure(connection, log, "Failed to get interface info: " + info.error().message(),
                   Delivery::kLogged);
    adapter->set_state(kAdapterStateDown);
    return;
  }
  // The tunnel is up even if the client has gone away, so it is kept whatever the send did.
  (void)service::send_response(connection, protocol::Connected{*info}, log);
  current = std::move(*adapter);
}

}  // namespace kesta::tunnel
