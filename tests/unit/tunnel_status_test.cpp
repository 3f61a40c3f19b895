#include "tunnel/status_commands.h"

#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <vector>

#include "testing/tunnel/manual_clock.h"
#include "testing/tunnel/tunnel_harness.h"
#include "tunnel/connect.h"
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
using Calls = std::vector<std::string>;

const protocol::Command kConnect = protocol::Connect{sample_config()};
const protocol::Command kDisconnect = protocol::Disconnect{};
const protocol::Command kInfo = protocol::Info{};
const protocol::Response kDisconnected = protocol::Disconnected{};

// A harness whose tunnel is up.
TunnelHarness connected() {
  TunnelHarness harness({.handshake_delay = 0ms}, std::make_unique<ManualClock>());
  harness.send(kConnect);
  return harness;
}

// Both handlers always answer with logging.
void expect_answer(const Exchange& exchange, const protocol::Response& response) {
  EXPECT_EQ(exchange.response, response);
  EXPECT_EQ(exchange.delivery, Delivery::kLogged);
}

void expect_failure(const Exchange& exchange, const std::string& line) {
  expect_answer(exchange, protocol::Error{line});
}

TEST(TunnelStatus, WithoutAdapterBothAnswerDisconnected) {
  for (const protocol::Command& command : {kDisconnect, kInfo}) {
    TunnelHarness harness;
    const Exchange exchange = harness.send(command);
    expect_answer(exchange, kDisconnected);
    EXPECT_EQ(exchange.calls, Calls{kAnswered});
  }
}

TEST(TunnelStatus, DisconnectTwiceKeepsTheAdapterAndInfoStillAnswers) {
  TunnelHarness harness = connected();
  for (int i = 0; i < 2; ++i) {
    const Exchange exchange = harness.send(kDisconnect);
    expect_answer(exchange, kDisconnected);
    EXPECT_EQ(exchange.calls, (Calls{"SetAdapterState 0", kAnswered}));
  }
  const Exchange info = harness.send(kInfo);
  EXPECT_EQ(info.calls, (Calls{"Read", kAnswered}));
  ASSERT_TRUE(std::holds_alternative<protocol::Connected>(info.response));
  EXPECT_TRUE(std::get<protocol::Connected>(info.response).info.last_handshake.has_value());
  EXPECT_EQ(info.delivery, Delivery::kLogged);
  EXPECT_TRUE(harness.handlers().current_adapter().has_value());
  EXPECT_EQ(harness.stray_handles(), 0u);
}

// The held adapter's peer is replaced by one whose server never answers, through a second
// handle as another program could; Info then reports a peer without a handshake.
TEST(TunnelStatus, InfoOfAPeerThatNeverCompletedAHandshake) {
  TunnelHarness harness = connected();
  wgsim::set_scenario({.handshake = wgsim::Handshake::kNever});
  {
    auto other = driver::Adapter::open(wgsim::load_in_process(), driver::kCreatedAdapterName);
    ASSERT_TRUE(other.has_value());
    protocol::Config silent = sample_config();
    silent.encryption.server_key.fill(0x33);
    ASSERT_TRUE(other->set_configuration(interface_config(silent)).has_value());
  }
  const Exchange info = harness.send(kInfo);
  ASSERT_TRUE(std::holds_alternative<protocol::Connected>(info.response));
  const protocol::WireguardInterfaceInfo& statistics =
      std::get<protocol::Connected>(info.response).info;
  EXPECT_EQ(statistics.last_handshake, std::nullopt);
  EXPECT_EQ(statistics.rx_bytes, 0u);
  EXPECT_EQ(info.delivery, Delivery::kLogged);
  EXPECT_EQ(harness.stray_handles(), 0u);
}

TEST(TunnelStatus, RefusedSwitchDownIsReportedAndTheAdapterKept) {
  TunnelHarness harness = connected();
  wgsim::set_scenario({.faults = {wgsim::Fault::kSetStateDown}});
  const Exchange exchange = harness.send(kDisconnect);
  expect_failure(exchange, "Failed to disconnect: Failed to bring down adapter");
  EXPECT_EQ(exchange.calls, (Calls{"SetAdapterState 0!", kAnswered}));
  EXPECT_TRUE(harness.handlers().current_adapter().has_value());
  EXPECT_EQ(harness.stray_handles(), 0u);
}

TEST(TunnelStatus, UnreadableStatisticsAnswerWithTheReadsError) {
  using wgsim::ReadAnomaly;
  const struct {
    ReadAnomaly anomaly;
    std::string reason;
  } rows[] = {
      {ReadAnomaly::kZeroPeers, "No peers"},
      {ReadAnomaly::kSizeQueryTrue, "Failed to query size of wireguard configuration"},
      {ReadAnomaly::kWrongLastError,
       "WireGuardGetConfiguration returned invalid error for size request"},
      {ReadAnomaly::kZeroSize, "Wireguard config is zero bytes"},
      {ReadAnomaly::kEndpointFamilyZero, "Illegal address family 0"},
      {ReadAnomaly::kIpv4Cidr33, "prefix is valid"},
      {ReadAnomaly::kSizeTooSmall,
       "Overflow attempting to read struct of size 136. To allocation size: 80, offset: 80"},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(wgsim::anomaly_name(row.anomaly));
    TunnelHarness harness = connected();
    wgsim::set_scenario({.read_anomaly = row.anomaly});
    expect_failure(harness.send(kInfo), "Failed to get interface info: " + row.reason);
    EXPECT_TRUE(harness.handlers().current_adapter().has_value());
    EXPECT_EQ(harness.stray_handles(), 0u);
  }
}

}  // namespace
}  // namespace kesta::tunnel
