#pragma once

#include <string>

#include "service/log.h"
#include "service/transport.h"

namespace kesta::tunnel {

// Whether an answer also goes to the log with "Sending response: " and "Message sent: ".
enum class Delivery { kQuiet, kLogged };

// Logs `line` and answers the client with an Error carrying exactly that line.
void answer_failure(service::Connection& connection, service::Log& log, const std::string& line,
                    Delivery delivery);

}  // namespace kesta::tunnel
