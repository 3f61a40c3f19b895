#pragma once

#include <cstddef>
#include <memory>
#include <string>
#include <vector>

#include "protocol/messages.h"
#include "service/answer.h"
#include "testing/tunnel/recording_ip_configurator.h"
#include "tunnel/tunnel_handlers.h"
#include "tunnel/wait_clock.h"
#include "wireguard_sim/wireguard_sim.h"

namespace kesta::testing {

// Stands in the driver calls of an exchange where the answer was given: what follows it is the
// answer's after-answer step.
inline constexpr const char* kAnswered = "(answered)";

// What one request produced.
struct Exchange {
  protocol::Response response;
  service::Delivery delivery = service::Delivery::kLogged;
  std::vector<std::string> calls;  // the driver calls of this request, see driver_calls()
};

// The real tunnel handlers over the in-process simulated driver; IP configuration is recorded
// instead of done.
class TunnelHarness {
 public:
  // Starts the simulated driver afresh with `scenario`. Without a clock the real one is used;
  // without a library, the production table over the in-process simulator.
  explicit TunnelHarness(const wgsim::Scenario& scenario = {},
                         std::unique_ptr<tunnel::WaitClock> clock = nullptr,
                         driver::WireGuardLibraryRef library = nullptr);

  // Hands `command` to the handlers as the request loop does: takes the answer, then runs its
  // after-answer step.
  Exchange send(const protocol::Command& command);

  tunnel::TunnelHandlers& handlers() { return *handlers_; }
  RecordingIpConfigurator& ip() { return *ip_; }
  // Driver handles that are open although they are not the current adapter's.
  std::size_t stray_handles() const;

 private:
  std::unique_ptr<tunnel::TunnelHandlers> handlers_;
  RecordingIpConfigurator* ip_ = nullptr;
  std::size_t journal_seen_ = 0;
};

// The driver's journal from entry `from` on, one word per call: "SetAdapterState 0",
// "CloseAdapter", a configuration read (size query and fetch) as "Read"; a failed call ends
// in "!". Logger registration is left out: it happens once per process.
std::vector<std::string> driver_calls(std::size_t from = 0);

// A Connect whose every key, address and port differs from the others.
protocol::Config sample_config();

}  // namespace kesta::testing
