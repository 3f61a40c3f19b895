#include "codec_commands.h"

#include <charconv>
#include <optional>

#include "protocol/base64.h"
#include "protocol/decode.h"
#include "protocol/encode.h"
#include "protocol/render.h"

namespace kesta::kestactl {
namespace {

constexpr std::string_view kDecodeHelp =
    "Usage: kestactl decode [LINE]\n"
    "       kestactl decode --response [LINE]\n"
    "\n"
    "Shows how the service reads a request line: prints exactly the lines it writes to its\n"
    "log for that line. The line is LINE, or the first line of standard input (up to and\n"
    "including the first line feed; nothing after it is read).\n"
    "Exit status: 0 when a command was decoded, 1 when the service would refuse the line.\n"
    "\n"
    "With --response, prints the diagnostic rendering of a response line instead\n"
    "(exit status 1, with the failure text, when it cannot be read).\n";

constexpr std::string_view kEncodeHelp =
    "Usage: kestactl encode info\n"
    "       kestactl encode disconnect\n"
    "       kestactl encode connect --private-key B64 --public-key B64 --preshared-key B64\n"
    "                               --endpoint A.B.C.D:PORT --address A.B.C.D\n"
    "                               [--url TEXT] [--port N ...]\n"
    "\n"
    "Prints the request line for a command.\n"
    "  --private-key    the client's private key (Base64 of 32 bytes)\n"
    "  --public-key     the server's public key (Base64 of 32 bytes)\n"
    "  --preshared-key  the preshared key (Base64 of 32 bytes)\n"
    "  --endpoint       the server's IPv4 address and UDP port\n"
    "  --address        the client's IPv4 address in the tunnel\n"
    "  --url            free text sent along (the service ignores it)\n"
    "  --port           a port number sent along, repeatable (the service ignores them)\n";

bool is_help(std::string_view arg) {
  return arg == "--help" || arg == "-h";
}

// A line given as an argument is read exactly like one arriving on standard input.
protocol::ReadSome read_from(std::string_view text) {
  return [text](std::span<std::uint8_t> buffer) mutable -> std::expected<std::size_t, std::string> {
    const std::size_t n = std::min(buffer.size(), text.size());
    std::copy_n(text.begin(), n, buffer.begin());
    text.remove_prefix(n);
    return n;
  };
}

template <class Number>
std::optional<Number> parse_number(std::string_view text) {
  Number value{};
  const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (ec != std::errc() || end != text.data() + text.size() || text.empty()) return std::nullopt;
  return value;
}

std::optional<protocol::Ipv4Address> parse_ipv4(std::string_view text) {
  protocol::Ipv4Address ip{};
  for (std::size_t i = 0; i < ip.size(); ++i) {
    const std::size_t dot = i < 3 ? text.find('.') : text.size();
    if (dot == std::string_view::npos) return std::nullopt;
    const std::string_view part = text.substr(0, dot);
    if (part.size() > 3) return std::nullopt;
    const auto value = parse_number<unsigned>(part);
    if (!value || *value > 255) return std::nullopt;
    ip[i] = static_cast<std::uint8_t>(*value);
    text.remove_prefix(std::min(text.size(), dot + 1));
  }
  return ip;
}

std::expected<protocol::Key, std::string> parse_key(std::string_view text) {
  protocol::Key key{};
  const auto count = protocol::base64_decode(text, key);
  if (!count) return std::unexpected(count.error().message());
  if (*count != key.size()) return std::unexpected("Invalid key length: " + std::to_string(*count));
  return key;
}

int encode_connect(std::span<const std::string> args, Output& output) {
  protocol::Connect connect;
  auto& config = connect.config;
  bool seen_private = false, seen_public = false, seen_preshared = false, seen_endpoint = false,
       seen_address = false;
  for (std::size_t i = 0; i < args.size(); ++i) {
    std::string_view flag = args[i];
    if (is_help(flag)) {
      output.out += kEncodeHelp;
      return kExitOk;
    }
    std::string_view value;
    if (const std::size_t eq = flag.find('='); flag.starts_with("--") && eq != flag.npos) {
      value = flag.substr(eq + 1);
      flag = flag.substr(0, eq);
    } else if (flag.starts_with("--")) {
      if (i + 1 >= args.size()) return usage_error(output, std::string(flag) + " needs a value");
      value = args[++i];
    } else {
      return usage_error(output, "unexpected argument '" + std::string(flag) + "'");
    }
    auto bad = [&](std::string_view why) {
      return usage_error(output, std::string(flag) + ": " + std::string(why));
    };
    if (flag == "--private-key" || flag == "--public-key" || flag == "--preshared-key") {
      auto key = parse_key(value);
      if (!key) return bad(key.error());
      auto& e = config.encryption;
      (flag == "--private-key"  ? e.client_key
       : flag == "--public-key" ? e.server_key
                                : e.shared_key) = *key;
      (flag == "--private-key"  ? seen_private
       : flag == "--public-key" ? seen_public
                                : seen_preshared) = true;
    } else if (flag == "--endpoint") {
      const std::size_t colon = value.rfind(':');
      const auto ip = parse_ipv4(value.substr(0, colon));
      const auto port =
          colon == value.npos ? std::nullopt : parse_number<std::uint16_t>(value.substr(colon + 1));
      if (!ip || !port) return bad("expected A.B.C.D:PORT, got '" + std::string(value) + "'");
      config.endpoint.ip = *ip;
      config.endpoint.port = *port;
      seen_endpoint = true;
    } else if (flag == "--address") {
      const auto ip = parse_ipv4(value);
      if (!ip) return bad("expected A.B.C.D, got '" + std::string(value) + "'");
      config.client.ip = *ip;
      seen_address = true;
    } else if (flag == "--url") {
      config.endpoint.url = value;
    } else if (flag == "--port") {
      const auto port = parse_number<std::uint16_t>(value);
      if (!port) return bad("expected a number from 0 to 65535, got '" + std::string(value) + "'");
      config.client.ports.push_back(*port);
    } else {
      return usage_error(output, "unknown option '" + std::string(flag) + "'");
    }
  }
  const std::pair<bool, std::string_view> required[] = {{seen_private, "--private-key"},
                                                        {seen_public, "--public-key"},
                                                        {seen_preshared, "--preshared-key"},
                                                        {seen_endpoint, "--endpoint"},
                                                        {seen_address, "--address"}};
  for (const auto& [seen, flag] : required) {
    if (!seen) return usage_error(output, "encode connect: missing " + std::string(flag));
  }
  output.out += protocol::encode_command(connect);
  return kExitOk;
}

}  // namespace

int usage_error(Output& output, std::string_view message) {
  output.err += "kestactl: ";
  output.err += message;
  output.err += "\nTry 'kestactl --help'.\n";
  return kExitUsage;
}

int run_decode(std::span<const std::string> args, const protocol::ReadSome& input, Output& output) {
  bool response = false;
  std::optional<std::string_view> line_argument;
  for (const std::string& arg : args) {
    if (is_help(arg)) {
      output.out += kDecodeHelp;
      return kExitOk;
    }
    if (arg == "--response" && !response && !line_argument) {
      response = true;
    } else if (!line_argument && !(arg.starts_with("--") && arg.size() > 2)) {
      line_argument = arg;
    } else {
      return usage_error(output, "decode: unexpected argument '" + arg + "'");
    }
  }
  std::string line;
  const auto read =
      protocol::read_request_line(line_argument ? read_from(*line_argument) : input, line);
  if (!read) {
    output.out += protocol::unreadable_request_line(read.error()) + "\n";
    return kExitRefused;
  }
  if (response) {
    const auto decoded = protocol::decode_response(line);
    output.out += (decoded ? protocol::render(*decoded) : decoded.error()) + "\n";
    return decoded ? kExitOk : kExitRefused;
  }
  const auto decoded = protocol::decode_command(line);
  output.out += protocol::received_message_line(decoded.trimmed) + "\n";
  if (!decoded.command) {
    output.out += protocol::refused_request_line(decoded.command.error()) + "\n";
    return kExitRefused;
  }
  output.out += protocol::received_command_line(*decoded.command) + "\n";
  return kExitOk;
}

int run_encode(std::span<const std::string> args, Output& output) {
  if (args.empty())
    return usage_error(output, "encode: which command? info, disconnect or connect");
  const std::string& what = args[0];
  if (is_help(what)) {
    output.out += kEncodeHelp;
    return kExitOk;
  }
  if (what == "connect") return encode_connect(args.subspan(1), output);
  if (what != "info" && what != "disconnect") {
    return usage_error(output, "encode: unknown command '" + what + "'");
  }
  if (args.size() > 1) {
    if (is_help(args[1])) {
      output.out += kEncodeHelp;
      return kExitOk;
    }
    return usage_error(output, "encode " + what + ": unexpected argument '" + args[1] + "'");
  }
  output.out +=
      protocol::encode_command(what == "info" ? protocol::Command{protocol::Info{}}
                                              : protocol::Command{protocol::Disconnect{}});
  return kExitOk;
}

}  // namespace kesta::kestactl
