// WireGuard configuration files as providers export them and as wg-quick users write them:
// every problem reported at once with its line, what the service does not do listed together,
// and no secret in any message.
#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

#include "client.h"
#include "protocol/decode.h"

namespace kesta::kestactl {
namespace {

// Private, public and preshared keys; the first and last must never appear in a message.
const std::string kPrivate = "yMnKy8zNzs/Q0dLT1NXW19jZ2tvc3d7f4OHi4+Tl5uc=";
const std::string kPublic = "AgICAgICAgICAgICAgICAgICAgICAgICAgICAgICAgI=";
const std::string kShared = "AQEBAQEBAQEBAQEBAQEBAQEBAQEBAQEBAQEBAQEBAQE=";

std::expected<protocol::Ipv4Address, std::string> resolve(std::string_view host) {
  if (host == "vpn.example.test") return protocol::Ipv4Address{198, 51, 100, 7};
  return std::unexpected(std::string("host not found"));
}

// No message may hold a secret key, whole or in part.
void expect_no_secret(const std::string& text) {
  for (const std::string& secret : {kPrivate, kShared}) {
    EXPECT_EQ(text.find(secret.substr(0, 12)), std::string::npos) << text;
    EXPECT_EQ(text.find(secret.substr(30, 12)), std::string::npos) << text;
  }
}

std::string replaced(std::string text, std::string_view from, std::string_view to) {
  const std::size_t at = text.find(from);
  EXPECT_NE(at, std::string::npos) << from;
  return at == std::string::npos ? text : text.replace(at, from.size(), to);
}

// The text as Windows' tools save "Unicode": UTF-16 with a byte order mark.
std::string utf16(std::string_view text, bool little_endian) {
  std::string bytes = little_endian ? "\xFF\xFE" : "\xFE\xFF";
  for (const char c : text) {
    bytes += little_endian ? std::string{c, '\0'} : std::string{'\0', c};
  }
  return bytes;
}

// Lines 1 to 9.
const std::string kOffice = "# tunnel to the office\n[Interface]\nPrivateKey = " + kPrivate +
                            "\nAddress = 10.0.0.2/32   # ours\n\n[Peer]\nPublicKey = " + kPublic +
                            "\nPresharedKey = " + kShared + "\nEndpoint = 203.0.113.1:51820\n";

TEST(KestactlConfigFile, AcceptedSpellingsGiveTheSameConfig) {
  const ConfigFile office = parse_config_file(kOffice, resolve);
  ASSERT_TRUE(office.errors.empty()) << office.errors[0].text;
  EXPECT_TRUE(office.unsupported.empty());
  EXPECT_EQ(office.config.endpoint, (protocol::ConfigEndpoint{"", {203, 0, 113, 1}, 51820}));
  EXPECT_EQ(office.config.client, (protocol::ConfigClient{{10, 0, 0, 2}, {}}));
  EXPECT_EQ(office.config.encryption.client_key[0], 0xc8);
  EXPECT_EQ(office.config.encryption.server_key[0], 2);
  EXPECT_EQ(office.config.encryption.shared_key[0], 1);

  auto with_endpoint = [](protocol::Config config, protocol::ConfigEndpoint endpoint) {
    config.endpoint = std::move(endpoint);
    return config;
  };
  auto without_shared = [](protocol::Config config) {
    config.encryption.shared_key = {};  // WireGuard's "no preshared key"
    return config;
  };
  const struct {
    std::string text;
    protocol::Config config;
  } rows[] = {
      // CRLF, a byte-order mark, any key case, sections in the other order, a bare address.
      {"\xEF\xBB\xBF[Peer]\r\nendpoint=203.0.113.1:51820\r\npublickey=" + kPublic +
           "\r\nPRESHAREDKEY=" + kShared + "\r\nAllowedIPs = 0.0.0.0/0\r\n[interface]\r\n" +
           "Address=10.0.0.2\r\nPrivateKey=" + kPrivate + "\r\n",
       office.config},
      // No PresharedKey; AllowedIPs that cover everything in halves, over two lines.
      {replaced(kOffice, "PresharedKey = " + kShared,
                "AllowedIPs = 0.0.0.0/1\nAllowedIPs = 128.0.0.0/1, 10.0.0.0/8"),
       without_shared(office.config)},
      {replaced(kOffice, "203.0.113.1:51820", "vpn.example.test:443"),
       with_endpoint(office.config, {"vpn.example.test", {198, 51, 100, 7}, 443})},
      {utf16(replaced(kOffice, "\n\n", "\r\n\r\n"), true), office.config},
      {utf16(kOffice, false), office.config},
  };
  for (const auto& row : rows) {
    const ConfigFile file = parse_config_file(row.text, resolve);
    EXPECT_TRUE(file.errors.empty()) << row.text << "\n" << file.errors[0].text;
    EXPECT_TRUE(file.unsupported.empty()) << row.text;
    EXPECT_EQ(file.config, row.config) << row.text;
  }
}

TEST(KestactlConfigFile, EachProblemOnItsLine) {
  using P = std::vector<FileProblem>;
  const std::string after_endpoint = "Endpoint = 203.0.113.1:51820\n";
  auto append = [&](std::string_view more) { return kOffice + std::string(more); };
  const struct {
    std::string text;
    P errors;
    P unsupported;
  } rows[] = {
      {"", {{0, "the file has no [Interface] section"}, {0, "the file has no [Peer] section"}}, {}},
      // Encodings other than UTF-8 and UTF-16 with a byte order mark: one problem, no more.
      {replaced(kOffice, "# tunnel", "# tunnel \xE9"),
       {{0,
         "the file is not UTF-8 or UTF-16 text (line 1 holds bytes that are not UTF-8); save it "
         "as UTF-8 or as Unicode"}},
       {}},
      {utf16(kOffice, true).substr(2),
       {{0,
         "the file is not UTF-8 or UTF-16 text (it holds NUL bytes, as UTF-16 without a byte "
         "order mark does); save it as UTF-8 or as Unicode"}},
       {}},
      {kOffice.substr(0, kOffice.find("[Peer]")), {{0, "the file has no [Peer] section"}}, {}},
      {replaced(kOffice, "# tunnel to the office", "PrivateKey = x"),
       {{1, "PrivateKey before any [Interface] or [Peer] section"}},
       {}},
      // Secrets: neither the value nor a line that is not Key = Value is ever shown.
      {replaced(kOffice, "PrivateKey = ", "PrivateKey: "),
       {{2, "[Interface] has no PrivateKey"},
        {3, "expected Key = Value or a [Section] (the line is not shown)"}},
       {}},
      {replaced(kOffice, "PrivateKey = ", ""),
       {{2, "[Interface] has no PrivateKey"},
        {3, "expected Key = Value or a [Section] (the line is not shown)"}},
       {}},
      {replaced(kOffice, kPrivate, kPrivate.substr(0, 43)),
       {{3, "PrivateKey: not the Base64 text of 32 bytes (the value is not shown)"}},
       {}},
      {replaced(kOffice, kShared, "AQEB"),
       {{8, "PresharedKey: not the Base64 text of 32 bytes (the value is not shown)"}},
       {}},
      {replaced(kOffice, kPrivate, ""), {{3, "PrivateKey has no value"}}, {}},
      {replaced(kOffice, kPublic, "AAAA"), {{7, "PublicKey: Invalid key length: 3"}}, {}},
      {replaced(kOffice, "PresharedKey", "PublicKey"),
       {{8, "PublicKey given twice (first on line 7)"}},
       {}},
      // Addresses.
      {replaced(kOffice, "10.0.0.2/32", "10.0.0.2/24"),
       {{4,
         "Address '10.0.0.2/24': the service gives the tunnel a single address; write it with "
         "/32"}},
       {}},
      {replaced(kOffice, "10.0.0.2/32", "10.0.0.2, 10.0.0.3"),
       {{4,
         "Address '10.0.0.3': the service gives the tunnel a single IPv4 address (the first is "
         "on line 4)"}},
       {}},
      {replaced(kOffice, "10.0.0.2/32", "10.0.0"),
       {{4, "Address '10.0.0': expected A.B.C.D/32"}},
       {}},
      {replaced(kOffice, "10.0.0.2/32", "fd00::2/128"),
       {{2, "[Interface] has no IPv4 Address"}},
       {{4, "Address 'fd00::2/128': the service does not do IPv6"}}},
      // Keys and sections.
      {replaced(kOffice, "\n\n", "\nEndpoint = 1.2.3.4:5\nColour = red\nTable = off\n"),
       {{5, "Endpoint belongs in [Peer], not in [Interface]"},
        {6, "unknown key 'Colour' in [Interface]"}},
       {{7, "Table: the service does not choose a routing table"}}},
      {append("[Peer]\nPublicKey = x\n"),
       {{10,
         "a second [Peer] (the first is on line 6); the service holds one interface with one "
         "peer"}},
       {}},
      {append("[Route]\nTable = 5\n[Peer\n"),
       {{10, "unknown section [Route]; expected [Interface] or [Peer]"},
        {12, "unknown section; expected [Interface] or [Peer]"}},
       {}},
      // Endpoints.
      {replaced(kOffice, after_endpoint, "Endpoint = 203.0.113.1\n"),
       {{9, "Endpoint '203.0.113.1': expected HOST:PORT or A.B.C.D:PORT"}},
       {}},
      {replaced(kOffice, after_endpoint, "Endpoint = 203.0.113.1:65536\n"),
       {{9, "Endpoint '203.0.113.1:65536': expected HOST:PORT or A.B.C.D:PORT"}},
       {}},
      {replaced(kOffice, after_endpoint, "Endpoint = [2001:db8::1]:51820\n"),
       {{9, "Endpoint '[2001:db8::1]:51820': the service reaches its server over IPv4 only"}},
       {}},
      {replaced(kOffice, after_endpoint, "Endpoint = " + kShared + "\n"),
       {{9, "Endpoint (a key, not shown): expected HOST:PORT or A.B.C.D:PORT"}},
       {}},
      {replaced(kOffice, after_endpoint, "Endpoint = nowhere.test:443\n"),
       {{9, "Endpoint 'nowhere.test:443': cannot resolve the host name: host not found"}},
       {}},
      // AllowedIPs: what the service routes is everything.
      {append("AllowedIPs = 10.0.0.0/8, 192.168.0.0/16\n"),
       {{10, "AllowedIPs: the service routes all IPv4 traffic through the tunnel; use 0.0.0.0/0"}},
       {}},
      {append("AllowedIPs = 0.0.0.0/0, 300.0.0.0/8\n"),
       {{10, "AllowedIPs '300.0.0.0/8': expected A.B.C.D/N"}},
       {}},
      {append("AllowedIPs = ::/0\n"),
       {{10, "AllowedIPs: the service routes all IPv4 traffic through the tunnel; use 0.0.0.0/0"}},
       {{10, "AllowedIPs '::/0': the service does not do IPv6"}}},
  };
  for (const auto& row : rows) {
    const ConfigFile file = parse_config_file(row.text, resolve);
    EXPECT_EQ(file.errors, row.errors) << row.text;
    EXPECT_EQ(file.unsupported, row.unsupported) << row.text;
    for (const auto& problem : file.errors) expect_no_secret(problem.text);
  }
}

// kestactl connect FILE as a user runs it: what it prints and whether it sends anything.
TEST(KestactlConfigFile, RealisticFilesThroughConnect) {
  // As a VPN provider exports it: IPv4 and IPv6 addresses, DNS, both default routes.
  const std::string provider = "[Interface]\n# Device: Quick Otter\nPrivateKey = " + kPrivate +
                               "\nAddress = 10.64.12.34/32,fc00:bbbb:bbbb:bb01::1:c22/128\n"
                               "DNS = 10.64.0.1\n\n[Peer]\nPublicKey = " +
                               kPublic +
                               "\nAllowedIPs = 0.0.0.0/0,::0/0\nEndpoint = 203.0.113.9:51820\n";
  // As the WireGuard app for Windows exports a full tunnel.
  const std::string windows_app =
      "[Interface]\r\nPrivateKey = " + kPrivate +
      "\r\nAddress = 10.8.0.3/32\r\n\r\n[Peer]\r\nPublicKey = " + kPublic +
      "\r\nPresharedKey = " + kShared +
      "\r\nAllowedIPs = 0.0.0.0/0\r\nEndpoint = vpn.example.test:51820\r\n";
  // As a wg-quick user writes one for Linux.
  const std::string wg_quick =
      "[Interface]\nAddress = 10.200.200.2/24\nListenPort = 51820\nPrivateKey = " + kPrivate +
      "\nMTU = 1380\nTable = off\nPostUp = iptables -A FORWARD -i %i -j ACCEPT; ip route add "
      "default dev %i\nPostDown = iptables -D FORWARD -i %i -j ACCEPT\nSaveConfig = false\n\n"
      "[Peer]\nPublicKey = " +
      kPublic + "\nPresharedKey = " + kShared +
      "\nEndpoint = home.example.test:51820\nAllowedIPs = 0.0.0.0/0\nPersistentKeepalive = 25\n";
  // Typed by hand from a screenshot.
  const std::string by_hand = "[interface]\nPrivateKey: " + kPrivate +
                              "\nAddress = 10.0.0.2/32\n[Peer]\nPublicKey = " + kPublic +
                              "\nPresharedKey = " + kShared.substr(0, 40) +
                              "\nEndpoint = 203.0.113.1 51820\n";
  // Not a configuration at all: 10,000 problems, of which the first 20 are shown.
  std::string junk, first_of_junk;
  for (int i = 0; i < 10'000; ++i) junk += "x\n";
  for (int line = 10; line < 30; ++line) {
    first_of_junk += "kestactl: f.conf: line " + std::to_string(line) +
                     ": expected Key = Value or a [Section] (the line is not shown)\n";
  }
  first_of_junk += "kestactl: f.conf: ... and 9980 more problems\n";
  const std::string unsupported_hint =
      "kestactl: remove them, or connect with --ignore-unsupported to leave them out\n";
  const struct {
    std::string file;
    bool ignore;
    int status;
    std::string err;
  } rows[] = {
      {provider, false, kExitUsage,
       "kestactl: f.conf: the service does not do what these lines ask for:\n"
       "  line 4: Address 'fc00:bbbb:bbbb:bb01::1:c22/128': the service does not do IPv6\n"
       "  line 5: DNS: the service does not set DNS servers\n"
       "  line 9: AllowedIPs '::0/0': the service does not do IPv6\n" +
           unsupported_hint},
      {provider, true, kExitOk,
       "kestactl: warning: f.conf: line 4: Address 'fc00:bbbb:bbbb:bb01::1:c22/128' ignored: IPv6 "
       "traffic will go around the tunnel\n"
       "kestactl: warning: f.conf: line 5: DNS '10.64.0.1' ignored: name resolution will not use "
       "the tunnel\n"
       "kestactl: warning: f.conf: line 9: AllowedIPs '::0/0' ignored: IPv6 traffic will go around "
       "the tunnel\n"},
      {windows_app + junk, false, kExitUsage, first_of_junk},
      {windows_app, false, kExitOk, ""},
      {wg_quick, true, kExitUsage,
       "kestactl: f.conf: line 2: Address '10.200.200.2/24': the service gives the tunnel a single "
       "address; write it with /32\n"
       "kestactl: f.conf: line 14: Endpoint 'home.example.test:51820': cannot resolve the host "
       "name: host not found\n"},
      {wg_quick, false, kExitUsage,
       "kestactl: f.conf: line 2: Address '10.200.200.2/24': the service gives the tunnel a single "
       "address; write it with /32\n"
       "kestactl: f.conf: line 14: Endpoint 'home.example.test:51820': cannot resolve the host "
       "name: host not found\n"
       "kestactl: f.conf: the service does not do what these lines ask for:\n"
       "  line 3: ListenPort: the service does not choose a listening port\n"
       "  line 5: MTU: the service sets the MTU itself (1420)\n"
       "  line 6: Table: the service does not choose a routing table\n"
       "  line 7: PostUp: the service runs no commands\n"
       "  line 8: PostDown: the service runs no commands\n"
       "  line 9: SaveConfig: the service does not save configurations\n"
       "  line 16: PersistentKeepalive: the service sends keepalives every 15 seconds on its "
       "own\n" +
           unsupported_hint},
      {by_hand, false, kExitUsage,
       "kestactl: f.conf: line 1: [Interface] has no PrivateKey\n"
       "kestactl: f.conf: line 2: expected Key = Value or a [Section] (the line is not shown)\n"
       "kestactl: f.conf: line 6: PresharedKey: not the Base64 text of 32 bytes (the value is not "
       "shown)\n"
       "kestactl: f.conf: line 7: Endpoint '203.0.113.1 51820': expected HOST:PORT or "
       "A.B.C.D:PORT\n"},
  };
  for (const auto& row : rows) {
    std::vector<PipeRequest> sent;
    ClientEnvironment environment;
    environment.deliver = [&sent](const PipeRequest& request) {
      sent.push_back(request);
      return Exchange{Exchange::Outcome::kResponse, "rERpc2Nvbm5lY3RlZA==\n", {}};
    };
    environment.resolve = resolve;
    environment.read_file = [&row](const std::string&) -> std::expected<std::string, std::string> {
      return row.file;
    };
    std::vector<std::string> args = {"f.conf"};
    if (row.ignore) args.insert(args.begin(), "--ignore-unsupported");
    Output output;
    EXPECT_EQ(run_client("connect", args, environment, output), row.status) << row.file;
    EXPECT_EQ(output.err, row.err) << row.file;
    expect_no_secret(output.err);
    ASSERT_EQ(sent.size(), row.status == kExitOk ? 1u : 0u) << row.file;
    if (sent.empty()) continue;
    const auto command = protocol::decode_command(sent[0].line).command;
    ASSERT_TRUE(command && std::holds_alternative<protocol::Connect>(*command));
    const protocol::Config& config = std::get<protocol::Connect>(*command).config;
    EXPECT_EQ(config.client.ip[0], 10);
    EXPECT_EQ(config.encryption.server_key[0], 2);
  }
}

}  // namespace
}  // namespace kesta::kestactl
