#include "driver/adapter.h"

#include <gtest/gtest.h>

#include "driver_test_util.h"

#include <chrono>
#include <thread>

#include "core/utf16.h"
#include "wireguard_sim/in_process.h"
#include "wireguard_sim/wireguard_sim.h"

namespace kesta::driver {
namespace {

using namespace std::chrono_literals;

using test::key_of;
using test::service_config;

std::vector<wgsim::JournalEntry> calls_named(const std::string& call) {
  std::vector<wgsim::JournalEntry> found;
  for (const auto& entry : wgsim::journal()) {
    if (entry.call == call) found.push_back(entry);
  }
  return found;
}

class AdapterTest : public ::testing::Test {
 protected:
  void SetUp() override {
    wgsim::reset();
    library_ = wgsim::load_in_process();
    ASSERT_NE(library_, nullptr);
  }
  void TearDown() override {
    for (const auto& entry : wgsim::journal()) {
      EXPECT_EQ(entry.field("bad_handle"), "") << entry.line();
    }
  }

  Adapter configured_adapter(wgsim::Scenario scenario = {}) {
    wgsim::set_scenario(scenario);
    auto adapter = acquire_service_adapter(library_);
    EXPECT_TRUE(adapter.has_value());
    EXPECT_TRUE(adapter->set_configuration(service_config()).has_value());
    return std::move(*adapter);
  }

