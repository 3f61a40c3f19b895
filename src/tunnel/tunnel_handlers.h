#pragma once

#include <memory>
#include <optional>

#include "driver/adapter.h"
#include "driver/ip_config.h"
#include "driver/wireguard_library.h"
#include "service/handlers.h"
#include "tunnel/wait_clock.h"

namespace kesta::tunnel {

// The worker's tunnel manager: the driver library, the way to the IP configuration, and the
// current adapter, which lives from one request to the next and is touched by the worker only.
class TunnelHandlers final : public service::CommandHandlers {
 public:
  TunnelHandlers(driver::WireGuardLibraryRef library,
                 std::unique_ptr<driver::IpConfigurator> ip_configurator,
                 std::unique_ptr<WaitClock> clock);

  service::Answer connect(const protocol::Config& config) override;
  service::Answer disconnect() override;
  service::Answer info() override;

  const std::optional<driver::Adapter>& current_adapter() const { return current_; }

 private:
  driver::WireGuardLibraryRef library_;
  std::unique_ptr<driver::IpConfigurator> ip_configurator_;
  std::unique_ptr<WaitClock> clock_;
  std::optional<driver::Adapter> current_;
};

#ifdef _WIN32
// The handlers the service runs: IP Helper for the interface, the monotonic clock for the wait.
std::unique_ptr<TunnelHandlers> make_system_tunnel_handlers(driver::WireGuardLibraryRef library);
#endif

}  // namespace kesta::tunnel
