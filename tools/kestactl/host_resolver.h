#pragma once

#include "config_file.h"

namespace kesta::kestactl {

// The system's resolver, IPv4 addresses only.
std::expected<protocol::Ipv4Address, std::string> resolve_ipv4(std::string_view host);

}  // namespace kesta::kestactl
