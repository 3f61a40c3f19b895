#include "codec_commands.h"

#include <optional>

#include "client_output.h"
#include "config_file.h"
#include "connect_flags.h"
#include "core/escape.h"
#include "protocol/decode.h"
#include "protocol/encode.h"
#include "protocol/render.h"

namespace kesta::kestactl {
namespace {

constexpr std::string_view kDecodeHelp =
    "Usage: kestactl decode [--json] [--] [LINE]\n"
    "       kestactl decode --response [--json] [--] [LINE]\n"
    "\n"
    "Shows how the service reads a request line: prints exactly the lines it writes to its\n"
    "log for that line. The line is LINE, or the first line of standard input (up to and\n"
    "including the first line feed; nothing after it is read).\n"
    "Exit status: 0 when a command was decoded, 1 when the service would refuse the line.\n"
    "\n"
    "With --response, prints the diagnostic rendering of a response line instead\n"
    "(exit status 1, with the failure text, when it cannot be read).\n"
    "With --json, one line of JSON: {\"accepted\":true|false,\"log\":[LINES]} for a request,\n"
    "{\"accepted\":true,\"rendering\":TEXT,\"response\":{...}} or\n"
    "{\"accepted\":false,\"error\":TEXT} for a response.\n";

constexpr std::string_view kEncodeHelp =
    "Usage: kestactl encode info\n"
    "       kestactl encode disconnect\n"
    "       kestactl encode connect --private-key B64 --public-key B64 [--preshared-key B64]\n"
    "                               --endpoint HOST:PORT --address A.B.C.D[/32]\n"
    "                               [--url TEXT] [--port N ...]\n"
    "\n"
    "Prints the request line for a command. The connect flags take the forms of a WireGuard\n"
    "configuration file:\n"
    "  --private-key    the client's private key (Base64 of 32 bytes)\n"
    "  --public-key     the server's public key (Base64 of 32 bytes)\n"
    "  --preshared-key  the preshared key (Base64 of 32 bytes; none is 32 zero bytes)\n"
    "  --endpoint       the server: A.B.C.D:PORT, or HOST:PORT resolved to IPv4 (the host is\n"
    "                   sent along as url)\n"
    "  --address        the client's IPv4 address in the tunnel, bare or with /32\n"
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

int encode_connect(std::span<const std::string> args, Output& output, const Resolver& resolve) {
  const auto config = parse_connect_flags(args, "encode connect", resolve);
  if (!config) return usage_errors(output, config.error());
  if (!*config) {
    output.out += kEncodeHelp;
    return kExitOk;
  }
  output.out += protocol::encode_command(protocol::Connect{**config});
  return kExitOk;
}

}  // namespace

int usage_error(Output& output, std::string_view message) {
  const std::string text(message);
  return usage_errors(output, std::span(&text, 1));
}

int usage_errors(Output& output, std::span<const std::string> messages) {
  for (const std::string& message : messages.first(std::min(messages.size(), kProblemsShown))) {
    output.err += "kestactl: " + message + "\n";
  }
  if (messages.size() > kProblemsShown) {
    output.err += "kestactl: " + more_problems(messages.size() - kProblemsShown) + "\n";
  }
  output.err += "Try 'kestactl --help'.\n";
  return kExitUsage;
}

std::string more_problems(std::size_t count) {
  return "... and " + std::to_string(count) + " more problem" + (count == 1 ? "" : "s");
}

int run_decode(std::span<const std::string> args, const protocol::ReadSome& input, Output& output) {
  bool response = false, json = false, options_ended = false;
  std::optional<std::string_view> line_argument;
  for (const std::string& arg : args) {
    if (!options_ended && is_help(arg)) {
      output.out += kDecodeHelp;
      return kExitOk;
    }
    if (!options_ended && arg == "--") {
      options_ended = true;
    } else if (!options_ended && arg == "--response" && !response && !line_argument) {
      response = true;
    } else if (!options_ended && arg == "--json" && !json && !line_argument) {
      json = true;
    } else if (!line_argument && (options_ended || !(arg.starts_with("--") && arg.size() > 2))) {
      line_argument = arg;
    } else {
      return usage_error(output, "decode: unexpected argument '" + escape_log_text(arg) + "'");
    }
  }
  std::size_t bytes_read = 0;
  const protocol::ReadSome source = line_argument ? read_from(*line_argument) : input;
  const protocol::ReadSome counted = [&](std::span<std::uint8_t> buffer) {
    const auto got = source(buffer);
    if (got) bytes_read += *got;
    return got;
  };
  std::string line;
  const auto read = protocol::read_request_line(counted, line);
  // The service's own words for an empty line are a decoder's; say first what happened.
  if (read && protocol::trim_white_space(line).empty()) {
    output.err += !line_argument && bytes_read == 0
                      ? "kestactl: decode: nothing to decode: standard input is empty (give "
                        "LINE, or a line on standard input)\n"
                      : "kestactl: decode: the line is empty\n";
  }
  std::vector<std::string> lines;
  bool accepted = false;
  if (!read && response && json) {
    output.out += JsonObject()
                      .flag("accepted", false)
                      .text("error", protocol::unreadable_request_line(read.error()))
                      .line();
    return kExitRefused;
  }
  if (!read) {
    lines.push_back(protocol::unreadable_request_line(read.error()));
  } else if (response) {
    const auto decoded = protocol::decode_response(line);
    if (json) {
      output.out += (decoded ? JsonObject()
                                   .flag("accepted", true)
                                   .text("rendering", protocol::render(*decoded))
                                   .raw("response", json_of(*decoded, system_time()).str())
                             : JsonObject().flag("accepted", false).text("error", decoded.error()))
                        .line();
    } else {
      output.out += (decoded ? protocol::render(*decoded) : decoded.error()) + "\n";
    }
    return decoded ? kExitOk : kExitRefused;
  } else {
    const auto decoded = protocol::decode_command(line);
    lines.push_back(protocol::received_message_line(decoded.trimmed));
    lines.push_back(decoded.command ? protocol::received_command_line(*decoded.command)
                                    : protocol::refused_request_line(decoded.command.error()));
    accepted = decoded.command.has_value();
  }
  if (json) {
    std::string array = "[";
    for (const std::string& text : lines)
      array += (array.size() > 1 ? "," : "") + json_string(text);
    output.out += JsonObject().flag("accepted", accepted).raw("log", array + "]").line();
  } else {
    for (const std::string& text : lines) output.out += text + "\n";
  }
  return accepted ? kExitOk : kExitRefused;
}

int run_encode(std::span<const std::string> args, Output& output, const Resolver& resolve) {
  if (args.empty())
    return usage_error(output, "encode: which command? info, disconnect or connect");
  const std::string& what = args[0];
  if (is_help(what)) {
    output.out += kEncodeHelp;
    return kExitOk;
  }
  if (what == "connect") return encode_connect(args.subspan(1), output, resolve);
  if (what != "info" && what != "disconnect") {
    return usage_error(output, "encode: unknown command '" + escape_log_text(what) + "'");
  }
  if (args.size() > 1) {
    if (is_help(args[1])) {
      output.out += kEncodeHelp;
      return kExitOk;
    }
    return usage_error(
        output, "encode " + what + ": unexpected argument '" + escape_log_text(args[1]) + "'");
  }
  output.out +=
      protocol::encode_command(what == "info" ? protocol::Command{protocol::Info{}}
                                              : protocol::Command{protocol::Disconnect{}});
  return kExitOk;
}

}  // namespace kesta::kestactl
