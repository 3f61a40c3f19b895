#include "testing/tunnel/tunnel_harness.h"

#include <utility>

#include "protocol/decode.h"
#include "protocol/encode.h"
#include "protocol/render.h"
#include "wireguard_sim/in_process.h"

namespace kesta::testing {
namespace {

std::string failed(const wgsim::JournalEntry& entry) {
  const std::string result = entry.field("result");
  return result == "0" || result == "null" ? "!" : "";
}

}  // namespace

TunnelHarness::TunnelHarness(const wgsim::Scenario& scenario,
                             std::unique_ptr<tunnel::WaitClock> clock,
                             driver::WireGuardLibraryRef library) {
  wgsim::reset();
  wgsim::set_scenario(scenario);
  if (!library) library = wgsim::load_in_process();
  if (!clock) clock = std::make_unique<tunnel::SteadyWaitClock>();
  auto ip = std::make_unique<RecordingIpConfigurator>();
  ip_ = ip.get();
  auto handlers =
      std::make_unique<tunnel::TunnelHandlers>(std::move(library), std::move(ip), std::move(clock));
  handlers_ = handlers.get();
  auto listener = std::make_unique<MemoryListener>();
  listener_ = listener.get();
  auto log = std::make_shared<MemoryLog>();
  log_ = log.get();
  state_ = std::make_unique<service::WorkerState>(std::move(listener), std::move(log),
                                                  std::move(handlers));
}

Exchange TunnelHarness::send(const protocol::Command& command) {
  const auto transcript = listener_->add_client({.chunks = {protocol::encode_command(command)}});
  const std::size_t lines_before = log_->lines.size();
  service::serve_next(*state_);

  Exchange exchange;
  exchange.written = transcript->written;
  exchange.log.assign(log_->lines.begin() + static_cast<std::ptrdiff_t>(lines_before),
                      log_->lines.end());
  exchange.calls = driver_calls(journal_seen_);
  journal_seen_ = wgsim::journal().size();
  return exchange;
}

std::size_t TunnelHarness::stray_handles() const {
  const std::size_t held = handlers_->current_adapter() ? 1 : 0;
  return wgsim::open_handle_count() - held;
}

std::vector<std::string> driver_calls(std::size_t from) {
  const std::vector<wgsim::JournalEntry> journal = wgsim::journal();
  std::vector<std::string> calls;
  for (std::size_t i = from; i < journal.size(); ++i) {
    const wgsim::JournalEntry& entry = journal[i];
    if (entry.call == "SetLogger") continue;
    if (entry.call == "GetConfiguration") {
      // The fetch belongs to the size query before it; only a failed fetch shows.
      if (entry.field("buffer") == "null") {
        calls.push_back("Read");
      } else if (!failed(entry).empty()) {
        calls.back() += "!";
      }
      continue;
    }
    std::string call = entry.call;
    if (entry.call == "SetAdapterState") call += " " + entry.field("state");
    calls.push_back(call + failed(entry));
  }
  return calls;
}

std::vector<std::string> answer_log(const Exchange& exchange) {
  if (exchange.log.size() < 2) return {"(request not handled)"};
  return {exchange.log.begin() + 2, exchange.log.end()};
}

std::string response_line(const protocol::Response& response) {
  auto line = protocol::encode_response(response);
  return line ? *line : "(unencodable)";
}

std::vector<std::string> logged_answer(const protocol::Response& response) {
  return {"Sending response: " + protocol::render(response),
          "Message sent: " + response_line(response)};
}

std::optional<protocol::Response> received(const Exchange& exchange) {
  auto response = protocol::decode_response(exchange.written);
  if (!response) return std::nullopt;
  return *response;
}

protocol::Config sample_config() {
  protocol::Config config;
  for (std::uint8_t i = 0; i < 32; ++i) {
    config.encryption.client_key[i] = static_cast<std::uint8_t>(0x10 + i);
    config.encryption.server_key[i] = static_cast<std::uint8_t>(0x40 + i);
    config.encryption.shared_key[i] = static_cast<std::uint8_t>(0x80 + i);
  }
  config.endpoint = {"vpn.example.net", {192, 0, 2, 7}, 51820};
  config.client = {{10, 8, 0, 2}, {80, 443}};
  return config;
}

}  // namespace kesta::testing
