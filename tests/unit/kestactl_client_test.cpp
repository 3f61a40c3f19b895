// kestactl's client commands without a pipe: the configuration file, what people and scripts
// see, and the exit status for every way an exchange with the service can end.
#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

#include "client.h"
#include "protocol/decode.h"
#include "protocol/encode.h"

namespace kesta::kestactl {
namespace {

constexpr char kKey1[] = "AQEBAQEBAQEBAQEBAQEBAQEBAQEBAQEBAQEBAQEBAQE=";
constexpr char kKey2[] = "AgICAgICAgICAgICAgICAgICAgICAgICAgICAgICAgI=";
constexpr char kKey3[] = "yMnKy8zNzs/Q0dLT1NXW19jZ2tvc3d7f4OHi4+Tl5uc=";

protocol::Key key_of(std::uint8_t byte) {
  protocol::Key key;
  key.fill(byte);
  return key;
}

// Resolves vpn.example.test only, and records what it was asked.
struct FakeResolver {
  std::vector<std::string> asked;
  Resolver get() {
    return [this](std::string_view host) -> std::expected<protocol::Ipv4Address, std::string> {
      asked.emplace_back(host);
      if (host == "vpn.example.test") return protocol::Ipv4Address{198, 51, 100, 7};
      return std::unexpected(std::string("host not found"));
    };
  }
};

std::string valid_file(std::string_view endpoint = "203.0.113.1:51820") {
  return std::string(
             "# tunnel to the office\n"
             "[Interface]\n"
             "PrivateKey = ") +
         kKey1 +
         "\n"
         "Address = 10.0.0.2/32   # ours\n"
         "\n"
         "[Peer]\n"
         "PublicKey = " +
         kKey2 + "\nPresharedKey = " + kKey3 + "\nEndpoint = " + std::string(endpoint) + "\n";
}

TEST(KestactlConfigFile, ValidFilesGiveTheConfig) {
  FakeResolver resolver;
  const auto config = parse_config_file(valid_file(), resolver.get());
  ASSERT_TRUE(config) << config.error();
  EXPECT_EQ(config->encryption.client_key, key_of(1));
  EXPECT_EQ(config->encryption.server_key, key_of(2));
  EXPECT_EQ(config->encryption.shared_key[0], 0xc8);
  EXPECT_EQ(config->endpoint.ip, (protocol::Ipv4Address{203, 0, 113, 1}));
  EXPECT_EQ(config->endpoint.port, 51820);
  EXPECT_EQ(config->endpoint.url, "");
  EXPECT_EQ(config->client.ip, (protocol::Ipv4Address{10, 0, 0, 2}));
  EXPECT_TRUE(resolver.asked.empty()) << "a numeric endpoint is not looked up";

  // Other spellings of the same file: CRLF, a byte-order mark, no prefix, any key case,
  // sections in the other order, the one AllowedIPs the service supports.
  const std::string variants[] = {
      std::string("\xEF\xBB\xBF[Peer]\r\nendpoint=203.0.113.1:51820\r\npublickey=") + kKey2 +
          "\r\nPRESHAREDKEY=" + kKey3 + "\r\nAllowedIPs = 0.0.0.0/0\r\n[interface]\r\nAddress=" +
          "10.0.0.2\r\nPrivateKey=" + kKey1 + "\r\n",
      std::string("[Interface]\n  PrivateKey\t=\t") + kKey1 +
          "  \nAddress = 10.0.0.2\n[Peer]\nPublicKey = " + kKey2 + "\nPresharedKey = " + kKey3 +
          "\nEndpoint = 203.0.113.1:51820",
  };
  for (const std::string& text : variants) {
    const auto same = parse_config_file(text, resolver.get());
    ASSERT_TRUE(same) << same.error();
    EXPECT_EQ(*same, *config);
  }
}

TEST(KestactlConfigFile, HostNamesAreResolvedAndSentAsUrl) {
  FakeResolver resolver;
  const auto config = parse_config_file(valid_file("vpn.example.test:443"), resolver.get());
  ASSERT_TRUE(config) << config.error();
  EXPECT_EQ(config->endpoint.ip, (protocol::Ipv4Address{198, 51, 100, 7}));
  EXPECT_EQ(config->endpoint.port, 443);
  EXPECT_EQ(config->endpoint.url, "vpn.example.test");
  EXPECT_EQ(resolver.asked, std::vector<std::string>{"vpn.example.test"});

  const auto unknown = parse_config_file(valid_file("nowhere.test:443"), resolver.get());
  EXPECT_EQ(unknown.error(), "line 9: Endpoint: cannot resolve 'nowhere.test': host not found");
}

TEST(KestactlConfigFile, ErrorsNameTheLine) {
  FakeResolver resolver;
  const std::string interface =
      std::string("[Interface]\nPrivateKey = ") + kKey1 + "\nAddress = 10.0.0.2\n";
  const std::string peer = std::string("[Peer]\nPublicKey = ") + kKey2 +
                           "\nPresharedKey = " + kKey3 + "\nEndpoint = 203.0.113.1:51820\n";
  struct Row {
    std::string text;
    std::string error;
  } rows[] = {
      // Missing keys and sections.
      {"[Interface]\nAddress = 10.0.0.2\n" + peer, "line 1: [Interface] has no PrivateKey"},
      {interface + "[Peer]\nPublicKey = " + kKey2 + "\nEndpoint = 1.2.3.4:5\n",
       "line 4: [Peer] has no PresharedKey"},
      {interface, "the file has no [Peer] section (PublicKey is required)"},
      {"", "the file has no [Interface] section (PrivateKey is required)"},
      // Unsupported keys, sections and lines.
      {interface + "DNS = 1.1.1.1\n" + peer, "line 4: unsupported key 'DNS' in [Interface]"},
      {interface + "Endpoint = 1.2.3.4:5\n" + peer,
       "line 4: unsupported key 'Endpoint' in [Interface]"},
      {interface + peer + "PersistentKeepalive = 25\n",
       "line 8: unsupported key 'PersistentKeepalive' in [Peer]"},
      {interface + peer + "AllowedIPs = 10.0.0.0/8\n",
       "line 8: AllowedIPs: the service always routes 0.0.0.0/0 through the tunnel; got "
       "'10.0.0.0/8'"},
      {"PrivateKey = x\n", "line 1: 'PrivateKey' before any [Interface] or [Peer] section"},
      {interface + "[Route]\n",
       "line 4: unsupported section [Route]; expected [Interface] or [Peer]"},
      {interface + peer + "[Peer]\n",
       "line 8: a second [Peer] (the first is on line 4); the service holds one interface with "
       "one peer"},
      {interface + "just words\n", "line 4: expected Key = Value or a [Section], got 'just words'"},
      {interface + "Address = 10.0.0.3\n", "line 4: Address given twice (first on line 3)"},
      // Bad values.
      {"[Interface]\nPrivateKey = AAAA\n", "line 2: PrivateKey: Invalid key length: 3"},
      {"[Interface]\nPrivateKey =\n", "line 2: PrivateKey has no value"},
      {"[Interface]\nPrivateKey = " + std::string(kKey1).substr(0, 43) + "\n",
       "line 2: PrivateKey: Invalid padding"},
      {"[Interface]\nAddress = 10.0.0.2/24\n",
       "line 2: Address: the service gives the tunnel a single address; use /32 or no prefix, got "
       "'10.0.0.2/24'"},
      {"[Interface]\nAddress = fd00::2/128\n",
       "line 2: Address: expected an IPv4 address A.B.C.D, got 'fd00::2/128'"},
      {"[Interface]\nAddress = 10.0.0.2, 10.0.0.3\n",
       "line 2: Address: expected an IPv4 address A.B.C.D, got '10.0.0.2, 10.0.0.3'"},
      {"[Peer]\nEndpoint = 203.0.113.1\n",
       "line 2: Endpoint: expected IPv4:PORT or HOST:PORT, got '203.0.113.1'"},
      {"[Peer]\nEndpoint = 203.0.113.1:65536\n",
       "line 2: Endpoint: expected IPv4:PORT or HOST:PORT, got '203.0.113.1:65536'"},
      {"[Peer]\nEndpoint = [2001:db8::1]:51820\n",
       "line 2: Endpoint: expected IPv4:PORT or HOST:PORT, got '[2001:db8::1]:51820'"},
  };
  for (const Row& row : rows) {
    const auto config = parse_config_file(row.text, resolver.get());
    ASSERT_FALSE(config) << row.error;
    EXPECT_EQ(config.error(), row.error) << row.text;
  }
}

TEST(KestactlOutput, UnitsAndAges) {
  const std::pair<std::uint64_t, std::string> sizes[] = {{0, "0 B"},
                                                         {1023, "1023 B"},
                                                         {1024, "1.00 KiB"},
                                                         {1536, "1.50 KiB"},
                                                         {1048575, "1.00 MiB"},
                                                         {5 * 1048576ull, "5.00 MiB"},
                                                         {1ull << 40, "1.00 TiB"},
                                                         {~0ull, "16.00 EiB"}};
  for (const auto& [bytes, text] : sizes) EXPECT_EQ(human_bytes(bytes), text) << bytes;
  const std::pair<std::int64_t, std::string> ages[] = {{0, "0 seconds ago"},
                                                       {1, "1 second ago"},
                                                       {59, "59 seconds ago"},
                                                       {61, "1 minute, 1 second ago"},
                                                       {3725, "1 hour, 2 minutes ago"},
                                                       {2 * 86400 + 3600, "2 days, 1 hour ago"},
                                                       {-3, "in 3 seconds"}};
  for (const auto& [seconds, text] : ages) EXPECT_EQ(how_long_ago(seconds), text) << seconds;
  EXPECT_EQ(json_string("a\"b\\c\nd\x01"), "\"a\\\"b\\\\c\\nd\\u0001\"");
}

// 2023-11-14 22:13:20.5 UTC, 1234 bytes sent, 5678 received; the clock 5 seconds later.
const protocol::Response kConnected =
    protocol::Connected{{protocol::SystemTime{133'444'736'005'000'000}, 1234, 5678}};

TimeContext utc_at(std::int64_t now) {
  return {now, [](std::time_t t) {
            std::tm tm{};
#ifdef _WIN32
            gmtime_s(&tm, &t);
#else
            gmtime_r(&t, &tm);
#endif
            return tm;
          }};
}

// A pipe that answers with a fixed outcome and keeps what it was asked to deliver.
struct FakePipe {
  Exchange answer;
  std::vector<PipeRequest> requests;
};

struct ClientRun {
  int status;
  Output output;
};

ClientRun client(FakePipe& pipe, std::string command, std::vector<std::string> args,
                 std::map<std::string, std::string> files = {}) {
  ClientEnvironment environment;
  environment.deliver = [&pipe](const PipeRequest& request) {
    pipe.requests.push_back(request);
    return pipe.answer;
  };
  environment.resolve = FakeResolver().get();
  environment.read_file =
      [files](const std::string& path) -> std::expected<std::string, std::string> {
    if (const auto it = files.find(path); it != files.end()) return it->second;
    return std::unexpected(std::string("no such file"));
  };
  environment.time = utc_at(1'700'000'005);
  ClientRun run{};
  run.status = run_client(command, args, environment, run.output);
  return run;
}

Exchange response(const protocol::Response& r) {
  return {Exchange::Outcome::kResponse, *protocol::encode_response(r), {}};
}

TEST(KestactlClient, OutputAndExitStatusForEveryOutcome) {
  using O = Exchange::Outcome;
  struct Row {
    Exchange answer;
    bool json;
    int status;
    std::string out;
    std::string err;
  } rows[] = {
      {response(kConnected), false, 0,
       "state: connected\nlast handshake: 2023-11-14 22:13:20 (5 seconds ago)\n"
       "sent: 1.21 KiB (1234 bytes)\nreceived: 5.54 KiB (5678 bytes)\n",
       ""},
      {response(kConnected), true, 0,
       "{\"state\":\"connected\",\"last_handshake\":{\"unix_seconds\":1700000000,"
       "\"nanoseconds\":500000000},\"seconds_since_handshake\":5,\"tx_bytes\":1234,"
       "\"rx_bytes\":5678}\n",
       ""},
      {response(protocol::Connected{}), false, 0,
       "state: connected\nlast handshake: none yet\nsent: 0 B (0 bytes)\nreceived: 0 B (0 "
       "bytes)\n",
       ""},
      {response(protocol::Connected{}), true, 0,
       "{\"state\":\"connected\",\"last_handshake\":null,\"seconds_since_handshake\":null,"
       "\"tx_bytes\":0,\"rx_bytes\":0}\n",
       ""},
      {response(protocol::Disconnected{}), false, 0, "state: disconnected\n", ""},
      {response(protocol::Disconnected{}), true, 0, "{\"state\":\"disconnected\"}\n", ""},
      {response(protocol::Error{"Failed to disconnect: no adapter"}), false, 1, "",
       "kestactl: the service answered with an error: Failed to disconnect: no adapter\n"},
      {response(protocol::Error{"say \"no\""}), true, 1,
       "{\"state\":\"error\",\"error\":\"say \\\"no\\\"\"}\n", ""},
      {{O::kNoResponse, {}, {}},
       false,
       3,
       "",
       "kestactl: the service ended the connection without a response; it refuses requests it "
       "cannot read, and its log says why\n"},
      {{O::kResponse, "rm5vdCBhIHJlc3BvbnNl\n", {}},
       true,
       3,
       "{\"state\":\"no_response\",\"error\":\"unreadable response 'rm5vdCBhIHJlc3BvbnNl': "
       "unknown variant `not a response`, expected one of `Connected`, `Disconnected`, "
       "`Error`\"}\n",
       "kestactl: unreadable response 'rm5vdCBhIHJlc3BvbnNl': unknown variant `not a response`, "
       "expected one of `Connected`, `Disconnected`, `Error`\n"},
      {{O::kUnreachable, {}, "The system cannot find the file specified. (os error 2)"},
       false,
       4,
       "",
       "kestactl: cannot reach the service at \\\\.\\pipe\\redevuva.sock: The system cannot find "
       "the file specified. (os error 2)\nIs redevuva_service installed and running? Check with "
       "'kestactl status'.\n"},
      {{O::kUnreachable, {}, "gone"},
       true,
       4,
       "{\"state\":\"unreachable\",\"error\":\"gone\"}\n",
       "kestactl: cannot reach the service at \\\\.\\pipe\\redevuva.sock: gone\nIs "
       "redevuva_service installed and running? Check with 'kestactl status'.\n"},
  };
  for (const Row& row : rows) {
    FakePipe pipe{row.answer, {}};
    const ClientRun run = client(
        pipe, "info", row.json ? std::vector<std::string>{"--json"} : std::vector<std::string>{});
    EXPECT_EQ(run.status, row.status) << row.out << row.err;
    EXPECT_EQ(run.output.out, row.out);
    // The unreadable-response row depends on the decoder's wording; compare its start only.
    if (row.status == 3 && row.json) {
      EXPECT_TRUE(run.output.err.starts_with("kestactl: unreadable response")) << run.output.err;
    } else {
      EXPECT_EQ(run.output.err, row.err);
    }
  }
}

TEST(KestactlClient, SendsTheRightLineAndVerifiesOnlyConnect) {
  FakePipe pipe{response(protocol::Disconnected{}), {}};
  const std::string file = valid_file();
  EXPECT_EQ(client(pipe, "info", {"--pipe", "test.sock"}).status, 0);
  EXPECT_EQ(client(pipe, "disconnect", {"--pipe=\\\\.\\pipe\\other"}).status, 0);
  EXPECT_EQ(client(pipe, "connect", {"office.conf"}, {{"office.conf", file}}).status, 0);
  EXPECT_EQ(
      client(pipe, "connect",
             {"--no-verify-server", "--private-key", kKey1, "--public-key", kKey2,
              "--preshared-key", kKey3, "--endpoint", "203.0.113.1:51820", "--address", "10.0.0.2"})
          .status,
      0);
  EXPECT_EQ(client(pipe, "send", {"pEluZm8="}).status, 0);
  ASSERT_EQ(pipe.requests.size(), 5u);
  EXPECT_EQ(pipe.requests[0].pipe, "\\\\.\\pipe\\test.sock");
  EXPECT_EQ(pipe.requests[0].line, "pEluZm8=\n");
  EXPECT_EQ(pipe.requests[1].pipe, "\\\\.\\pipe\\other");
  EXPECT_EQ(pipe.requests[1].line, "qkRpc2Nvbm5lY3Q=\n");
  EXPECT_EQ(pipe.requests[2].pipe, "\\\\.\\pipe\\redevuva.sock");
  // The file and the flags describe the same tunnel, so they give the same line.
  EXPECT_EQ(pipe.requests[2].line, pipe.requests[3].line);
  const auto sent = protocol::decode_command(pipe.requests[2].line);
  ASSERT_TRUE(sent.command);
  EXPECT_EQ(std::get<protocol::Connect>(*sent.command).config.client.ip,
            (protocol::Ipv4Address{10, 0, 0, 2}));
  EXPECT_EQ(pipe.requests[0].verify_service, "");
  EXPECT_EQ(pipe.requests[1].verify_service, "");
  EXPECT_EQ(pipe.requests[2].verify_service, "redevuva_service");
  EXPECT_EQ(pipe.requests[3].verify_service, "") << "--no-verify-server";
  EXPECT_EQ(pipe.requests[4].verify_service, "");

  // A raw Connect line is verified like any other Connect.
  client(pipe, "send", {pipe.requests[2].line.substr(0, pipe.requests[2].line.size() - 1)});
  EXPECT_EQ(pipe.requests.back().verify_service, "redevuva_service");
  EXPECT_EQ(pipe.requests.back().line, pipe.requests[2].line);
}

TEST(KestactlClient, SendPrintsTheRawResponse) {
  using O = Exchange::Outcome;
  struct Row {
    Exchange answer;
    int status;
    std::string out;
  } rows[] = {
      {response(protocol::Disconnected{}), 0, "rERpc2Nvbm5lY3RlZA==\n"},
      {response(protocol::Error{"x"}), 1, "gaVFcnJvcqF4\n"},
      {{O::kResponse, "garbage\n", {}}, 3, "garbage\n"},
      {{O::kNoResponse, {}, {}}, 3, ""},
      {{O::kUntrusted, {}, "not the service"}, 5, ""},
  };
  for (const Row& row : rows) {
    FakePipe pipe{row.answer, {}};
    const ClientRun run = client(pipe, "send", {"pEluZm8="});
    EXPECT_EQ(run.status, row.status) << row.out;
    EXPECT_EQ(run.output.out, row.out);
  }
}

TEST(KestactlClient, UsageErrorsReachNoPipe) {
  struct Row {
    std::string command;
    std::vector<std::string> args;
    std::string err_first_line;
  } rows[] = {
      {"info", {"now"}, "kestactl: info: unexpected argument 'now'"},
      {"info", {"--pipe"}, "kestactl: info: --pipe needs a value"},
      {"connect", {}, "kestactl: connect: give FILE.conf or the connect flags"},
      {"connect", {"missing.conf"}, "kestactl: connect: cannot read missing.conf: no such file"},
      {"connect",
       {"bad.conf"},
       "kestactl: bad.conf: line 1: unsupported section [Tunnel]; "
       "expected [Interface] or [Peer]"},
      {"connect", {"--private-key", kKey1}, "kestactl: connect: missing --public-key"},
      {"send", {}, "kestactl: send: which line?"},
      {"send", {"a", "b"}, "kestactl: send: unexpected argument 'b'"},
      {"send", {"--json", "a"}, "kestactl: send: unexpected argument '--json'"},
  };
  for (const Row& row : rows) {
    FakePipe pipe{response(protocol::Disconnected{}), {}};
    const ClientRun run = client(pipe, row.command, row.args, {{"bad.conf", "[Tunnel]\n"}});
    EXPECT_EQ(run.status, kExitUsage) << row.err_first_line;
    EXPECT_EQ(run.output.err, row.err_first_line + "\nTry 'kestactl --help'.\n");
    EXPECT_TRUE(pipe.requests.empty()) << row.err_first_line;
  }
  FakePipe pipe{response(protocol::Disconnected{}), {}};
  const ClientRun help = client(pipe, "connect", {"--help"});
  EXPECT_EQ(help.status, kExitOk);
  EXPECT_TRUE(help.output.out.starts_with("Usage: kestactl info")) << help.output.out;
}

}  // namespace
}  // namespace kesta::kestactl
