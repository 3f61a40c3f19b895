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

void TunnelHandlers::connect(const protocol::Config& config, service::Connection& connection,
                             service::Log& log) {
  connect_tunnel(connection, log, library_, *ip_configurator_, *clock_, current_, config);
}

void TunnelHandlers::disconnect(service::Connection& connection, service::Log& log) {
  disconnect_tunnel(connection, log, current_ ? &*current_ : nullptr);
}

void TunnelHandlers::info(service::Connection& connection, service::Log& log) {
  report_info(connection, log, current_ ? &*current_ : nullptr);
}

}  // namespace kesta::tunnel
