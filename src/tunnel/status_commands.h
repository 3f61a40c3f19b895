#pragma once

#include "driver/adapter.h"
#include "service/answer.h"

namespace kesta::tunnel {

// Handles Disconnect: switches the current adapter (null when there is none) down and keeps
// it; only the next Connect closes it.
service::Answer disconnect_tunnel(driver::Adapter* current);

// Handles Info: the current adapter's statistics, whether it is up or down, or Disconnected
// when there is none.
service::Answer report_info(const driver::Adapter* current);

}  // namespace kesta::tunnel
