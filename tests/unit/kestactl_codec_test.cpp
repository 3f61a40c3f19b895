// kestactl decode/encode as a user runs them: arguments in, standard output, standard error
// and exit status out.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "codec_commands.h"
#include "config_file.h"
#include "protocol/encode.h"

namespace kesta::kestactl {
namespace {

// A key whose Base64 uses every kind of symbol the fast paths treat differently.
constexpr char kKey[] = "yMnKy8zNzs/Q0dLT1NXW19jZ2tvc3d7f4OHi4+Tl5uc=";

struct Result {
  int status;
  Output output;
};

protocol::ReadSome stdin_of(std::string text, int* reads = nullptr) {
  return [text, reads, done = false](
             std::span<std::uint8_t> buffer) mutable -> std::expected<std::size_t, std::string> {
    if (reads) ++*reads;
    if (done) return 0;
    done = true;
    const std::size_t n = std::min(buffer.size(), text.size());
    std::copy_n(text.begin(), n, buffer.begin());
    return n;
  };
}

Result decode(std::vector<std::string> args, std::string input = "") {
  Result run{};
  run.status = run_decode(args, stdin_of(std::move(input)), run.output);
  return run;
}

Result encode(std::vector<std::string> args) {
  Result run{};
  run.status = run_encode(args, run.output);
  return run;
}

TEST(KestactlDecode, PrintsTheServiceLogLinesAndExitStatus) {
  struct Row {
    std::vector<std::string> args;
    std::string input;
    int status;
    std::string out;
    std::string err = "";
  } rows[] = {
      {{"pEluZm8="}, "", 0, "Received message: pEluZm8=\nReceived command: Info\n"},
      {{},
       "  gaRJbmZvwA==\r\nnot looked at",
       0,
       "Received message: gaRJbmZvwA==\nReceived command: Info\n"},
      {{"pEl uZm8="},
       "",
       1,
       "Received message: pEl uZm8=\nFailed to decode incoming message: Invalid symbol 32, "
       "offset 3.\n"},
      {{},
       "",
       1,
       "Received message: \nFailed to parse incoming message: IO error while reading marker: "
       "failed to fill whole buffer\n",
       "kestactl: decode: nothing to decode: standard input is empty (give LINE, or a line on "
       "standard input)\n"},
      {{"--", " "},
       "",
       1,
       "Received message: \nFailed to parse incoming message: IO error "
       "while reading marker: failed to fill whole buffer\n",
       "kestactl: decode: the line is empty\n"},
      {{},
       "pEluZm8=\xff\n",
       1,
       "Failed to read incoming message: stream did not contain valid UTF-8\n"},
      // Control characters from the client are escaped so no log line can be forged.
      {{"a\tb\\c\x1b"},
       "",
       1,
       "Received message: a\\tb\\\\c\\u{1b}\nFailed to decode incoming message: Invalid symbol "
       "9, offset 1.\n"},
      {{"--response", "galDb25uZWN0ZWSTks5lU/EAzh3NZQDNBNLNFi4="},
       "",
       0,
       "Connected(WireguardInterfaceInfo { last_handshake: Some(SystemTime { intervals: "
       "133444736005000000 }), tx_bytes: 1234, rx_bytes: 5678 })\n"},
      {{"--response"}, "rERpc2Nvbm5lY3RlZA==\n", 0, "Disconnected\n"},
      {{"--response", "pEluZm8="},
       "",
       1,
       "unknown variant `Info`, expected one of `Connected`, `Disconnected`, `Error`\n"},
      {{"--json", "pEluZm8="},
       "",
       0,
       "{\"accepted\":true,\"log\":[\"Received message: pEluZm8=\",\"Received command: "
       "Info\"]}\n"},
      {{"--json"},
       "pEl\tuZm8=\n",
       1,
       "{\"accepted\":false,\"log\":[\"Received message: pEl\\\\tuZm8=\",\"Failed to decode "
       "incoming message: Invalid symbol 9, offset 3.\"]}\n"},
      {{"--response", "--json", "rERpc2Nvbm5lY3RlZA=="},
       "",
       0,
       "{\"accepted\":true,\"rendering\":\"Disconnected\",\"response\":{\"state\":"
       "\"disconnected\"}}\n"},
      {{"--response", "--json", "pEluZm8="},
       "",
       1,
       "{\"accepted\":false,\"error\":\"unknown variant `Info`, expected one of `Connected`, "
       "`Disconnected`, `Error`\"}\n"},
  };
  for (const Row& row : rows) {
    const Result run = decode(row.args, row.input);
    EXPECT_EQ(run.status, row.status) << row.out;
    EXPECT_EQ(run.output.out, row.out);
    EXPECT_EQ(run.output.err, row.err);
  }
}

TEST(KestactlDecode, ReadsNothingAfterTheLineFeed) {
  int reads = 0;
  Output output;
  // The reader would hand out a second chunk if asked; one read must be enough.
  EXPECT_EQ(run_decode({}, stdin_of("pEluZm8=\n", &reads), output), kExitOk);
  EXPECT_EQ(reads, 1);
}

TEST(KestactlEncode, ConnectRoundTripsThroughTheServiceDecoder) {
  const Result run =
      encode({"connect", "--private-key", kKey, "--public-key", kKey,
              "--preshared-key=" + std::string(kKey), "--endpoint", "203.0.113.7:51820",
              "--address", "10.66.0.2", "--url", "vpn \"x\"", "--port", "53", "--port", "65535"});
  ASSERT_EQ(run.status, kExitOk) << run.output.err;
  ASSERT_TRUE(run.output.out.ends_with("\n"));
  const Result decoded = decode({run.output.out.substr(0, run.output.out.size() - 1)});
  EXPECT_EQ(decoded.status, kExitOk);
  EXPECT_NE(
      decoded.output.out.find(
          "server_key: [200, 201, 202, 203, 204, 205, 206, 207, 208, 209, 210, 211, 212, 213, "
          "214, 215, 216, 217, 218, 219, 220, 221, 222, 223, 224, 225, 226, 227, 228, 229, "
          "230, 231]"),
      std::string::npos)
      << decoded.output.out;
  EXPECT_NE(decoded.output.out.find("endpoint: ConfigEndpoint { url: \"vpn \\\"x\\\"\", ip: "
                                    "203.0.113.7, port: 51820 }, client: ConfigClient { ip: "
                                    "10.66.0.2, ports: [53, 65535] }"),
            std::string::npos)
      << decoded.output.out;
}

// The flags take what a configuration file takes: /32, a host name, no preshared key.
TEST(KestactlEncode, ConnectFlagsTakeTheFormsOfAFile) {
  const Resolver resolve =
      [](std::string_view host) -> std::expected<protocol::Ipv4Address, std::string> {
    if (host == "vpn.example.test") return protocol::Ipv4Address{198, 51, 100, 7};
    return std::unexpected(std::string("host not found"));
  };
  Result flags{};
  const std::vector<std::string> args = {
      "connect",    "--private-key",          kKey,        "--public-key", kKey,
      "--endpoint", "vpn.example.test:51820", "--address", "10.66.0.2/32"};
  flags.status = run_encode(args, flags.output, resolve);
  ASSERT_EQ(flags.status, kExitOk) << flags.output.err;
  const ConfigFile file = parse_config_file(
      std::string("[Interface]\nPrivateKey = ") + kKey + "\nAddress = 10.66.0.2/32\n[Peer]\n" +
          "PublicKey = " + kKey + "\nEndpoint = vpn.example.test:51820\n",
      resolve);
  ASSERT_TRUE(file.errors.empty());
  EXPECT_EQ(flags.output.out, protocol::encode_command(protocol::Connect{file.config}));
  EXPECT_EQ(file.config.endpoint.url, "vpn.example.test");
  EXPECT_EQ(file.config.encryption.shared_key, protocol::Key{});
}

TEST(KestactlEncode, UnitCommandsUseTheirNames) {
  EXPECT_EQ(encode({"info"}).output.out, "pEluZm8=\n");
  EXPECT_EQ(encode({"disconnect"}).output.out, "qkRpc2Nvbm5lY3Q=\n");
}

TEST(KestactlUsage, ErrorsNameTheBadArgument) {
  const std::vector<std::string> connect_ok = {
      "connect", "--private-key", kKey,        "--public-key", kKey,      "--preshared-key",
      kKey,      "--endpoint",    "1.2.3.4:5", "--address",    "10.0.0.2"};
  auto with = [&](std::vector<std::string> extra) {
    auto args = connect_ok;
    args.insert(args.end(), extra.begin(), extra.end());
    return args;
  };
  struct Row {
    std::vector<std::string> args;
    std::string err_first_line;
  } rows[] = {
      {{}, "kestactl: encode: which command? info, disconnect or connect"},
      {{"reconnect"}, "kestactl: encode: unknown command 'reconnect'"},
      {{"info", "now"}, "kestactl: encode info: unexpected argument 'now'"},
      {{"connect"},
       "kestactl: encode connect: missing --private-key, --public-key, --endpoint and --address"},
      {with({"--colour", "red"}), "kestactl: unknown option '--colour'"},
      {with({"--port"}), "kestactl: --port needs a value"},
      {with({"--port", "65536"}),
       "kestactl: --port: expected a number from 0 to 65535, got '65536'"},
      {with({"--endpoint", "1.2.3.4"}),
       "kestactl: --endpoint: '1.2.3.4': expected HOST:PORT or A.B.C.D:PORT"},
      {with({"--endpoint", "[2001:db8::1]:5"}),
       "kestactl: --endpoint: '[2001:db8::1]:5': the service reaches its server over IPv4 only"},
      // A host name needs a resolver, which this run has not.
      {with({"--endpoint", "1.2.3.256:5"}),
       "kestactl: --endpoint: '1.2.3.256:5': expected "
       "A.B.C.D:PORT"},
      {with({"--address", "10.0.0"}), "kestactl: --address: '10.0.0': expected A.B.C.D/32"},
      {with({"--address", "10.0.0.2/24"}),
       "kestactl: --address: '10.0.0.2/24': the service gives the tunnel a single address; write "
       "it with /32"},
      {with({"--address", "fd00::2"}),
       "kestactl: --address: 'fd00::2': the service does not do IPv6"},
      {with({"--public-key", "AAAA"}), "kestactl: --public-key: Invalid key length: 3"},
      // Never a part of a secret, not even the decoder's offending symbol.
      {with({"--private-key", std::string(kKey).substr(0, 43)}),
       "kestactl: --private-key: not the Base64 text of 32 bytes (the value is not shown)"},
      {with({"--preshared-key", "a\x1b"}),
       "kestactl: --preshared-key: not the Base64 text of 32 bytes (the value is not shown)"},
      {with({"--url"}), "kestactl: --url needs a value"},
      {with({"stray"}), "kestactl: unexpected argument 'stray'"},
  };
  for (const Row& row : rows) {
    const Result run = encode(row.args);
    EXPECT_EQ(run.status, kExitUsage) << row.err_first_line;
    EXPECT_EQ(run.output.out, "");
    EXPECT_EQ(run.output.err, row.err_first_line + "\nTry 'kestactl --help'.\n");
  }
  const Result bad_decode = decode({"--response", "x", "y"});
  EXPECT_EQ(bad_decode.status, kExitUsage);
  EXPECT_EQ(bad_decode.output.err,
            "kestactl: decode: unexpected argument 'y'\nTry 'kestactl --help'.\n");
}

TEST(KestactlUsage, HelpEverywhere) {
  for (const auto& args : std::vector<std::vector<std::string>>{
           {"--help"}, {"connect", "--help"}, {"info", "--help"}}) {
    const Result run = encode(args);
    EXPECT_EQ(run.status, kExitOk);
    EXPECT_TRUE(run.output.out.starts_with("Usage: kestactl encode")) << run.output.out;
  }
  const Result run = decode({"--help"});
  EXPECT_EQ(run.status, kExitOk);
  EXPECT_TRUE(run.output.out.starts_with("Usage: kestactl decode")) << run.output.out;
}

}  // namespace
}  // namespace kesta::kestactl
