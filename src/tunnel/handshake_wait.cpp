#include "tunnel/handshake_wait.h"

#include <utility>

#include "tunnel/interface_info.h"

namespace kesta::tunnel {

bool is_new_handshake(const protocol::WireguardInterfaceInfo& baseline,
                      const protocol::WireguardInterfaceInfo& current) {
  return current.last_handshake != baseline.last_handshake && current.rx_bytes != baseline.rx_bytes;
}

Result<HandshakeWait> wait_for_handshake(const driver::Adapter& adapter,
                                         const protocol::WireguardInterfaceInfo& baseline,
                                         WaitClock& clock) {
  const WaitClock::TimePoint start = clock.now();
  while (clock.now() - start < kHandshakeWaitLimit) {
    auto current = read_interface_info(adapter);
    if (!current) return std::unexpected(std::move(current.error()));
    if (is_new_handshake(baseline, *current)) return HandshakeWait::kSeen;
    clock.pause(kHandshakePollPause);
  }
  return HandshakeWait::kTimedOut;
}

}  // namespace kesta::tunnel
