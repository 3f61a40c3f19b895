#include "tunnel/answer.h"

#include "protocol/messages.h"
#include "service/request_loop.h"

namespace kesta::tunnel {

void answer_failure(service::Connection& connection, service::Log& log, const std::string& line,
                    Delivery delivery) {
  log.write_line(line);
  const protocol::Response response = protocol::Error{line};
  // A failed send has been logged by the sender; the request is over either way.
  if (delivery == Delivery::kQuiet) {
    (void)service::send_response_quietly(connection, response, log);
  } else {
    (void)service::send_response(connection, response, log);
  }
}

}  // namespace kesta::tunnel
