#pragma once

#include <functional>
#include <string>

#include "protocol/messages.h"

namespace kesta::service {

// Whether an answer also goes to the log with "Sending response: " and "Message sent: ".
enum class Delivery { kQuiet, kLogged };

// What a handler gives back for one request. The loop sends it and logs around it: an Error is
// the failure it reports, so its text is logged before anything is sent. `after` then runs
// whatever must wait until the client has its answer (closing an adapter that failed, keeping
// one that succeeded); what it holds is let go with the answer if the sending never returns.
struct Answer {
  protocol::Response response;
  Delivery delivery = Delivery::kLogged;
  std::move_only_function<void()> after{};

  // An Error carrying exactly `line`, the text that is logged for it.
  static Answer failure(std::string line, Delivery delivery);
};

}  // namespace kesta::service
