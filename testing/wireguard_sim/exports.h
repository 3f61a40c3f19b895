#pragma once

// The simulator's twelve entry points, declared with the library's own function types so the
// compiler checks every definition against the table the service loads.

#include "driver/wireguard_abi.h"

extern "C" {
kesta::driver::abi::CreateAdapterFn WireGuardCreateAdapter;
kesta::driver::abi::OpenAdapterFn WireGuardOpenAdapter;
kesta::driver::abi::CloseAdapterFn WireGuardCloseAdapter;
kesta::driver::abi::GetAdapterLuidFn WireGuardGetAdapterLUID;
kesta::driver::abi::GetRunningDriverVersionFn WireGuardGetRunningDriverVersion;
kesta::driver::abi::DeleteDriverFn WireGuardDeleteDriver;
kesta::driver::abi::SetLoggerFn WireGuardSetLogger;
kesta::driver::abi::SetAdapterLoggingFn WireGuardSetAdapterLogging;
kesta::driver::abi::GetAdapterStateFn WireGuardGetAdapterState;
kesta::driver::abi::SetAdapterStateFn WireGuardSetAdapterState;
kesta::driver::abi::GetConfigurationFn WireGuardGetConfiguration;
kesta::driver::abi::SetConfigurationFn WireGuardSetConfiguration;
}
