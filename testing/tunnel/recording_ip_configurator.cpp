#include "testing/tunnel/recording_ip_configurator.h"

namespace kesta::testing {

Result<> RecordingIpConfigurator::set_routes_and_interface(std::uint64_t luid,
                                                           const driver::IpPrefix& address,
                                                           const driver::InterfaceConfig& config) {
  calls.push_back({luid, address, config});
  if (error) return std::unexpected(Error(*error));
  return {};
}

}  // namespace kesta::testing
