#pragma once

#include "driver/adapter.h"
#include "service/log.h"
#include "service/transport.h"

namespace kesta::tunnel {

// Handles Disconnect: switches the current adapter (null when there is none) down and keeps
// it; only the next Connect closes it.
void disconnect_tunnel(service::Connection& connection, service::Log& log,
                       driver::Adapter* current);

// Handles Info: the current adapter's statistics, whether it is up or down, or Disconnected
// when there is none.
void report_info(service::Connection& connection, service::Log& log,
                 const driver::Adapter* current);

}  // namespace kesta::tunnel
