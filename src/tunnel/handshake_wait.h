#pragma once

#include <chrono>

#include "core/error.h"
#include "driver/adapter.h"
#include "protocol/messages.h"
#include "tunnel/wait_clock.h"

namespace kesta::tunnel {

inline constexpr std::chrono::milliseconds kHandshakeWaitLimit{1000};
inline constexpr std::chrono::milliseconds kHandshakePollPause{10};

// Connected means a handshake the baseline did not have and traffic the baseline did not
// count: either alone can be left over from an earlier session or from our own initiations.
bool is_new_handshake(const protocol::WireguardInterfaceInfo& baseline,
                      const protocol::WireguardInterfaceInfo& current);

enum class HandshakeWait { kSeen, kTimedOut };

// Polls the adapter's statistics from now on: the time is checked before every read, so the
// first read is immediate and none starts after the limit. A failed read ends the wait with
// its error.
Result<HandshakeWait> wait_for_handshake(const driver::Adapter& adapter,
                                         const protocol::WireguardInterfaceInfo& baseline,
                                         WaitClock& clock);

}  // namespace kesta::tunnel
