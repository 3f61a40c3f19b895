#pragma once

#include <cstdint>
#include <string_view>

#include "core/error.h"
#include "driver/config_buffer.h"
#include "driver/ip_config.h"
#include "driver/wireguard_library.h"

namespace kesta::driver {

inline constexpr std::string_view kServiceAdapterName = "RedevUva";
inline constexpr std::string_view kCreatedAdapterName = "WireGuard";
inline constexpr std::string_view kTunnelType = "RedevUva";

// The service's hold on one driver adapter. Destruction closes the handle, then drops the
// library reference.
class Adapter {
 public:
  static Result<Adapter> open(WireGuardLibraryRef library, std::string_view name);
  static Result<Adapter> create(WireGuardLibraryRef library, std::string_view name,
                                std::string_view tunnel_type, const abi::Guid& requested_guid);

  Adapter(Adapter&& other) noexcept;
  Adapter& operator=(Adapter&& other) noexcept;
  ~Adapter();

  Result<> set_configuration(const InterfaceConfig& config);
  // The configuration with live statistics; every malformed answer of the driver is an error.
  Result<InterfaceState> get_configuration() const;
  std::uint64_t luid() const;
  // Whether the driver accepted the switch; callers word their own failure.
  bool set_state(abi::AdapterState state);
  Result<> set_routes_and_interface(IpConfigurator& configurator, const IpPrefix& address,
                                    const InterfaceConfig& config) const;

 private:
  Adapter(WireGuardLibraryRef library, abi::AdapterHandle handle);
  void close() noexcept;

  WireGuardLibraryRef library_;
  abi::AdapterHandle handle_ = nullptr;
};

// Opens the adapter named RedevUva, else creates "WireGuard" of tunnel type RedevUva with a
// random GUID; the open failure is dropped.
Result<Adapter> acquire_service_adapter(WireGuardLibraryRef library);

// The callback registered with the driver: it accepts the driver's messages and discards them.
void KESTA_WG_CALL driver_log_sink(abi::LoggerLevel level, std::uint64_t timestamp,
                                   const char16_t* message);

}  // namespace kesta::driver
