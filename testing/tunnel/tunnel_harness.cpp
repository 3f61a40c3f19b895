#include "testing/tunnel/tunnel_harness.h"

#include <type_traits>
#include <utility>
#include <variant>

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
  handlers_ =
      std::make_unique<tunnel::TunnelHandlers>(std::move(library), std::move(ip), std::move(clock));
}

Exchange TunnelHarness::send(const protocol::Command& command) {
  service::Answer answer = std::visit(
      [this](const auto& variant) {
        using T = std::decay_t<decltype(variant)>;
        if constexpr (std::is_same_v<T, protocol::Connect>) {
          return handlers_->connect(variant.config);
        } else if constexpr (std::is_same_v<T, protocol::Disconnect>) {
          return handlers_->disconnect();
        } else {
          return handlers_->info();
        }
      },
      command);
  const std::size_t answered = driver_calls(journal_seen_).size();
  if (answer.after) answer.after();

  Exchange exchange{std::move(answer.response), answer.delivery, driver_calls(journal_seen_)};
  exchange.calls.insert(exchange.calls.begin() + static_cast<std::ptrdiff_t>(answered), kAnswered);
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
