#pragma once

#include <cstdint>
#include <optional>

#include "core/error.h"
#include "driver/adapter.h"
#include "driver/ip_config.h"
#include "driver/wireguard_library.h"
#include "protocol/messages.h"
#include "service/answer.h"
#include "tunnel/wait_clock.h"

namespace kesta::tunnel {

inline constexpr std::uint16_t kPersistentKeepalive = 15;
inline constexpr std::uint8_t kClientPrefixLength = 32;

// The interface written for a Connect: our private key and the server as the only peer,
// through which everything (0.0.0.0/0) is routed. The endpoint's url and the client's ports
// play no part.
driver::InterfaceConfig interface_config(const protocol::Config& config);

// Acquires the service's adapter and gives it its configuration, routes, address, metric and
// MTU, leaving its up/down state alone. On failure the adapter is closed and the error's text
// is the reason reported after "Failed to create adapter: ".
Result<driver::Adapter> set_up_adapter(const driver::WireGuardLibraryRef& library,
                                       driver::IpConfigurator& ip_configurator,
                                       const protocol::Config& config);

// Handles Connect: closes the current adapter, sets up a new one, switches it up and waits for
// the first handshake, then answers. The new adapter goes only once the answer has gone out, in
// the answer's after-answer step: a connected one into `current`, a failed one closed (switched
// down first when the final statistics read failed). Every failure leaves `current` empty.
service::Answer connect_tunnel(const driver::WireGuardLibraryRef& library,
                               driver::IpConfigurator& ip_configurator, WaitClock& clock,
                               std::optional<driver::Adapter>& current,
                               const protocol::Config& config);

}  // namespace kesta::tunnel
