#include "codec_commands.h"

#include <optional>

#include "connect_flags.h"
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

int encode_connect(std::span<const std::string> args, Output& output) {
  const auto config = parse_connect_flags(args, "encode connect");
  if (!config) return usage_error(output, config.error());
  if (!*config) {
    output.out += kEncodeHelp;
    return kExitOk;
  }
  output.out += protocol::encode_command(protocol::Connect{**config});
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
