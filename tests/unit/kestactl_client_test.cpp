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

// Resolves vpn.example.test only.
std::expected<protocol::Ipv4Address, std::string> fake_resolve(std::string_view host) {
  if (host == "vpn.example.test") return protocol::Ipv4Address{198, 51, 100, 7};
  return std::unexpected(std::string("host not found"));
}

std::string valid_file() {
  return std::string("[Interface]\nPrivateKey = ") + kKey1 +
         "\nAddress = 10.0.0.2/32\n[Peer]\nPublicKey = " + kKey2 + "\nPresharedKey = " + kKey3 +
         "\nEndpoint = 203.0.113.1:51820\n";
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
  environment.resolve = fake_resolve;
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
      // What the service says is shown with its control characters escaped.
      {response(protocol::Error{"a\x1b[2Jb\nc"}), false, 1, "",
       "kestactl: the service answered with an error: a\\u{1b}[2Jb\\nc\n"},
      {response(protocol::Error{"a\x1b[2Jb\nc\xe2\x80\xa8"}), true, 1,
       "{\"state\":\"error\",\"error\":\"a\\u001b[2Jb\\nc\\u2028\"}\n", ""},
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
      {{O::kTimedOut, {}, "no answer within 30000 ms"},
       true,
       3,
       "{\"state\":\"timed_out\",\"error\":\"no answer within 30000 ms\"}\n",
       "kestactl: timed out: no answer within 30000 ms; --timeout SECONDS waits longer\n"},
      {{O::kNotRunning, {}, "redevuva_service is stopped"},
       false,
       4,
       "",
       "kestactl: cannot reach the service at \\\\.\\pipe\\redevuva.sock: redevuva_service is "
       "stopped\nIs redevuva_service installed and running? Check with 'kestactl status'.\n"},
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
    if (row.err.starts_with("kestactl: unreadable response")) {
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
  EXPECT_EQ(client(pipe, "disconnect", {"--pipe=\\\\.\\pipe\\other", "--timeout=5"}).status, 0);
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
  EXPECT_EQ(pipe.requests[0].timeout, kDefaultTimeout);
  EXPECT_EQ(pipe.requests[1].timeout, std::chrono::seconds(5));
  EXPECT_EQ(pipe.requests[1].line, "qkRpc2Nvbm5lY3Q=\n");
  EXPECT_EQ(pipe.requests[2].pipe, "\\\\.\\pipe\\redevuva.sock");
  // The file and the flags describe the same tunnel, so they give the same line.
  EXPECT_EQ(pipe.requests[2].line, pipe.requests[3].line);
  const auto sent = protocol::decode_command(pipe.requests[2].line);
  ASSERT_TRUE(sent.command);
  EXPECT_EQ(std::get<protocol::Connect>(*sent.command).config.client.ip,
            (protocol::Ipv4Address{10, 0, 0, 2}));
  EXPECT_EQ(pipe.requests[0].service, "");
  EXPECT_EQ(pipe.requests[1].service, "");
  EXPECT_EQ(pipe.requests[2].service, "redevuva_service");
  EXPECT_EQ(pipe.requests[3].service, "") << "--no-verify-server";
  EXPECT_EQ(pipe.requests[4].service, "");

  // A raw Connect line is verified like any other Connect.
  client(pipe, "send", {pipe.requests[2].line.substr(0, pipe.requests[2].line.size() - 1)});
  EXPECT_EQ(pipe.requests.back().service, "redevuva_service");
  EXPECT_EQ(pipe.requests.back().line, pipe.requests[2].line);
}

TEST(KestactlClient, SendPrintsTheRawResponse) {
  using O = Exchange::Outcome;
  struct Row {
    Exchange answer;
    bool json;
    int status;
    std::string out;
  } rows[] = {
      {response(protocol::Disconnected{}), false, 0, "rERpc2Nvbm5lY3RlZA==\n"},
      {response(protocol::Disconnected{}), true, 0,
       "{\"state\":\"disconnected\",\"line\":\"rERpc2Nvbm5lY3RlZA==\"}\n"},
      {response(protocol::Error{"x"}), false, 1, "gaVFcnJvcqF4\n"},
      {response(protocol::Error{"x"}), true, 1,
       "{\"state\":\"error\",\"error\":\"x\",\"line\":\"gaVFcnJvcqF4\"}\n"},
      {{O::kResponse, "garbage\x1b]0;x\x07\n", {}}, false, 3, "garbage\\u{1b}]0;x\\u{7}\n"},
      {{O::kResponse, "garbage\n", {}},
       true,
       3,
       "{\"state\":\"no_response\",\"error\":\"unreadable response 'garbage': Invalid "
       "padding\",\"line\":\"garbage\"}\n"},
      {{O::kNoResponse, {}, {}}, false, 3, ""},
      {{O::kNoResponse, {}, {}}, true, 3, "{\"state\":\"no_response\",\"error\":\"\"}\n"},
      {{O::kUntrusted, {}, "not the service"}, false, 5, ""},
  };
  for (const Row& row : rows) {
    FakePipe pipe{row.answer, {}};
    std::vector<std::string> args = {"pEluZm8="};
    if (row.json) args.push_back("--json");
    const ClientRun run = client(pipe, "send", args);
    EXPECT_EQ(run.status, row.status) << row.out;
    EXPECT_EQ(run.output.out, row.out);
  }
}

TEST(KestactlClient, UsageErrorsReachNoPipe) {
  struct Row {
    std::string command;
    std::vector<std::string> args;
    std::string err;  // every line but the pointer to --help
  } rows[] = {
      {"info", {"now"}, "kestactl: info: unexpected argument 'now'"},
      {"info", {"--pipe"}, "kestactl: info: --pipe needs a value"},
      {"send",
       {"--timeout", "0", "pEluZm8="},
       "kestactl: send: --timeout: expected a number of seconds from 1 to 65535, got '0'"},
      {"info", {"--", "--json"}, "kestactl: info: unexpected argument '--json'"},
      {"connect", {}, "kestactl: connect: give FILE.conf or the connect flags"},
      {"connect", {"missing.conf"}, "kestactl: connect: cannot read missing.conf: no such file"},
      // The path as typed, backslashes and all.
      {"connect",
       {"--", "C:\\confs\\-x.conf"},
       "kestactl: connect: cannot read C:\\confs\\-x.conf: no such file"},
      {"connect",
       {"a.conf", "b.conf"},
       "kestactl: connect: one configuration file is expected, not 2: 'a.conf', 'b.conf'"},
      {"connect",
       {"--private-key", kKey1},
       "kestactl: connect: missing --public-key, --endpoint and --address"},
      // Every problem of the flags at once.
      {"connect",
       {"--private-key", kKey1, "--public-key", "AAAA", "--endpoint", "203.0.113.1:51820",
        "--address", "10.0.0.2/24"},
       "kestactl: --public-key: Invalid key length: 3\nkestactl: --address: '10.0.0.2/24': the "
       "service gives the tunnel a single address; write it with /32"},
      {"send", {}, "kestactl: send: which line?"},
      {"send", {"a", "b"}, "kestactl: send: unexpected argument 'b'"},
      {"send", {"--colour", "a"}, "kestactl: send: unexpected argument '--colour'"},
      {"info",
       {"--ignore-unsupported"},
       "kestactl: info: unexpected argument '--ignore-unsupported'"},
      {"connect",
       {"--endpoint"},
       "kestactl: --endpoint needs a value\nkestactl: connect: missing --private-key, "
       "--public-key and --address"},
  };
  for (const Row& row : rows) {
    FakePipe pipe{response(protocol::Disconnected{}), {}};
    const ClientRun run = client(pipe, row.command, row.args);
    EXPECT_EQ(run.status, kExitUsage) << row.err;
    EXPECT_EQ(run.output.err, row.err + "\nTry 'kestactl --help'.\n");
    EXPECT_TRUE(pipe.requests.empty()) << row.err;
  }
  FakePipe pipe{response(protocol::Disconnected{}), {}};
  // Each command's help is its own and sends nothing; after "--", --help is the line to send.
  for (const std::string command : {"info", "disconnect", "connect", "send"}) {
    const ClientRun help = client(pipe, command, {"--help"});
    EXPECT_EQ(help.status, kExitOk);
    EXPECT_TRUE(help.output.out.starts_with("Usage: kestactl " + command + " ["))
        << help.output.out;
  }
  EXPECT_EQ(client(pipe, "send", {"--", "--help"}).status, kExitOk);
  ASSERT_EQ(pipe.requests.size(), 1u);
  EXPECT_EQ(pipe.requests[0].line, "--help\n");
}

}  // namespace
}  // namespace kesta::kestactl
