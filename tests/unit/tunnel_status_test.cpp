#include "tunnel/status_commands.h"

#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <vector>

#include "testing/tunnel/manual_clock.h"
#include "testing/tunnel/tunnel_harness.h"
#include "wireguard_sim/wireguard_sim.h"

namespace kesta::tunnel {
namespace {

using namespace std::chrono_literals;
using kesta::testing::answer_log;
using kesta::testing::Exchange;
using kesta::testing::logged_answer;
using kesta::testing::ManualClock;
using kesta::testing::received;
using kesta::testing::response_line;
using kesta::testing::sample_config;
using kesta::testing::TunnelHarness;
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

void expect_answer(const Exchange& exchange, const protocol::Response& response) {
  EXPECT_EQ(exchange.written, response_line(response));
  EXPECT_EQ(answer_log(exchange), logged_answer(response));
}

void expect_failure(const Exchange& exchange, const std::string& line) {
  const protocol::Response response = protocol::Error{line};
  EXPECT_EQ(exchange.written, response_line(response));
  std::vector<std::string> log = {line};
  for (std::string& sent : logged_answer(response)) log.push_back(std::move(sent));
  EXPECT_EQ(answer_log(exchange), log);
}

TEST(TunnelStatus, WithoutAdapterBothAnswerDisconnected) {
  for (const protocol::Command& command : {kDisconnect, kInfo}) {
    TunnelHarness harness;
    const Exchange exchange = harness.send(command);
    expect_answer(exchange, kDisconnected);
    EXPECT_EQ(exchange.calls, Calls{});
  }
}

TEST(TunnelStatus, DisconnectTwiceKeepsTheAdapterAndInfoStillAnswers) {
  TunnelHarness harness = connected();
  for (int i = 0; i < 2; ++i) {
    const Exchange exchange = harness.send(kDisconnect);
    expect_answer(exchange, kDisconnected);
    EXPECT_EQ(exchange.calls, Calls{"SetAdapterState 0"});
  }
  const Exchange info = harness.send(kInfo);
  EXPECT_EQ(info.calls, Calls{"Read"});
  const auto response = received(info);
  ASSERT_TRUE(response && std::holds_alternative<protocol::Connected>(*response));
  EXPECT_TRUE(std::get<protocol::Connected>(*response).info.last_handshake.has_value());
  expect_answer(info, *response);
  EXPECT_TRUE(harness.handlers().current_adapter().has_value());
  EXPECT_EQ(harness.stray_handles(), 0u);
}

TEST(TunnelStatus, RefusedSwitchDownIsReportedAndTheAdapterKept) {
  TunnelHarness harness = connected();
  wgsim::set_scenario({.faults = {wgsim::Fault::kSetStateDown}});
  const Exchange exchange = harness.send(kDisconnect);
  expect_failure(exchange, "Failed to disconnect: Failed to bring down adapter");
  EXPECT_EQ(exchange.calls, Calls{"SetAdapterState 0!"});
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
