#include "tunnel/tunnel_handlers.h"

#include <utility>

namespace kesta::tunnel {

std::unique_ptr<TunnelHandlers> make_system_tunnel_handlers(driver::WireGuardLibraryRef library) {
  return std::make_unique<TunnelHandlers>(std::move(library),
                                          std::make_unique<driver::SystemIpConfigurator>(),
                                          std::make_unique<SteadyWaitClock>());
}

}  // namespace kesta::tunnel
