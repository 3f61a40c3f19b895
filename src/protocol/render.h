#pragma once

#include <string>

#include "protocol/messages.h"

namespace kesta::protocol {

// Diagnostic renderings written to the log after "Received command: " and "Sending response: ".
// The private and preshared keys of a Connect show as [redacted]: the log is readable by all.
std::string render(const Command& command);
std::string render(const Response& response);

}  // namespace kesta::protocol
