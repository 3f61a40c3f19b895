// The simulated driver library is what every driver test leans on, so its own rules are
// checked here: the scenario text, the journal lines, and what it refuses as a driver would.

#include "wireguard_sim/wireguard_sim.h"

#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>

#include "driver/config_buffer.h"
#include "driver_test_util.h"
#include "wireguard_sim/exports.h"

namespace kesta::wgsim {
namespace {

namespace abi = driver::abi;

TEST(WireGuardSimScenario, TextRoundTrip) {
  const Scenario scenario{
      .faults = {Fault::kOpenAdapter, Fault::kSetStateDown},
      .read_anomaly = ReadAnomaly::kSizeTooSmall,
      .anomaly_after_reads = 3,
      .handshake = Handshake::kRxWithoutHandshake,
      .handshake_delay = std::chrono::milliseconds(250),
      .existing_adapters = {"RedevUva", "Other"},
      .server_address = {203, 0, 113, 70},
      .server_port = 443,
      .attach_error_mode = 0x8001,
      .attach_read_only_stderr = true,
  };
  const auto [parsed, bad] = parse_scenario(format_scenario(scenario));
  ASSERT_TRUE(parsed.has_value()) << bad;
  EXPECT_EQ(*parsed, scenario);

  const auto [defaults, none] = parse_scenario("# nothing but a comment\n\n");
  ASSERT_TRUE(defaults.has_value());
  EXPECT_EQ(*defaults, Scenario{});
  EXPECT_EQ(defaults->handshake_delay, std::chrono::milliseconds(20));
  // The server the tests' configurations aim at.
  EXPECT_EQ(defaults->server_address, (std::array<std::uint8_t, 4>{192, 0, 2, 7}));
  EXPECT_EQ(defaults->server_port, 51820);
}

TEST(WireGuardSimScenario, NamesTheLineItDoesNotUnderstand) {
  for (const char* line :
       {"fail Everything", "handshake Sometimes", "handshake_delay_ms -1", "read_anomaly",
        "colour blue", "server 192.0.2.7", "server 192.0.2:51820", "server 192.0.2.7:0",
        "server 192.0.2.256:1", "server 1.2.3.4.5:1", "attach_error_mode x"}) {
    const auto [parsed, bad] = parse_scenario(std::string("fail OpenAdapter\n") + line + "\n");
    EXPECT_FALSE(parsed.has_value()) << line;
    EXPECT_EQ(bad, line);
  }
}

TEST(WireGuardSimJournal, LinesRoundTripWhateverTheValues) {
  const JournalEntry entry{"CreateAdapter",
                           {{"name", "Wire Guard=1%"}, {"type", ""}, {"guid", "00ff"}}};
  EXPECT_EQ(entry.line(), "CreateAdapter name=Wire%20Guard%3D1%25 type= guid=00ff");
  const auto parsed = JournalEntry::parse(entry.line() + "\r");
  ASSERT_TRUE(parsed.has_value());
  EXPECT_EQ(parsed->call, entry.call);
  EXPECT_EQ(parsed->fields, entry.fields);
  EXPECT_EQ(parsed->field("absent"), "");
  for (const char* bad : {"", "Call novalue", "Call name=%2", "Call name=%zz"}) {
    EXPECT_FALSE(JournalEntry::parse(bad).has_value()) << bad;
  }
}

class WireGuardSimDriver : public ::testing::Test {
 protected:
  void SetUp() override { reset(); }
};

TEST_F(WireGuardSimDriver, AdaptersByNameWithTheirCloseRules) {
  set_scenario({.existing_adapters = {"Kept"}});
  void* created = WireGuardCreateAdapter(u"Mine", u"Type", nullptr);
  ASSERT_NE(created, nullptr);
  EXPECT_EQ(WireGuardCreateAdapter(u"Mine", u"Type", nullptr), nullptr);  // name taken
  void* opened = WireGuardOpenAdapter(u"Mine");
  ASSERT_NE(opened, nullptr);
  WireGuardCloseAdapter(created);
  // Still open through the second handle, then gone with it.
  EXPECT_NE(WireGuardOpenAdapter(u"Mine"), nullptr);
  reset();
  set_scenario({.existing_adapters = {"Kept"}});
  void* kept = WireGuardOpenAdapter(u"Kept");
  ASSERT_NE(kept, nullptr);
  WireGuardCloseAdapter(kept);
  EXPECT_NE(WireGuardOpenAdapter(u"Kept"), nullptr);
  void* once = WireGuardCreateAdapter(u"Once", u"Type", nullptr);
  WireGuardCloseAdapter(once);
  EXPECT_EQ(WireGuardOpenAdapter(u"Once"), nullptr);
  WireGuardCloseAdapter(once);  // a stale handle is journaled, not trusted
  EXPECT_EQ(journal().back().field("bad_handle"), "1");
}

// The service's configuration with one change to its peer, as the binding writes it.
driver::InterfaceConfig service_config_with(
    const std::function<void(driver::PeerConfig&)>& change) {
  driver::InterfaceConfig config = driver::test::service_config();
  change(config.peers[0]);
  return config;
}

std::vector<std::uint8_t> written(const driver::InterfaceConfig& config) {
  const auto buffer = driver::write_config_buffer(config);
  EXPECT_TRUE(buffer.has_value());
  return buffer ? std::vector<std::uint8_t>(buffer->data(), buffer->data() + buffer->size())
                : std::vector<std::uint8_t>();
}

// Bytes as the binding writes them for `config`, then `patch` copied over them at `offset`
// and `cut` bytes dropped from the end: a faulty writer in one place.
struct Spoiled {
  driver::InterfaceConfig config;
  std::size_t offset = 0;
  std::vector<std::uint8_t> patch{};
  std::size_t cut = 0;

