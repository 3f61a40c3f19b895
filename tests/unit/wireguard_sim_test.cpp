// The simulated driver library is what every driver test leans on, so its own rules are
// checked here: the scenario text, the journal lines, and what it refuses as a driver would.

#include "wireguard_sim/wireguard_sim.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "driver/config_buffer.h"
#include "wireguard_sim/exports.h"

namespace kesta::wgsim {
namespace {

TEST(WireGuardSimScenario, TextRoundTrip) {
  const Scenario scenario{
      .faults = {Fault::kOpenAdapter, Fault::kSetStateDown},
      .read_anomaly = ReadAnomaly::kSizeTooSmall,
      .anomaly_after_reads = 3,
      .handshake = Handshake::kRxWithoutHandshake,
      .handshake_delay = std::chrono::milliseconds(250),
      .existing_adapters = {"RedevUva", "Other"},
  };
  const auto [parsed, bad] = parse_scenario(format_scenario(scenario));
  ASSERT_TRUE(parsed.has_value()) << bad;
  EXPECT_EQ(*parsed, scenario);

  const auto [defaults, none] = parse_scenario("# nothing but a comment\n\n");
  ASSERT_TRUE(defaults.has_value());
  EXPECT_EQ(*defaults, Scenario{});
  EXPECT_EQ(defaults->handshake_delay, std::chrono::milliseconds(20));
}

TEST(WireGuardSimScenario, NamesTheLineItDoesNotUnderstand) {
  for (const char* line : {"fail Everything", "handshake Sometimes", "handshake_delay_ms -1",
                           "read_anomaly", "colour blue"}) {
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

TEST_F(WireGuardSimDriver, RefusesMalformedConfigurations) {
  driver::PeerConfig peer;
  peer.public_key = driver::Key{1};
  peer.endpoint = driver::Ipv4Endpoint{{192, 0, 2, 1}, 1};
  peer.allowed_ips = {driver::IpPrefix::ipv4({0, 0, 0, 0}, 0)};
  const auto good = driver::write_config_buffer({driver::Key{2}, {peer}});
  ASSERT_TRUE(good.has_value());
  const std::vector<std::uint8_t> valid(good->data(), good->data() + good->size());

  struct Row {
    const char* reason;
    std::size_t size;
    std::size_t offset;
    std::uint8_t value;
  };
  const Row rows[] = {
      {"", 240, 0, 0x0A},
      {"too small for the interface", 79, 0, 0x0A},
      {"unknown interface flags", 240, 0, 0x1A},
      {"peer runs past the end", 215, 0, 0x0A},
      {"allowed IP runs past the end", 239, 0, 0x0A},
      {"unknown peer flags", 240, 80, 0x49},
      {"peer without public key", 240, 80, 0x08},
      {"endpoint of unknown family", 240, 80 + 76, 0},
      {"allowed IP invalid", 240, 216 + 18, 33},
      {"allowed IP invalid", 240, 216 + 16, 3},
  };
  void* adapter = WireGuardCreateAdapter(u"Config", u"Type", nullptr);
  ASSERT_NE(adapter, nullptr);
  for (const Row& row : rows) {
    std::vector<std::uint8_t> bytes = valid;
    bytes[row.offset] = row.value;
    const int result =
        WireGuardSetConfiguration(adapter, bytes.data(), static_cast<std::uint32_t>(row.size));
    EXPECT_EQ(result, row.reason[0] == '\0' ? 1 : 0) << row.reason;
    EXPECT_EQ(journal().back().field("refused"), row.reason);
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
