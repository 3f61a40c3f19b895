#include "tunnel/connect.h"

#include <string>
#include <utility>

#include "tunnel/handshake_wait.h"
#include "tunnel/interface_info.h"

namespace kesta::tunnel {
namespace {

using driver::abi::kAdapterStateDown;
using driver::abi::kAdapterStateUp;

using service::Answer;
using service::Delivery;

// Answered quietly; the adapter is closed once the answer has gone out.
Answer fail_to_connect(driver::Adapter adapter, const std::string& reason) {
  Answer answer = Answer::failure("Failed to connect: " + reason, Delivery::kQuiet);
  answer.after = [failed = std::optional(std::move(adapter))]() mutable { failed.reset(); };
  return answer;
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

Answer connect_tunnel(const driver::WireGuardLibraryRef& library,
                      driver::IpConfigurator& ip_configurator, WaitClock& clock,
                      std::optional<driver::Adapter>& current, const protocol::Config& config) {
  if (std::optional<driver::Adapter> old = std::exchange(current, std::nullopt)) {
    // The old tunnel is being replaced whatever happens next; a refusal changes nothing.
    old->set_state(kAdapterStateDown);
  }

  auto adapter = set_up_adapter(library, ip_configurator, config);
  if (!adapter) {
    return Answer::failure("Failed to create adapter: " + adapter.error().message(),
                           Delivery::kQuiet);
  }

  // Down first, so that the baseline is taken before this session can have any traffic.
  adapter->set_state(kAdapterStateDown);
  const auto baseline = read_interface_info(*adapter);
  if (!baseline) return fail_to_connect(std::move(*adapter), baseline.error().message());
  if (!adapter->set_state(kAdapterStateUp)) {
    return fail_to_connect(std::move(*adapter), "Failed to bring up adapter");
  }

  const auto waited = wait_for_handshake(*adapter, *baseline, clock);
  if (!waited) return fail_to_connect(std::move(*adapter), waited.error().message());
  if (*waited == HandshakeWait::kTimedOut) {
    // Leave no half-open tunnel sending initiations at a server that does not answer.
    adapter->set_state(kAdapterStateDown);
    return fail_to_connect(std::move(*adapter), "Failed to connect to server");
  }

  // A fresh read, so the client sees the counters as they are after the handshake.
  const auto info = read_interface_info(*adapter);
  if (!info) {
    // Answered with logging; switched down and closed once the answer has gone out.
    Answer answer = Answer::failure("Failed to get interface info: " + info.error().message(),
                                    Delivery::kLogged);
    answer.after = [failed = std::optional(std::move(*adapter))]() mutable {
      failed->set_state(kAdapterStateDown);
      failed.reset();
    };
    return answer;
  }
  // The tunnel is up even if the client has gone away, so it is kept whatever the send did.
  Answer answer{protocol::Connected{*info}};
  answer.after = [&current, connected = std::move(*adapter)]() mutable {
    current = std::move(connected);
  };
  return answer;
}

}  // namespace kesta::tunnel