  WireGuardLibraryRef library_;
};

TEST_F(AdapterTest, AcquireCreatesWireGuardAdapterWhenRedevUvaIsAbsent) {
  auto first = acquire_service_adapter(library_);
  ASSERT_TRUE(first.has_value()) << first.error().message();
  const auto opens = calls_named("OpenAdapter");
  ASSERT_EQ(opens.size(), 1u);
  EXPECT_EQ(opens[0].field("name"), "RedevUva");
  const auto creates = calls_named("CreateAdapter");
  ASSERT_EQ(creates.size(), 1u);
  EXPECT_EQ(creates[0].field("name"), "WireGuard");
  EXPECT_EQ(creates[0].field("type"), "RedevUva");
  EXPECT_EQ(creates[0].field("guid").size(), 32u);

  // The created adapter is not found under the service's name, so a second acquire creates
  // again, with a fresh GUID.
  first = std::unexpected(Error("closed"));
  auto second = acquire_service_adapter(library_);
  ASSERT_TRUE(second.has_value());
  const auto both = calls_named("CreateAdapter");
  ASSERT_EQ(both.size(), 2u);
  EXPECT_NE(both[0].field("guid"), both[1].field("guid"));
}

TEST_F(AdapterTest, AcquireOpensAnExistingRedevUva) {
  wgsim::set_scenario({.existing_adapters = {"RedevUva"}});
  auto adapter = acquire_service_adapter(library_);
  ASSERT_TRUE(adapter.has_value());
  EXPECT_TRUE(calls_named("CreateAdapter").empty());
  EXPECT_EQ(wgsim::open_handle_count(), 1u);
}

TEST_F(AdapterTest, OpenAndCreateFailureTexts) {
  const auto opened = Adapter::open(library_, "RedevUva");
  ASSERT_FALSE(opened.has_value());
  EXPECT_EQ(opened.error().message(), "WireGuardOpenAdapter failed");

  wgsim::set_scenario({.faults = {wgsim::Fault::kCreateAdapter}});
  const auto acquired = acquire_service_adapter(library_);
  ASSERT_FALSE(acquired.has_value());
  EXPECT_EQ(acquired.error().message(), "Failed to create adapter");
  EXPECT_EQ(acquired.error().cause(), nullptr);
  EXPECT_EQ(wgsim::open_handle_count(), 0u);
}

TEST_F(AdapterTest, DestructionClosesTheHandleOnceAndKeepsTheLibraryUntilThen) {
  auto loader = std::make_shared<wgsim::InProcessLoader>(wgsim::InProcessLoader::Options{});
  auto library = load_wireguard_library(loader);
  ASSERT_TRUE(library.has_value());
  {
    auto adapter = Adapter::create(*library, "WireGuard", "RedevUva", abi::Guid{});
    ASSERT_TRUE(adapter.has_value());
    library->reset();
    EXPECT_EQ(loader->loaded_modules(), 1);
    Adapter moved = std::move(*adapter);
    Adapter target = std::move(moved);
    EXPECT_NE(target.luid(), 0u);
    EXPECT_EQ(wgsim::open_handle_count(), 1u);
  }
  EXPECT_EQ(wgsim::open_handle_count(), 0u);
  EXPECT_EQ(calls_named("CloseAdapter").size(), 1u);
  EXPECT_EQ(loader->loaded_modules(), 0);
}

TEST_F(AdapterTest, LoggerIsRegisteredOnceHoweverManyAdapters) {
  wgsim::set_scenario({.existing_adapters = {"RedevUva"}});
  for (int i = 0; i < 3; ++i) {
    ASSERT_TRUE(Adapter::open(library_, "RedevUva").has_value());
    ASSERT_TRUE(Adapter::create(library_, "WireGuard", "RedevUva", abi::Guid{}).has_value());
  }
  EXPECT_FALSE(Adapter::open(library_, "absent").has_value());
  EXPECT_EQ(wgsim::logger_registrations(), 1u);
  // The registered sink takes whatever the driver sends, a null message included.
  wgsim::log_to_registered_logger(nullptr);
  wgsim::log_to_registered_logger(u"unpaired \xD800 surrogate");
}

TEST_F(AdapterTest, WritesTheServiceConfigurationAsTheDriverReceivesIt) {
  Adapter adapter = configured_adapter();
  const auto sets = calls_named("SetConfiguration");
  ASSERT_EQ(sets.size(), 1u);
  EXPECT_EQ(sets[0].field("size"), "240");
  EXPECT_EQ(sets[0].field("result"), "1");
  EXPECT_EQ(sets[0].field("bytes").substr(0, 8), "0a000000");

  const auto state = adapter.get_configuration();
  ASSERT_TRUE(state.has_value()) << state.error().message();
  EXPECT_EQ(state->private_key, key_of(0x10));
  ASSERT_EQ(state->peers.size(), 1u);
  EXPECT_EQ(state->peers[0].flags, 0x0Fu);
  EXPECT_EQ(state->peers[0].public_key, key_of(0x40));
  EXPECT_EQ(state->peers[0].preshared_key, key_of(0x80));
  EXPECT_EQ(state->peers[0].persistent_keepalive, 15);
  EXPECT_EQ(state->peers[0].endpoint, Endpoint(Ipv4Endpoint{{192, 0, 2, 7}, 51820}));
  EXPECT_EQ(state->peers[0].allowed_ips, service_config().peers[0].allowed_ips);
  EXPECT_EQ(state->peers[0].last_handshake, std::nullopt);
}

TEST_F(AdapterTest, SetConfigurationFailures) {
  Adapter adapter = configured_adapter();
  wgsim::set_scenario({.faults = {wgsim::Fault::kSetConfiguration}});
  const auto faulty = adapter.set_configuration(service_config());
  ASSERT_FALSE(faulty.has_value());
  EXPECT_EQ(faulty.error().message(), "WireGuardSetConfiguration failed");

  // A driver identifies peers by public key and refuses one without.
  wgsim::set_scenario({});
  InterfaceConfig keyless = service_config();
  keyless.peers[0].public_key.reset();
  const auto refused = adapter.set_configuration(keyless);
  ASSERT_FALSE(refused.has_value());
  EXPECT_EQ(refused.error().message(), "WireGuardSetConfiguration failed");
}

TEST_F(AdapterTest, ReadAnomaliesAndTheirTexts) {
  struct Row {
    wgsim::ReadAnomaly anomaly;
    const char* message;  // nullptr: read succeeds with no peers
  };
  const Row rows[] = {
      {wgsim::ReadAnomaly::kSizeQueryTrue, "Failed to query size of wireguard configuration"},
      {wgsim::ReadAnomaly::kWrongLastError,
       "WireGuardGetConfiguration returned invalid error for size request"},
      {wgsim::ReadAnomaly::kZeroSize, "Wireguard config is zero bytes"},
      {wgsim::ReadAnomaly::kZeroPeers, nullptr},
      {wgsim::ReadAnomaly::kEndpointFamilyZero, "Illegal address family 0"},
      {wgsim::ReadAnomaly::kIpv4Cidr33, "prefix is valid"},
      {wgsim::ReadAnomaly::kSizeTooSmall,
       "Overflow attempting to read struct of size 136. To allocation size: 80, offset: 80"},
      {wgsim::ReadAnomaly::kSecondCallFails, "WireGuardGetConfiguration failed"},
  };
  for (const Row& row : rows) {
    wgsim::reset();
    Adapter adapter = configured_adapter({.read_anomaly = row.anomaly, .anomaly_after_reads = 1});
    ASSERT_TRUE(adapter.get_configuration().has_value()) << wgsim::anomaly_name(row.anomaly);
    const auto state = adapter.get_configuration();
    if (row.message == nullptr) {
      ASSERT_TRUE(state.has_value()) << wgsim::anomaly_name(row.anomaly);
      EXPECT_TRUE(state->peers.empty());
    } else {
      ASSERT_FALSE(state.has_value()) << wgsim::anomaly_name(row.anomaly);
      EXPECT_EQ(state.error().message(), row.message);
    }
  }
}

TEST_F(AdapterTest, SetStateReportsTheDriversAnswer) {
  Adapter adapter = configured_adapter({.faults = {wgsim::Fault::kSetStateUp}});
  EXPECT_FALSE(adapter.set_state(abi::kAdapterStateUp));
  EXPECT_TRUE(adapter.set_state(abi::kAdapterStateDown));
  wgsim::set_scenario({.faults = {wgsim::Fault::kSetStateDown}});
  EXPECT_TRUE(adapter.set_state(abi::kAdapterStateUp));
  EXPECT_FALSE(adapter.set_state(abi::kAdapterStateDown));
  const auto states = calls_named("SetAdapterState");
  ASSERT_EQ(states.size(), 4u);
  EXPECT_EQ(states[0].field("state"), "1");
  EXPECT_EQ(states[1].field("state"), "0");
}

// Polls as the connect sequence does, until both the handshake and rx have moved or 2 s pass.
struct Observed {
  PeerState peer;
  std::chrono::steady_clock::duration after;
};

Observed watch(Adapter& adapter, const PeerState& baseline) {
  const auto start = std::chrono::steady_clock::now();
  while (true) {
    auto state = adapter.get_configuration();
    EXPECT_TRUE(state.has_value());
    const PeerState peer = state->peers.at(0);
    const auto after = std::chrono::steady_clock::now() - start;
    if ((peer.last_handshake != baseline.last_handshake && peer.rx_bytes != baseline.rx_bytes) ||
        after > 300ms) {
      return {peer, after};
    }
    std::this_thread::sleep_for(2ms);
  }
}

TEST_F(AdapterTest, SimulatedServerHandshakeBehaviours) {
  struct Row {
    wgsim::Handshake handshake;
    bool handshake_moves;
    bool rx_moves;
  };
  for (const Row& row :
       {Row{wgsim::Handshake::kNormal, true, true}, Row{wgsim::Handshake::kNever, false, false},
        Row{wgsim::Handshake::kTimeWithoutRx, true, false},
        Row{wgsim::Handshake::kRxWithoutHandshake, false, true}}) {
    wgsim::reset();
    Adapter adapter = configured_adapter({.handshake = row.handshake});
    ASSERT_TRUE(adapter.set_state(abi::kAdapterStateDown));
    const PeerState baseline = adapter.get_configuration()->peers.at(0);
    const auto up = std::chrono::steady_clock::now();
    ASSERT_TRUE(adapter.set_state(abi::kAdapterStateUp));
    const Observed seen = watch(adapter, baseline);
    EXPECT_EQ(seen.peer.last_handshake != baseline.last_handshake, row.handshake_moves);
    EXPECT_EQ(seen.peer.rx_bytes != baseline.rx_bytes, row.rx_moves);
    EXPECT_GT(seen.peer.tx_bytes, baseline.tx_bytes);
    if (row.handshake == wgsim::Handshake::kNormal) {
      EXPECT_GE(std::chrono::steady_clock::now() - up, 20ms);  // the default delay
      const auto now_intervals = std::chrono::duration_cast<std::chrono::nanoseconds>(
                                     std::chrono::system_clock::now().time_since_epoch())
                                         .count() /
                                     100 +
                                 protocol::kUnixEpochIntervals;
      EXPECT_NEAR(static_cast<double>(seen.peer.last_handshake->intervals),
                  static_cast<double>(now_intervals), 10'000'000.0);
    }
  }
}

TEST_F(AdapterTest, RoutesAndInterfaceGetTheAdaptersLuid) {
  struct Recorder final : IpConfigurator {
    Result<> set_routes_and_interface(std::uint64_t luid, const IpPrefix& address,
                                      const InterfaceConfig& config) override {
      seen_luid = luid;
      seen_address = address;
      routes = config.peers.at(0).allowed_ips.size();
      return std::unexpected(Error("Failed to set default route - refused"));
    }
    std::uint64_t seen_luid = 0;
    IpPrefix seen_address;
    std::size_t routes = 0;
  } recorder;
  Adapter adapter = configured_adapter();
  const IpPrefix address = IpPrefix::ipv4({10, 0, 0, 2}, 32);
  const auto result = adapter.set_routes_and_interface(recorder, address, service_config());
  ASSERT_FALSE(result.has_value());
  EXPECT_EQ(result.error().message(), "Failed to set default route - refused");
  EXPECT_EQ(recorder.seen_luid, adapter.luid());
  EXPECT_NE(recorder.seen_luid, 0u);
  EXPECT_EQ(recorder.seen_address, address);
  EXPECT_EQ(recorder.routes, 1u);
}

TEST(Utf16, ConversionsReplaceWhatIsNotText) {
  struct Row {
    std::u16string wide;
    std::string utf8;
  };
  for (const Row& row : {Row{u"RedevUva", "RedevUva"}, Row{u"\u00e9\u20ac", "\xC3\xA9\xE2\x82\xAC"},
                         Row{u"\U0001F600", "\xF0\x9F\x98\x80"},
                         Row{std::u16string(1, u'\xD800') + u"x", "\xEF\xBF\xBDx"},
                         Row{u"x" + std::u16string(1, u'\xDC00'), "x\xEF\xBF\xBD"},
                         Row{std::u16string(1, u'\xD83D'), "\xEF\xBF\xBD"}}) {
    EXPECT_EQ(to_utf8_lossy(row.wide), row.utf8);
  }
  EXPECT_EQ(to_utf16("\xC3\xA9\xF0\x9F\x98\x80"), u"\u00e9\U0001F600");
  EXPECT_EQ(to_utf16("a\xFF"), u"a\uFFFD");
}

}  // namespace
}  // namespace kesta::driver
