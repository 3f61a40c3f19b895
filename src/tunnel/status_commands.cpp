#include "tunnel/status_commands.h"

#include "protocol/messages.h"
#include "service/request_loop.h"
#include "tunnel/answer.h"
#include "tunnel/interface_info.h"

namespace kesta::tunnel {

void disconnect_tunnel(service::Connection& connection, service::Log& log,
                       driver::Adapter* current) {
  if (current != nullptr && !current->set_state(driver::abi::kAdapterStateDown)) {
    answer_failure(connection, log, "Failed to disconnect: Failed to bring down adapter",
                   Delivery::kLogged);
    return;
  }
  (void)service::send_response(connection, protocol::Disconnected{}, log);
}

void report_info(service::Connection& connection, service::Log& log,
                 const driver::Adapter* current) {
  if (current == nullptr) {
    (void)service::send_response(connection, protocol::Disconnected{}, log);
    return;
  }
  const auto info = read_interface_info(*current);
  if (!info) {
    answer_failure(connection, log, "Failed to get interface info: " + info.error().message(),
                   Delivery::kLogged);
    return;
  }
  (void)service::send_response(connection, protocol::Connected{*info}, log);
}

}  // namespace kesta::tunnel
