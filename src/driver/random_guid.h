#pragma once

#include "core/error.h"
#include "driver/wireguard_abi.h"

namespace kesta::driver {

// Sixteen bytes from the system's cryptographically secure generator, used as drawn.
Result<abi::Guid> random_guid();

}  // namespace kesta::driver