  std::vector<std::uint8_t> bytes() const {
    std::vector<std::uint8_t> out = written(config);
    std::copy(patch.begin(), patch.end(), out.begin() + static_cast<std::ptrdiff_t>(offset));
    out.resize(out.size() - cut);
    return out;
  }
};

// For every rule of the driver: a configuration the binding writes near that rule is accepted,
// and the binding's bytes broken in that one place are refused with ERROR_INVALID_PARAMETER.
TEST_F(WireGuardSimDriver, AcceptsWhatTheBindingWritesAndRefusesWhatTheDriverRefuses) {
  using driver::IpPrefix;
  const driver::InterfaceConfig service = driver::test::service_config();
  const driver::InterfaceConfig no_peers{driver::test::key_of(1), {}};
  driver::InterfaceConfig two_peers = service;
  two_peers.peers.push_back(service_config_with([](driver::PeerConfig& peer) {
                              peer.public_key = driver::test::key_of(0x60);
                              peer.allowed_ips = {IpPrefix::ipv4({10, 0, 0, 0}, 8),
                                                  IpPrefix::ipv4({10, 0, 0, 1}, 32),
                                                  IpPrefix::ipv6({0xfd}, 128)};
                            }).peers[0]);
  const auto bare_peer = service_config_with([](driver::PeerConfig& peer) {
    peer.preshared_key.reset();
    peer.persistent_keepalive.reset();
  });
  const auto ipv6_endpoint = service_config_with([](driver::PeerConfig& peer) {
    peer.endpoint =
        driver::Ipv6Endpoint{{0x20, 0x01, 0x0d, 0xb8, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1}, 1};
  });
  const auto ipv6_route = service_config_with(
      [](driver::PeerConfig& peer) { peer.allowed_ips = {IpPrefix::ipv6({}, 0)}; });
  const auto host_route = service_config_with([](driver::PeerConfig& peer) {
    peer.allowed_ips = {IpPrefix::ipv4({10, 0, 0, 1}, 32)};
  });

  // Offsets of the service's configuration: the peer at 80, its endpoint at 156, its allowed
  // IP at 216.
  struct Row {
    const char* refused;  // "" for accepted
    Spoiled input;
  };
  const Row rows[] = {
      {"", {no_peers}},
      {"too small for the interface", {no_peers, 0, {}, 1}},
      {"", {two_peers}},
      {"peer runs past the end", {two_peers, 0, {}, 24 * 3 + 1}},
      {"allowed IP runs past the end", {two_peers, 0, {}, 1}},
      {"", {service}},
      {"unknown interface flags", {service, 0, {0x1A}}},
      {"", {bare_peer}},
      {"unknown peer flags", {service, 80, {0x4F}}},
      {"reserved field not zero", {service, 84, {1}}},
      {"peer without public key", {service, 80, {0x0E}}},
      {"", {ipv6_endpoint}},
      {"endpoint of unknown family", {service, 156, {10, 0}}},  // AF_INET6 of another system
      {"endpoint without port", {service, 158, {0, 0}}},
      {"", {ipv6_route}},
      {"allowed IP invalid", {ipv6_route, 216 + 18, {129}}},
      {"allowed IP invalid", {service, 216 + 16, {3, 0}}},
      {"", {host_route}},
      {"allowed IP invalid", {host_route, 216 + 18, {33}}},
  };
  void* adapter = WireGuardCreateAdapter(u"Config", u"Type", nullptr);
  ASSERT_NE(adapter, nullptr);
  for (const Row& row : rows) {
    std::vector<std::uint8_t> bytes = row.input.bytes();
    set_last_system_error(0);
    const int result =
        WireGuardSetConfiguration(adapter, bytes.data(), static_cast<std::uint32_t>(bytes.size()));
    const bool accepted = row.refused[0] == '\0';
    EXPECT_EQ(result, accepted ? 1 : 0) << row.refused << " " << journal().back().line();
    EXPECT_EQ(journal().back().field("refused"), row.refused);
    EXPECT_EQ(last_system_error(), accepted ? 0u : 87u) << row.refused;
  }
  WireGuardCloseAdapter(adapter);
}

// The configuration read back through the size query and a fetch.
std::vector<std::uint8_t> read_back(void* adapter) {
  std::uint32_t size = 0;
  WireGuardGetConfiguration(adapter, nullptr, &size);
  std::vector<std::uint64_t> aligned((size + 7) / 8);
  EXPECT_EQ(WireGuardGetConfiguration(adapter, aligned.data(), &size), 1);
  std::vector<std::uint8_t> bytes(size);
  std::memcpy(bytes.data(), aligned.data(), size);
  return bytes;
}

std::uint64_t u64_at(const std::vector<std::uint8_t>& bytes, std::size_t offset) {
  std::uint64_t value = 0;
  std::memcpy(&value, bytes.data() + offset, sizeof value);
  return value;
}

// Only a configuration that could reach the server is answered: the binding's, aimed at the
// scenario's server. A missing key or endpoint, another address or port, a port in the wrong
// byte order or a misplaced address meets a silent server.
TEST_F(WireGuardSimDriver, ServerAnswersOnlyAConfigurationThatReachesIt) {
  const auto aimed_at = [](driver::Ipv4Endpoint endpoint) {
    return service_config_with([endpoint](driver::PeerConfig& peer) { peer.endpoint = endpoint; });
  };
  const driver::InterfaceConfig service = driver::test::service_config();
  const std::string server = " is not the server 192.0.2.7:51820";
  struct Row {
    std::string note;  // the journal's "server" note as the adapter goes up
    Spoiled input;
    std::array<std::uint8_t, 4> server_address{192, 0, 2, 7};
    std::uint16_t server_port = 51820;
    bool sends = true;  // initiations go out
  };
  const Row rows[] = {
      {"answers", {service}},
      {"answers", {aimed_at({{203, 0, 113, 7}, 443})}, {203, 0, 113, 7}, 443},
      {"endpoint 192.0.2.1:51820" + server, {aimed_at({{192, 0, 2, 1}, 51820})}},
      {"endpoint 192.0.2.7:51821" + server, {aimed_at({{192, 0, 2, 7}, 51821})}},
      {"endpoint family 23" + server, {service_config_with([](driver::PeerConfig& peer) {
         peer.endpoint = driver::Ipv6Endpoint{{0xfd}, 51820};
       })}},
      {"no private key", {service, 0, {0x08}}, {192, 0, 2, 7}, 51820, false},
      {"no endpoint", {service, 80, {0x07}}, {192, 0, 2, 7}, 51820, false},
      {"endpoint 192.0.2.7:27850" + server, {service, 158, {0x6C, 0xCA}}},
      {"endpoint 0.0.0.0:51820" + server, {service, 160, {0, 0, 0, 0, 192, 0, 2, 7}}},
  };
  for (const Row& row : rows) {
    reset();
    set_scenario({.handshake_delay = std::chrono::milliseconds(0),
                  .server_address = row.server_address,
                  .server_port = row.server_port});
    void* adapter = WireGuardCreateAdapter(u"Reach", u"Type", nullptr);
    std::vector<std::uint8_t> bytes = row.input.bytes();
    ASSERT_EQ(
        WireGuardSetConfiguration(adapter, bytes.data(), static_cast<std::uint32_t>(bytes.size())),
        1)
        << row.note;
    ASSERT_EQ(WireGuardSetAdapterState(adapter, abi::kAdapterStateUp), 1);
    EXPECT_EQ(journal().back().field("server"), row.note);
    const std::vector<std::uint8_t> image = read_back(adapter);
    const bool answered = row.note == "answers";
    EXPECT_EQ(u64_at(image, 80 + 120) != 0, answered) << row.note;   // last handshake
    EXPECT_EQ(u64_at(image, 80 + 112) != 0, answered) << row.note;   // rx
    EXPECT_EQ(u64_at(image, 80 + 104) != 0, row.sends) << row.note;  // tx
    WireGuardCloseAdapter(adapter);
  }
}

TEST_F(WireGuardSimDriver, FailuresCarryTheDriversErrorCodes) {
  set_scenario({.faults = {Fault::kSetStateDown}});
  void* adapter = WireGuardCreateAdapter(u"Codes", u"Type", nullptr);
  ASSERT_NE(adapter, nullptr);
  abi::AdapterState adapter_state{};
  struct Row {
    const char* call;
    std::function<bool()> fails;
    std::uint32_t code;
  };
  const Row rows[] = {
      {"open of a missing adapter", [] { return WireGuardOpenAdapter(u"Missing") == nullptr; }, 2},
      {"create of a taken name",
       [] { return WireGuardCreateAdapter(u"Codes", u"Type", nullptr) == nullptr; }, 183},
      {"create without a name",
       [] { return WireGuardCreateAdapter(u"", u"Type", nullptr) == nullptr; }, 87},
      {"a state that does not exist",
       [&] { return WireGuardSetAdapterState(adapter, abi::AdapterState{2}) == 0; }, 87},
      {"an injected fault",
       [&] { return WireGuardSetAdapterState(adapter, abi::kAdapterStateDown) == 0; }, 31},
      {"a state query without room",
       [&] { return WireGuardGetAdapterState(adapter, nullptr) == 0; }, 87},
      {"a handle it never gave",
       [&] { return WireGuardGetAdapterState(reinterpret_cast<void*>(999), &adapter_state) == 0; },
       6},
  };
  for (const Row& row : rows) {
    set_last_system_error(0);
    EXPECT_TRUE(row.fails()) << row.call;
    EXPECT_EQ(last_system_error(), row.code) << row.call;
  }
  WireGuardCloseAdapter(adapter);
}

TEST_F(WireGuardSimDriver, SizeQueryAnswersFalseWithMoreData) {
  void* adapter = WireGuardCreateAdapter(u"Size", u"Type", nullptr);
  std::uint32_t size = 0;
  EXPECT_EQ(WireGuardGetConfiguration(adapter, nullptr, &size), 0);
  EXPECT_EQ(last_system_error(), 234u);
  EXPECT_EQ(size, 80u);
  std::vector<std::uint64_t> buffer(10);
  size = 79;
  EXPECT_EQ(WireGuardGetConfiguration(adapter, buffer.data(), &size), 0);
  EXPECT_EQ(size, 80u);
  EXPECT_EQ(WireGuardGetConfiguration(adapter, buffer.data(), &size), 1);
  WireGuardCloseAdapter(adapter);
}

TEST_F(WireGuardSimDriver, FilesBesideTheLibrarySteerItAndRecordIt) {
  const std::filesystem::path directory =
      std::filesystem::temp_directory_path() / "kesta_wireguard_sim_test";
  std::filesystem::remove_all(directory);
  std::filesystem::create_directories(directory);
  use_directory(directory.string());
  std::ofstream(directory / kScenarioFileName) << "fail CreateAdapter\n";
  EXPECT_EQ(WireGuardCreateAdapter(u"Filed", u"Type", nullptr), nullptr);
  // Read on every call: a changed file takes effect at once, a bad one keeps the last good.
  std::ofstream(directory / kScenarioFileName) << "# defaults\n";
  void* created = WireGuardCreateAdapter(u"Filed", u"Type", nullptr);
  EXPECT_NE(created, nullptr);
  std::ofstream(directory / kScenarioFileName) << "handshake Sometimes\n";
  void* opened = WireGuardOpenAdapter(u"Filed");
  EXPECT_NE(opened, nullptr);
  use_directory("");
  WireGuardCloseAdapter(opened);
  WireGuardCloseAdapter(created);

  std::ifstream journal(directory / kJournalFileName);
  std::vector<std::string> lines;
  for (std::string line; std::getline(journal, line);) lines.push_back(line);
  ASSERT_EQ(lines.size(), 3u);
  EXPECT_EQ(lines[0], "CreateAdapter name=Filed type=Type guid=null result=null");
  EXPECT_EQ(lines[1].rfind("CreateAdapter name=Filed type=Type guid=null result=", 0), 0u);
  EXPECT_EQ(lines[2].rfind("OpenAdapter scenario_error=handshake%20Sometimes name=Filed", 0), 0u)
      << lines[2];
  journal.close();
  std::filesystem::remove_all(directory);
}

}  // namespace
}  // namespace kesta::wgsim
