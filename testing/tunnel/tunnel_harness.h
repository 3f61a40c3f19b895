#pragma once

#include <cstddef>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "protocol/messages.h"
#include "service/request_loop.h"
#include "testing/transport/memory_log.h"
#include "testing/transport/memory_transport.h"
#include "testing/tunnel/recording_ip_configurator.h"
#include "tunnel/tunnel_handlers.h"
#include "tunnel/wait_clock.h"
#include "wireguard_sim/wireguard_sim.h"

namespace kesta::testing {

// What one request produced.
struct Exchange {
  std::string written;             // everything written to the client
  std::vector<std::string> log;    // the log lines of this request, in order
  std::vector<std::string> calls;  // the driver calls of this request, see driver_calls()
};

// A worker serving requests with the real tunnel handlers over the in-process simulated
// driver and an in-memory transport; IP configuration is recorded instead of done.
class TunnelHarness {
 public:
  // Starts the simulated driver afresh with `scenario`. Without a clock the real one is used;
  // without a library, the production table over the in-process simulator.
  explicit TunnelHarness(const wgsim::Scenario& scenario = {},
                         std::unique_ptr<tunnel::WaitClock> clock = nullptr,
                         driver::WireGuardLibraryRef library = nullptr);

  // Serves one request line carrying `command`.
  Exchange send(const protocol::Command& command);

  tunnel::TunnelHandlers& handlers() { return *handlers_; }
  RecordingIpConfigurator& ip() { return *ip_; }
  // Driver handles that are open although they are not the current adapter's.
  std::size_t stray_handles() const;

 private:
  std::unique_ptr<service::WorkerState> state_;
  MemoryListener* listener_ = nullptr;
  MemoryLog* log_ = nullptr;
  tunnel::TunnelHandlers* handlers_ = nullptr;
  RecordingIpConfigurator* ip_ = nullptr;
  std::size_t journal_seen_ = 0;
};

// The driver's journal from entry `from` on, one word per call: "SetAdapterState 0",
// "CloseAdapter", a configuration read (size query and fetch) as "Read"; a failed call ends
// in "!". Logger registration is left out: it happens once per process.
std::vector<std::string> driver_calls(std::size_t from = 0);

// The log lines a request added after "Received message: " and "Received command: ".
std::vector<std::string> answer_log(const Exchange& exchange);
// The response line for `response`, and the two lines send_response logs for it.
std::string response_line(const protocol::Response& response);
std::vector<std::string> logged_answer(const protocol::Response& response);
// What the client received, decoded; nullopt when nothing (or something undecodable) came.
std::optional<protocol::Response> received(const Exchange& exchange);

// A Connect whose every key, address and port differs from the others.
protocol::Config sample_config();

}  // namespace kesta::testing
