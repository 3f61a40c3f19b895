#include "tunnel/tunnel_handlers.h"

#include <utility>

#include "tunnel/connect.h"
#include "tunnel/status_commands.h"

namespace kesta::tunnel {

TunnelHandlers::TunnelHandlers(driver::WireGuardLibraryRef library,
                               std::unique_ptr<driver::IpConfigurator> ip_configurator,
                               std::unique_ptr<WaitClock> clock)
    : library_(std::move(library)),
      ip_configurator_(std::move(ip_configurator)),
      clock_(std::move(clock)) {}

service::Answer TunnelHandlers::connect(const protocol::Config& config) {
  return connect_tunnel(library_, *ip_configurator_, *clock_, current_, config);
}

service::Answer TunnelHandlers::disconnect() {
  return disconnect_tunnel(current_ ? &*current_ : nullptr);
}

service::Answer TunnelHandlers::info() {
  return report_info(current_ ? &*current_ : nullptr);
}

}  // namespace kesta::tunnel
