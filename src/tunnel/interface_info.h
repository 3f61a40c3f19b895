#pragma once

#include "core/error.h"
#include "driver/adapter.h"
#include "protocol/messages.h"

namespace kesta::tunnel {

// The first peer's last handshake and byte counters, as the driver reports them now. An
// adapter without peers is the error "No peers"; a malformed answer of the driver is the
// error of the configuration read.
Result<protocol::WireguardInterfaceInfo> read_interface_info(const driver::Adapter& adapter);

}  // namespace kesta::tunnel
