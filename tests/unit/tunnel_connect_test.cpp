#include "tunnel/connect.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <set>
#include <string>
#include <vector>

#include "core/error.h"
#include "protocol/render.h"
#include "testing/tunnel/manual_clock.h"
#include "testing/tunnel/tunnel_harness.h"
#include "tunnel/handshake_wait.h"
#include "wireguard_sim/in_process.h"
#include "wireguard_sim/wireguard_sim.h"

namespace kesta::tunnel {
namespace {

using namespace std::chrono_literals;
using kesta::testing::Exchange;
using kesta::testing::kAnswered;
using kesta::testing::ManualClock;
using kesta::testing::sample_config;
using kesta::testing::TunnelHarness;
using service::Delivery;
using ::testing::ElementsAre;
using ::testing::ElementsAreArray;
using Calls = std::vector<std::string>;

const protocol::Command kConnect = protocol::Connect{sample_config()};
const protocol::Command kInfo = protocol::Info{};

// Every adapter the sequence acquires is first opened by name, then created.
const Calls kSetUp = {"OpenAdapter!", "CreateAdapter", "SetConfiguration", "GetAdapterLUID"};

Calls concat(std::initializer_list<Calls> parts) {
  Calls all;
  for (const Calls& part : parts) all.insert(all.end(), part.begin(), part.end());
  return all;
}

const Calls kTimedOut = concat({kSetUp,
                                {"SetAdapterState 0", "Read", "SetAdapterState 1"},
                                Calls(100, "Read"),
                                {"SetAdapterState 0", kAnswered, "CloseAdapter"}});

TunnelHarness with_manual_clock(const wgsim::Scenario& scenario) {
  return TunnelHarness(scenario, std::make_unique<ManualClock>());
}

// After every request only the current adapter may hold a driver handle.
void expect_no_stray_handles(const TunnelHarness& harness) {
  EXPECT_EQ(harness.stray_handles(), 0u);
}

TEST(TunnelConnect, NewHandshakeNeedsBothAChangedHandshakeAndChangedRx) {
  using Info = protocol::WireguardInterfaceInfo;
  const protocol::SystemTime t1{protocol::kUnixEpochIntervals + 10};
  const protocol::SystemTime t2{protocol::kUnixEpochIntervals + 20};
  struct Row {
    Info baseline, current;
    bool connected;
  } rows[] = {
      {{std::nullopt, 0, 0}, {t1, 148, 92}, true},  // first handshake after none
      {{t1, 148, 92}, {t2, 296, 184}, true},        // a later handshake
      {{std::nullopt, 0, 0}, {t1, 148, 0}, false},  // handshake time moved, nothing received
      {{t1, 148, 92}, {t1, 148, 124}, false},       // bytes received, same handshake
      {{std::nullopt, 0, 0}, {std::nullopt, 148, 92}, false},
      {{t1, 0, 0}, {std::nullopt, 0, 5}, true},  // present and absent differ too
      {{t1, 148, 92}, {t1, 148, 92}, false},
  };
  for (const Row& row : rows) {
    EXPECT_EQ(is_new_handshake(row.baseline, row.current), row.connected)
        << protocol::render(protocol::Response{protocol::Connected{row.baseline}}) << " -> "
        << protocol::render(protocol::Response{protocol::Connected{row.current}});
  }
}

TEST(TunnelConnect, InterfaceConfigIgnoresUrlAndPorts) {
  const protocol::Config base = sample_config();
  const driver::InterfaceConfig written = interface_config(base);
  EXPECT_EQ(written.private_key, base.encryption.client_key);
  ASSERT_EQ(written.peers.size(), 1u);
  const driver::PeerConfig& server = written.peers[0];
  EXPECT_EQ(server.public_key, base.encryption.server_key);
  EXPECT_EQ(server.preshared_key, base.encryption.shared_key);
  EXPECT_EQ(server.persistent_keepalive, std::optional<std::uint16_t>(15));
  EXPECT_EQ(server.endpoint, driver::Endpoint(driver::Ipv4Endpoint{{192, 0, 2, 7}, 51820}));
  EXPECT_THAT(server.allowed_ips, ElementsAre(driver::IpPrefix::ipv4({0, 0, 0, 0}, 0)));

  protocol::Config other = base;
  other.endpoint.url = "";
  other.client.ports = {1, 2, 3, 65535};
  const auto bytes = [](const protocol::Config& config) {
    const auto buffer = driver::write_config_buffer(interface_config(config));
    return std::vector<std::uint8_t>(buffer->bytes().begin(), buffer->bytes().end());
  };
  EXPECT_EQ(bytes(other), bytes(base));
}

TEST(TunnelConnect, ConnectsAndKeepsTheAdapter) {
  TunnelHarness harness = with_manual_clock({.handshake_delay = 0ms});
  const Exchange exchange = harness.send(kConnect);

  EXPECT_EQ(
      exchange.calls,
      concat(
          {kSetUp, {"SetAdapterState 0", "Read", "SetAdapterState 1", "Read", "Read", kAnswered}}));
  ASSERT_TRUE(std::holds_alternative<protocol::Connected>(exchange.response));
  const auto& info = std::get<protocol::Connected>(exchange.response).info;
  EXPECT_TRUE(info.last_handshake.has_value());
  EXPECT_GT(info.rx_bytes, 0u);
  EXPECT_EQ(exchange.delivery, Delivery::kLogged);

  ASSERT_EQ(harness.ip().calls.size(), 1u);
  const auto& ip = harness.ip().calls[0];
  EXPECT_EQ(ip.address, driver::IpPrefix::ipv4({10, 8, 0, 2}, 32));
  EXPECT_EQ(ip.luid, harness.handlers().current_adapter()->luid());
  EXPECT_NE(ip.luid, 0u);
  ASSERT_EQ(ip.config.peers.size(), 1u);
  EXPECT_EQ(ip.config.peers[0].allowed_ips, interface_config(sample_config()).peers[0].allowed_ips);

  EXPECT_TRUE(harness.handlers().current_adapter().has_value());
  expect_no_stray_handles(harness);
}

// Each way a Connect can fail: what the client gets and whether its sending is logged, and what
// the driver saw, ending with the adapter closed; a new adapter that got as far as its set-up
// is closed only once the answer has been given.
TEST(TunnelConnect, FailuresAnswerAndLeaveNoAdapter) {
  struct Row {
    const char* name;
    wgsim::Scenario scenario;
    std::optional<std::string> ip_error;
    std::string line;
    bool logged;
    Calls calls;
  };
  using wgsim::Fault;
  using wgsim::ReadAnomaly;
  const std::string route_error = "Failed to set default route - " + system_error_message(5);
  const Row rows[] = {
      {"no adapter",
       {.faults = {Fault::kOpenAdapter, Fault::kCreateAdapter}},
       std::nullopt,
       "Failed to create adapter: Failed to create adapter",
       false,
       {"OpenAdapter!", "CreateAdapter!", kAnswered}},
      {"configuration refused",
       {.faults = {Fault::kSetConfiguration}},
       std::nullopt,
       "Failed to create adapter: Failed to set configuration: WireGuardSetConfiguration failed",
       false,
       {"OpenAdapter!", "CreateAdapter", "SetConfiguration!", "CloseAdapter", kAnswered}},
      {"route refused",
       {},
       route_error,
       "Failed to create adapter: Failed to set route: " + route_error,
       false,
       concat({kSetUp, {"CloseAdapter", kAnswered}})},
      {"baseline without peers",
       {.read_anomaly = ReadAnomaly::kZeroPeers},
       std::nullopt,
       "Failed to connect: No peers",
       false,
       concat({kSetUp, {"SetAdapterState 0", "Read", kAnswered, "CloseAdapter"}})},
      {"baseline size query",
       {.read_anomaly = ReadAnomaly::kSizeQueryTrue},
       std::nullopt,
       "Failed to connect: Failed to query size of wireguard configuration",
       false,
       concat({kSetUp, {"SetAdapterState 0", "Read", kAnswered, "CloseAdapter"}})},
      {"switch up refused",
       {.faults = {Fault::kSetStateUp}},
       std::nullopt,
       "Failed to connect: Failed to bring up adapter",
       false,
       concat({kSetUp,
               {"SetAdapterState 0", "Read", "SetAdapterState 1!", kAnswered, "CloseAdapter"}})},
      {"read in the wait",
       {.read_anomaly = ReadAnomaly::kEndpointFamilyZero, .anomaly_after_reads = 1},
       std::nullopt,
       "Failed to connect: Illegal address family 0",
       false,
       concat({kSetUp,
               {"SetAdapterState 0", "Read", "SetAdapterState 1", "Read", kAnswered,
                "CloseAdapter"}})},
      {"server never answers",
       {.handshake = wgsim::Handshake::kNever},
       std::nullopt,
       "Failed to connect: Failed to connect to server",
       false,
       kTimedOut},
      {"handshake time without rx",
       {.handshake = wgsim::Handshake::kTimeWithoutRx, .handshake_delay = 0ms},
       std::nullopt,
       "Failed to connect: Failed to connect to server",
       false,
       kTimedOut},
      {"rx without handshake",
       {.handshake = wgsim::Handshake::kRxWithoutHandshake, .handshake_delay = 0ms},
       std::nullopt,
       "Failed to connect: Failed to connect to server",
       false,
       kTimedOut},
      {"final read",
       {.read_anomaly = ReadAnomaly::kZeroPeers, .anomaly_after_reads = 2, .handshake_delay = 0ms},
       std::nullopt,
       "Failed to get interface info: No peers",
       true,
       concat({kSetUp,
               {"SetAdapterState 0", "Read", "SetAdapterState 1", "Read", "Read", kAnswered,
                "SetAdapterState 0", "CloseAdapter"}})},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    TunnelHarness harness = with_manual_clock(row.scenario);
    harness.ip().error = row.ip_error;
    const Exchange exchange = harness.send(kConnect);

    EXPECT_EQ(exchange.response, protocol::Response{protocol::Error{row.line}});
    EXPECT_EQ(exchange.delivery, row.logged ? Delivery::kLogged : Delivery::kQuiet);
    EXPECT_EQ(exchange.calls, row.calls);
    EXPECT_FALSE(harness.handlers().current_adapter().has_value());
    expect_no_stray_handles(harness);

    wgsim::set_scenario({});
    EXPECT_EQ(harness.send(kInfo).response, protocol::Response{protocol::Disconnected{}});
  }
}

// The tunnel held before a Connect goes first, whether it agrees to go down or not and
// whatever becomes of the new one.
TEST(TunnelConnect, ConnectReplacesTheCurrentAdapter) {
  using wgsim::Fault;
  struct Row {
    const char* name;
    std::set<Fault> faults;
    Calls first_calls;
    bool connected;
  } rows[] = {
      {"old goes down", {}, {"SetAdapterState 0", "CloseAdapter", "OpenAdapter!"}, true},
      {"old refuses to go down",
       {Fault::kSetStateDown},
       {"SetAdapterState 0!", "CloseAdapter", "OpenAdapter!"},
       true},
      {"new one fails",
       {Fault::kOpenAdapter, Fault::kCreateAdapter},
       {"SetAdapterState 0", "CloseAdapter", "OpenAdapter!"},
       false},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    TunnelHarness harness = with_manual_clock({.handshake_delay = 0ms});
    harness.send(kConnect);
    wgsim::set_scenario({.faults = row.faults, .handshake_delay = 0ms});
    const std::size_t journal_before = wgsim::journal().size();

    const Exchange exchange = harness.send(kConnect);
    ASSERT_GE(exchange.calls.size(), 3u);
    EXPECT_EQ(Calls(exchange.calls.begin(), exchange.calls.begin() + 3), row.first_calls);
    // The switch-down and the close concern the old adapter's handle.
    const auto journal = wgsim::journal();
    std::string old_handle;
    for (std::size_t i = journal_before; i < journal.size(); ++i) {
      if (journal[i].call == "SetAdapterState" && old_handle.empty()) {
        old_handle = journal[i].field("handle");
      } else if (journal[i].call == "CloseAdapter") {
        EXPECT_EQ(journal[i].field("handle"), old_handle);
        break;
      }
    }
    EXPECT_EQ(std::holds_alternative<protocol::Connected>(exchange.response), row.connected);
    if (row.connected) {
      ASSERT_EQ(harness.ip().calls.size(), 2u);
      EXPECT_NE(harness.ip().calls[1].luid, harness.ip().calls[0].luid);
    } else {
      EXPECT_FALSE(harness.handlers().current_adapter().has_value());
    }
    expect_no_stray_handles(harness);
  }
}

// The answer holds the new adapter until its after-answer step: an answer dropped unsent, as
// when the log fails while it is sent, takes the adapter with it.
TEST(TunnelConnect, AnUnsentAnswerClosesTheAdapterItHolds) {
  TunnelHarness harness = with_manual_clock({.handshake_delay = 0ms});
  {
    const service::Answer answer = harness.handlers().connect(sample_config());
    EXPECT_TRUE(std::holds_alternative<protocol::Connected>(answer.response));
    EXPECT_FALSE(harness.handlers().current_adapter().has_value());
    EXPECT_EQ(wgsim::open_handle_count(), 1u);
  }
  EXPECT_EQ(wgsim::open_handle_count(), 0u);
  EXPECT_EQ(kesta::testing::driver_calls().back(), "CloseAdapter");
}

// Counts completed configuration fetches into the first peer's tx counter, so that an answer
// shows which read it came from.
std::uint64_t fetches = 0;
driver::abi::GetConfigurationFn* real_get_configuration = nullptr;

driver::abi::Bool KESTA_WG_CALL stamped_get_configuration(driver::abi::AdapterHandle adapter,
                                                          void* config, std::uint32_t* bytes) {
  const driver::abi::Bool ok = real_get_configuration(adapter, config, bytes);
  constexpr std::size_t kFirstPeerTx = driver::kInterfaceSize + driver::PeerLayout::kTxBytes;
  if (ok != 0 && config != nullptr && *bytes >= kFirstPeerTx + 8) {
    ++fetches;
    std::memcpy(static_cast<std::uint8_t*>(config) + kFirstPeerTx, &fetches, 8);
  }
  return ok;
}

TEST(TunnelConnect, ConnectedCarriesAReadMadeAfterTheWait) {
  const driver::WireGuardLibraryRef simulator = wgsim::load_in_process();
  driver::WireGuardFunctions functions = simulator->functions();
  real_get_configuration = functions.get_configuration;
  functions.get_configuration = &stamped_get_configuration;
  fetches = 0;
  auto stamped = std::make_shared<const driver::WireGuardLibrary>(functions, simulator);

  TunnelHarness harness({.handshake_delay = 0ms}, std::make_unique<ManualClock>(), stamped);
  const protocol::Response response = harness.send(kConnect).response;
  ASSERT_TRUE(std::holds_alternative<protocol::Connected>(response));
  // Baseline, the wait's one read, then the answer's own.
  EXPECT_EQ(std::get<protocol::Connected>(response).info.tx_bytes, 3u);
  expect_no_stray_handles(harness);
}

std::size_t reads_between_switches(const Calls& calls) {
  const auto up = std::find(calls.begin(), calls.end(), "SetAdapterState 1");
  return static_cast<std::size_t>(std::count(up, calls.end(), "Read"));
}

TEST(TunnelConnect, RealClockWaitsAboutOneSecondForASilentServer) {
  TunnelHarness harness({.handshake = wgsim::Handshake::kNever});
  const auto start = std::chrono::steady_clock::now();
  const Exchange exchange = harness.send(kConnect);
  const auto elapsed = std::chrono::steady_clock::now() - start;

  EXPECT_EQ(exchange.response,
            protocol::Response{protocol::Error{"Failed to connect: Failed to connect to server"}});
  EXPECT_GE(elapsed, 1000ms);
  EXPECT_LT(elapsed, 3000ms);
  // One read at once, then one per pause; none after the limit.
  EXPECT_GE(reads_between_switches(exchange.calls), 2u);
  EXPECT_LE(reads_between_switches(exchange.calls), 101u);
  ASSERT_GE(exchange.calls.size(), 2u);
  EXPECT_EQ(Calls(exchange.calls.end() - 3, exchange.calls.end()),
            (Calls{"SetAdapterState 0", kAnswered, "CloseAdapter"}));
  expect_no_stray_handles(harness);
}

TEST(TunnelConnect, RealClockPollsUntilTheHandshake) {
  TunnelHarness harness({.handshake_delay = 30ms});
  const auto start = std::chrono::steady_clock::now();
  const Exchange exchange = harness.send(kConnect);
  const auto elapsed = std::chrono::steady_clock::now() - start;

  ASSERT_TRUE(std::holds_alternative<protocol::Connected>(exchange.response));
  // A read at once, at least one more after a pause, and the answer's own.
  EXPECT_GE(reads_between_switches(exchange.calls), 3u);
  EXPECT_GE(elapsed, 30ms);
  EXPECT_LT(elapsed, 900ms);
  expect_no_stray_handles(harness);
}

}  // namespace
}  // namespace kesta::tunnel
