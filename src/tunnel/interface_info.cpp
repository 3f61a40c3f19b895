#include "tunnel/interface_info.h"

#include <utility>

namespace kesta::tunnel {

Result<protocol::WireguardInterfaceInfo> read_interface_info(const driver::Adapter& adapter) {
  auto state = adapter.get_configuration();
  if (!state) return std::unexpected(std::move(state.error()));
  if (state->peers.empty()) return std::unexpected(Error("No peers"));
  const driver::PeerState& peer = state->peers.front();
  return protocol::WireguardInterfaceInfo{peer.last_handshake, peer.tx_bytes, peer.rx_bytes};
}

}  // namespace kesta::tunnel
