#include "tunnel/status_commands.h"

#include "protocol/messages.h"
#include "tunnel/interface_info.h"

namespace kesta::tunnel {

using service::Answer;
using service::Delivery;

Answer disconnect_tunnel(driver::Adapter* current) {
  if (current != nullptr && !current->set_state(driver::abi::kAdapterStateDown)) {
    return Answer::failure("Failed to disconnect: Failed to bring down adapter", Delivery::kLogged);
  }
  return Answer{protocol::Disconnected{}};
}

Answer report_info(const driver::Adapter* current) {
  if (current == nullptr) return Answer{protocol::Disconnected{}};
  const auto info = read_interface_info(*current);
  if (!info) {
    return Answer::failure("Failed to get interface info: " + info.error().message(),
                           Delivery::kLogged);
  }
  return Answer{protocol::Connected{*info}};
}

}  // namespace kesta::tunnel
