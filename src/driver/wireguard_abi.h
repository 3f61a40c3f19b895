#pragma once

// The C interface of the WireGuard driver library, written with portable types so that the
// same declarations serve the loader's function table, the simulated library linked into
// native tests and the simulated wireguard.dll. On Windows char16_t has the layout of wchar_t,
// a GUID is 16 bytes and NET_LUID is a 64-bit union, so the ABI is the published one.

#include <cstdint>

#if defined(_WIN32) && !defined(_WIN64)
#define KESTA_WG_CALL __stdcall
#else
#define KESTA_WG_CALL
#endif

namespace kesta::driver::abi {

using Bool = std::int32_t;
using AdapterHandle = void*;

struct Guid {
  std::uint8_t bytes[16];
};
static_assert(sizeof(Guid) == 16);

enum LoggerLevel : std::int32_t { kLogInfo = 0, kLogWarn = 1, kLogErr = 2 };
enum AdapterState : std::int32_t { kAdapterStateDown = 0, kAdapterStateUp = 1 };
enum AdapterLogState : std::int32_t { kAdapterLogOff = 0, kAdapterLogOn = 1 };

using LoggerCallback = void(KESTA_WG_CALL*)(LoggerLevel level, std::uint64_t timestamp,
                                            const char16_t* message);

using CreateAdapterFn = AdapterHandle KESTA_WG_CALL(const char16_t* name,
                                                    const char16_t* tunnel_type,
                                                    const Guid* requested_guid);
using OpenAdapterFn = AdapterHandle KESTA_WG_CALL(const char16_t* name);
using CloseAdapterFn = void KESTA_WG_CALL(AdapterHandle adapter);
using GetAdapterLuidFn = void KESTA_WG_CALL(AdapterHandle adapter, std::uint64_t* luid);
using GetRunningDriverVersionFn = std::uint32_t KESTA_WG_CALL();
using DeleteDriverFn = Bool KESTA_WG_CALL();
using SetLoggerFn = void KESTA_WG_CALL(LoggerCallback logger);
using SetAdapterLoggingFn = Bool KESTA_WG_CALL(AdapterHandle adapter, AdapterLogState state);
using GetAdapterStateFn = Bool KESTA_WG_CALL(AdapterHandle adapter, AdapterState* state);
using SetAdapterStateFn = Bool KESTA_WG_CALL(AdapterHandle adapter, AdapterState state);
// The configuration is the flat buffer described in config_buffer.h.
using GetConfigurationFn = Bool KESTA_WG_CALL(AdapterHandle adapter, void* config,
                                              std::uint32_t* bytes);
using SetConfigurationFn = Bool KESTA_WG_CALL(AdapterHandle adapter, const void* config,
                                              std::uint32_t bytes);

inline constexpr std::uint32_t kErrorMoreData = 234;

// Every entry point once, in the order the loader resolves them: X(field, function type,
// exported name). The function table, the list of names and the resolution all follow from it.
#define KESTA_WIREGUARD_ENTRY_POINTS(X)                                                        \
  X(create_adapter, CreateAdapterFn, "WireGuardCreateAdapter")                                 \
  X(open_adapter, OpenAdapterFn, "WireGuardOpenAdapter")                                       \
  X(close_adapter, CloseAdapterFn, "WireGuardCloseAdapter")                                    \
  X(get_adapter_luid, GetAdapterLuidFn, "WireGuardGetAdapterLUID")                             \
  X(get_running_driver_version, GetRunningDriverVersionFn, "WireGuardGetRunningDriverVersion") \
  X(delete_driver, DeleteDriverFn, "WireGuardDeleteDriver")                                    \
  X(set_logger, SetLoggerFn, "WireGuardSetLogger")                                             \
  X(set_adapter_logging, SetAdapterLoggingFn, "WireGuardSetAdapterLogging")                    \
  X(get_adapter_state, GetAdapterStateFn, "WireGuardGetAdapterState")                          \
  X(set_adapter_state, SetAdapterStateFn, "WireGuardSetAdapterState")                          \
  X(get_configuration, GetConfigurationFn, "WireGuardGetConfiguration")                        \
  X(set_configuration, SetConfigurationFn, "WireGuardSetConfiguration")

}  // namespace kesta::driver::abi
