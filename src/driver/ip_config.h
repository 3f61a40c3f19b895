#pragma once

#include <cstdint>

#include "core/error.h"
#include "driver/config_buffer.h"

namespace kesta::driver {

inline constexpr std::uint32_t kRouteMetric = 5;
inline constexpr std::uint32_t kInterfaceMetric = 9999;
inline constexpr std::uint32_t kInterfaceMtu = 1420;

// Gives an adapter its routes, address, metric and MTU. The platform does it through IP Helper;
// tests of the code above it substitute their own.
class IpConfigurator {
 public:
  virtual ~IpConfigurator() = default;

  // One route (metric 5) per allowed IP of every peer, then `address`, then interface metric
  // 9999 and MTU 1420. A failure reads "<step> - <system error text> (os error N)".
  virtual Result<> set_routes_and_interface(std::uint64_t luid, const IpPrefix& address,
                                            const InterfaceConfig& config) = 0;
};

#ifdef _WIN32
class SystemIpConfigurator final : public IpConfigurator {
 public:
  Result<> set_routes_and_interface(std::uint64_t luid, const IpPrefix& address,
                                    const InterfaceConfig& config) override;
};
#endif

}  // namespace kesta::driver
