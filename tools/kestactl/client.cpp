#include "client.h"

#include <optional>
#include <vector>

#include "connect_flags.h"
#include "core/escape.h"
#include "protocol/decode.h"
#include "protocol/encode.h"

namespace kesta::kestactl {
namespace {

constexpr std::string_view kClientHelp =
    "Usage: kestactl info [OPTIONS]\n"
    "       kestactl disconnect [OPTIONS]\n"
    "       kestactl connect [OPTIONS] [--ignore-unsupported] FILE.conf\n"
    "       kestactl connect [OPTIONS] --private-key B64 --public-key B64 [--preshared-key B64]\n"
    "                                  --endpoint HOST:PORT --address A.B.C.D[/32]\n"
    "                                  [--url TEXT] [--port N ...]\n"
    "       kestactl send [OPTIONS] LINE\n"
    "\n"
    "Sends one command to redevuva_service and shows its answer: the tunnel's state, the last\n"
    "handshake, and the bytes sent and received. 'send' writes LINE as it is and prints the\n"
    "response line as it comes (control characters escaped).\n"
    "\n"
    "Options:\n"
    "  --json                one line of JSON on standard output, for scripts\n"
    "  --pipe NAME           talk to \\\\.\\pipe\\NAME instead of \\\\.\\pipe\\redevuva.sock\n"
    "  --no-verify-server    send a Connect even when the pipe's server is not the\n"
    "                        redevuva_service process (for test servers)\n"
    "  --ignore-unsupported  connect without what FILE.conf asks for that the service does not\n"
    "                        do (DNS, MTU, ListenPort, Table, FwMark, SaveConfig, PreUp,\n"
    "                        PostUp, PreDown, PostDown, PersistentKeepalive, IPv6), with a\n"
    "                        warning for each\n"
    "\n"
    "FILE.conf is a WireGuard configuration: [Interface] PrivateKey and Address (IPv4, /32 or\n"
    "no prefix), [Peer] PublicKey, Endpoint (A.B.C.D:PORT or HOST:PORT) and optionally\n"
    "PresharedKey and AllowedIPs (which must cover 0.0.0.0/0: the service routes everything).\n"
    "Every problem of the file is reported at once, with its line.\n"
    "\n"
    "Exit status: 0 connected or disconnected; 1 the service answered with an error; 2 the\n"
    "command line or FILE.conf is wrong; 3 the service ended the connection without an answer\n"
    "(it refused the request, its log says why); 4 the pipe cannot be reached; 5 the pipe's\n"
    "server is not redevuva_service.\n";

struct CommonOptions {
  std::string pipe = std::string(kDefaultPipe);
  bool json = false;
  bool verify = true;
  bool ignore_unsupported = false;
  std::vector<std::string> rest;
};

// Takes out the options every client command shares; the rest stays in order.
std::expected<CommonOptions, std::string> common_options(std::span<const std::string> args,
                                                         bool connect) {
  CommonOptions options;
  for (std::size_t i = 0; i < args.size(); ++i) {
    const std::string& arg = args[i];
    if (arg == "--json") {
      options.json = true;
    } else if (arg == "--no-verify-server") {
      options.verify = false;
    } else if (arg == "--ignore-unsupported" && connect) {
      options.ignore_unsupported = true;
    } else if (arg == "--pipe" || arg.starts_with("--pipe=")) {
      std::string_view name;
      if (arg == "--pipe") {
        if (i + 1 >= args.size()) return std::unexpected(std::string("--pipe needs a value"));
        name = args[++i];
      } else {
        name = std::string_view(arg).substr(7);
      }
      if (name.empty()) return std::unexpected(std::string("--pipe needs a name"));
      options.pipe = pipe_path(name);
    } else {
      options.rest.push_back(arg);
    }
  }
  return options;
}

bool wants_help(std::span<const std::string> args) {
  for (const std::string& arg : args) {
    if (arg == "--help" || arg == "-h") return true;
  }
  return false;
}

// Exit status and standard error for a delivery that produced no response.
int report_failure(const Exchange& exchange, const PipeRequest& request, bool json,
                   Output& output) {
  using Outcome = Exchange::Outcome;
  std::string state, text;
  int status;
  switch (exchange.outcome) {
    case Outcome::kUnreachable:
      state = "unreachable";
      text = unreachable_text(request.pipe, exchange.error);
      status = kExitUnreachable;
      break;
    case Outcome::kUntrusted:
      state = "untrusted_server";
      text = "refusing to send the configuration: " + exchange.error + "\n";
      status = kExitUntrusted;
      break;
    default:
      state = "no_response";
      text = "the service ended the connection without a response" +
             (exchange.error.empty() ? std::string() : " (" + exchange.error + ")") +
             "; it refuses requests it cannot read, and its log says why\n";
      status = kExitNoResponse;
      break;
  }
  if (json) output.out += format_json_failure(state, exchange.error);
  output.err += "kestactl: " + text;
  return status;
}

std::string unreadable_text(std::string_view line, std::string_view why) {
  return "unreadable response '" + escape_log_text(protocol::trim_white_space(line)) +
         "': " + std::string(why);
}

int exchange_command(const protocol::Command& command, const CommonOptions& options,
                     const ClientEnvironment& environment, Output& output) {
  PipeRequest request{options.pipe, protocol::encode_command(command), {}};
  if (options.verify && std::holds_alternative<protocol::Connect>(command)) {
    request.verify_service = kServiceName;
  }
  const Exchange exchange = environment.deliver(request);
  if (exchange.outcome != Exchange::Outcome::kResponse) {
    return report_failure(exchange, request, options.json, output);
  }
  const auto response = protocol::decode_response(exchange.line);
  if (!response) {
    const std::string why = unreadable_text(exchange.line, response.error());
    if (options.json) output.out += format_json_failure("no_response", why);
    output.err += "kestactl: " + why + "\n";
    return kExitNoResponse;
  }
  const auto* error = std::get_if<protocol::Error>(&*response);
  if (options.json) {
    output.out += format_json(*response, environment.time);
  } else if (error) {
    output.err +=
        "kestactl: the service answered with an error: " + escape_log_text(error->message) + "\n";
  } else {
    output.out += format_state(*response, environment.time);
  }
  return error ? kExitRefused : kExitOk;
}

int run_send(const CommonOptions& options, const ClientEnvironment& environment, Output& output) {
  const auto& rest = options.rest;
  if (rest.empty()) return usage_error(output, "send: which line?");
  if (rest.size() > 1 || rest[0].starts_with("--")) {
    const std::string& odd = rest[0].starts_with("--") ? rest[0] : rest[1];
    return usage_error(output, "send: unexpected argument '" + escape_log_text(odd) + "'");
  }
  PipeRequest request{options.pipe, options.rest[0], {}};
  if (!request.line.ends_with('\n')) request.line += '\n';
  const auto decoded = protocol::decode_command(request.line);
  if (options.verify && decoded.command &&
      std::holds_alternative<protocol::Connect>(*decoded.command)) {
    request.verify_service = kServiceName;
  }
  const Exchange exchange = environment.deliver(request);
  if (exchange.outcome != Exchange::Outcome::kResponse) {
    return report_failure(exchange, request, options.json, output);
  }
  std::string_view line = exchange.line;
  if (line.ends_with('\n')) line.remove_suffix(1);
  const auto response = protocol::decode_response(exchange.line);
  if (options.json) {
    output.out += (response ? json_of(*response, environment.time)
                            : JsonObject()
                                  .text("state", "no_response")
                                  .text("error", unreadable_text(line, response.error())))
                      .text("line", line)
                      .line();
  } else {
    output.out += escape_log_text(line) + "\n";
  }
  if (!response) {
    output.err += "kestactl: the response cannot be read: " + response.error() + "\n";
    return kExitNoResponse;
  }
  return std::holds_alternative<protocol::Error>(*response) ? kExitRefused : kExitOk;
}

// connect FILE.conf: every problem of the file at once; what the service does not do is an
// error unless the user chose to leave it out.
int run_connect_file(const std::string& path, const CommonOptions& options,
                     const ClientEnvironment& environment, Output& output) {
  const auto text = environment.read_file(path);
  if (!text) {
    return usage_error(output,
                       "connect: cannot read " + escape_log_text(path) + ": " + text.error());
  }
  const ConfigFile file = parse_config_file(*text, environment.resolve);
  const std::string name = escape_log_text(path);
  auto at = [](const FileProblem& problem) {
    return problem.line == 0 ? std::string() : "line " + std::to_string(problem.line) + ": ";
  };
  for (const FileProblem& problem : file.errors) {
    output.err += "kestactl: " + name + ": " + at(problem) + problem.text + "\n";
  }
  if (!file.unsupported.empty() && !options.ignore_unsupported) {
    output.err += "kestactl: " + name + ": the service does not do what these lines ask for:\n";
    for (const FileProblem& problem : file.unsupported) {
      output.err += "  " + at(problem) + problem.text + "\n";
    }
    output.err += "kestactl: remove them, or connect with --ignore-unsupported to leave them out\n";
  }
  if (!file.errors.empty() || (!file.unsupported.empty() && !options.ignore_unsupported)) {
    return kExitUsage;
  }
  for (const FileProblem& problem : file.unsupported) {
    output.err += "kestactl: warning: " + name + ": " + at(problem) + problem.text + "; left out\n";
  }
  return exchange_command(protocol::Connect{file.config}, options, environment, output);
}

}  // namespace

std::string pipe_path(std::string_view name) {
  if (name.starts_with("\\\\")) return std::string(name);
  return "\\\\.\\pipe\\" + std::string(name);
}

std::string unreachable_text(std::string_view pipe, std::string_view error) {
  return "cannot reach the service at " + std::string(pipe) + ": " + std::string(error) +
         "\nIs redevuva_service installed and running? Check with 'kestactl status'.\n";
}

int run_client(std::string_view command, std::span<const std::string> args,
               const ClientEnvironment& environment, Output& output) {
  const std::string name(command);
  if (wants_help(args) && command != "send") {
    output.out += kClientHelp;
    return kExitOk;
  }
  if (command == "send" && args.size() == 1 && (args[0] == "--help" || args[0] == "-h")) {
    output.out += kClientHelp;
    return kExitOk;
  }
  const auto options = common_options(args, command == "connect");
  if (!options) return usage_error(output, name + ": " + options.error());
  if (command == "send") return run_send(*options, environment, output);
  if (command == "info" || command == "disconnect") {
    if (!options->rest.empty()) {
      return usage_error(
          output, name + ": unexpected argument '" + escape_log_text(options->rest[0]) + "'");
    }
    return exchange_command(command == "info" ? protocol::Command{protocol::Info{}}
                                              : protocol::Command{protocol::Disconnect{}},
                            *options, environment, output);
  }
  // connect: one FILE.conf, or the flags of `encode connect`.
  const auto& rest = options->rest;
  if (rest.size() == 1 && !rest[0].starts_with("--")) {
    return run_connect_file(rest[0], *options, environment, output);
  }
  if (rest.empty()) return usage_error(output, "connect: give FILE.conf or the connect flags");
  const auto config = parse_connect_flags(rest, "connect", environment.resolve);
  if (!config) return usage_error(output, config.error());
  return exchange_command(protocol::Connect{**config}, *options, environment, output);
}

}  // namespace kesta::kestactl
