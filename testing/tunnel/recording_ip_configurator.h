#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "driver/ip_config.h"

namespace kesta::testing {

// Stands in for IP Helper off Windows: keeps what it was asked to do and fails when told to.
class RecordingIpConfigurator final : public driver::IpConfigurator {
 public:
  struct Call {
    std::uint64_t luid = 0;
    driver::IpPrefix address;
    driver::InterfaceConfig config;
  };

  Result<> set_routes_and_interface(std::uint64_t luid, const driver::IpPrefix& address,
                                    const driver::InterfaceConfig& config) override;

  std::vector<Call> calls;
  std::optional<std::string> error;  // the text every call fails with, when set
};

}  // namespace kesta::testing
