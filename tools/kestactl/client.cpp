#include "client.h"

#include <algorithm>
#include <optional>
#include <vector>

#include "connect_flags.h"
#include "core/escape.h"
#include "log_lines.h"
#include "protocol/decode.h"
#include "protocol/encode.h"

namespace kesta::kestactl {
namespace {

constexpr std::string_view kPipeOptions =
    "  --json                one line of JSON on standard output, for scripts\n"
    "  --pipe NAME           talk to \\\\.\\pipe\\NAME instead of \\\\.\\pipe\\redevuva.sock\n"
    "  --timeout SECONDS     wait at most SECONDS (30) for a free pipe and for the answer\n";

constexpr std::string_view kVerifyOption =
    "  --no-verify-server    send a Connect even when the pipe's server is not the\n"
    "                        redevuva_service process (for test servers)\n";

constexpr std::string_view kExitStatus =
    "Exit status: 0 connected or disconnected; 1 the service answered with an error; 2 the\n"
    "command line is wrong; 3 the service ended the connection without an answer (it refused\n"
    "the request, its log says why) or gave none within the timeout; 4 the pipe cannot be\n"
    "reached; 5 the pipe's server is not redevuva_service. 'kestactl --help' has the table for\n"
    "every command.\n";

std::string client_help(std::string_view command) {
  std::string text;
  if (command == "connect") {
    text =
        "Usage: kestactl connect [OPTIONS] [--ignore-unsupported] [--] FILE.conf\n"
        "       kestactl connect [OPTIONS] --private-key B64 --public-key B64\n"
        "                        [--preshared-key B64] --endpoint HOST:PORT\n"
        "                        --address A.B.C.D[/32] [--url TEXT] [--port N ...]\n"
        "\n"
        "Brings the tunnel up, from a WireGuard configuration file or from flags in the same\n"
        "forms, and shows the tunnel's state, last handshake and bytes sent and received.\n"
        "\n"
        "FILE.conf is a WireGuard configuration: [Interface] PrivateKey and Address (IPv4,\n"
        "/32 or no prefix), [Peer] PublicKey, Endpoint (A.B.C.D:PORT or HOST:PORT) and\n"
        "optionally PresharedKey and AllowedIPs (which must cover 0.0.0.0/0: the service\n"
        "routes everything). It may be UTF-8 or UTF-16 (\"Unicode\") text. Every problem of the\n"
        "file, or of the flags, is reported at once (at most 20, then how many more).\n"
        "\n"
        "Options:\n" +
        std::string(kPipeOptions) + std::string(kVerifyOption) +
        "  --ignore-unsupported  connect without what FILE.conf asks for that the service\n"
        "                        does not do (DNS, MTU, ListenPort, Table, FwMark, SaveConfig,\n"
        "                        PreUp, PostUp, PreDown, PostDown, PersistentKeepalive, IPv6),\n"
        "                        with a warning for each that says what it means for the\n"
        "                        traffic\n"
        "  --                    ends the options: FILE.conf may then begin with a dash\n";
  } else if (command == "send") {
    text =
        "Usage: kestactl send [OPTIONS] [--] LINE\n"
        "\n"
        "Writes LINE to the service as it is and prints the response line as it comes (control\n"
        "characters escaped).\n"
        "\n"
        "Options:\n" +
        std::string(kPipeOptions) + std::string(kVerifyOption) +
        "  --                    ends the options: LINE may then begin with a dash\n";
  } else {
    text =
        "Usage: kestactl " + std::string(command) +
        " [--json] [--pipe NAME] [--timeout SECONDS]\n\n" +
        (command == "info"
             ? "Shows the tunnel's state, its last handshake (local time, and how long ago) and\n"
               "the bytes sent and received.\n"
             : "Takes the tunnel down. The service keeps the adapter: 'kestactl info' still\n"
               "reports it as connected, with its last counters, until the next connect.\n") +
        "\nOptions:\n" + std::string(kPipeOptions);
  }
  return text + "\n" + std::string(kExitStatus);
}

struct CommonOptions {
  std::string pipe = std::string(kDefaultPipe);
  std::chrono::seconds timeout = kDefaultTimeout;
  bool json = false;
  bool verify = true;
  bool ignore_unsupported = false;
  std::vector<std::string> rest;      // before "--": flags of connect, or arguments
  std::vector<std::string> operands;  // after "--": arguments, whatever they look like
};

// Takes out the options every client command shares; the rest stays in order.
std::expected<CommonOptions, std::string> common_options(std::span<const std::string> args,
                                                         bool connect) {
  CommonOptions options;
  for (std::size_t i = 0; i < args.size(); ++i) {
    const std::string& arg = args[i];
    if (arg == "--") {
      options.operands.assign(args.begin() + static_cast<std::ptrdiff_t>(i) + 1, args.end());
      break;
    }
    if (arg == "--json") {
      options.json = true;
    } else if (arg == "--no-verify-server") {
      options.verify = false;
    } else if (arg == "--ignore-unsupported" && connect) {
      options.ignore_unsupported = true;
    } else if (const std::string flag = arg.substr(0, arg.find('='));
               flag == "--pipe" || flag == "--timeout") {
      std::string_view value;
      if (arg == flag) {
        if (i + 1 >= args.size()) return std::unexpected(flag + " needs a value");
        value = args[++i];
      } else {
        value = std::string_view(arg).substr(flag.size() + 1);
      }
      if (flag == "--timeout") {
        const auto seconds = parse_port(value);
        if (!seconds || *seconds == 0) {
          return std::unexpected("--timeout: expected a number of seconds from 1 to 65535, got '" +
                                 escape_log_text(value) + "'");
        }
        options.timeout = std::chrono::seconds(*seconds);
      } else if (value.empty()) {
        return std::unexpected(std::string("--pipe needs a name"));
      } else {
        options.pipe = pipe_path(value);
      }
    } else {
      options.rest.push_back(arg);
    }
  }
  return options;
}

// --help or -h among the options (not after "--").
bool wants_help(std::span<const std::string> args) {
  for (const std::string& arg : args) {
    if (arg == "--") return false;
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
    case Outcome::kNotRunning:
      state = "unreachable";
      text = unreachable_text(request.pipe, exchange.error);
      status = kExitUnreachable;
      break;
    case Outcome::kUntrusted:
      state = "untrusted_server";
      text = "refusing to send the configuration: " + exchange.error + "\n";
      status = kExitUntrusted;
      break;
    case Outcome::kTimedOut:
      state = "timed_out";
      text = "timed out: " + exchange.error + "; --timeout SECONDS waits longer\n";
      status = kExitNoResponse;
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
  const PipeRequest request = pipe_request(
      options.pipe, protocol::encode_command(command),
      options.verify && std::holds_alternative<protocol::Connect>(command), options.timeout);
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
  std::vector<std::string> arguments = options.rest;
  arguments.insert(arguments.end(), options.operands.begin(), options.operands.end());
  if (arguments.empty()) return usage_error(output, "send: which line?");
  const std::size_t flags = options.rest.size();
  for (std::size_t i = 0; i < arguments.size(); ++i) {
    if (i > 0 || (i < flags && arguments[i].starts_with("--"))) {
      return usage_error(output,
                         "send: unexpected argument '" + escape_log_text(arguments[i]) + "'");
    }
  }
  std::string sent = arguments[0];
  if (!sent.ends_with('\n')) sent += '\n';
  const auto decoded = protocol::decode_command(sent);
  const bool connect =
      decoded.command && std::holds_alternative<protocol::Connect>(*decoded.command);
  const PipeRequest request =
      pipe_request(options.pipe, std::move(sent), options.verify && connect, options.timeout);
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

// "line N: " before a problem of a line; nothing before one of the whole file.
std::string at_line(const FileProblem& problem) {
  return problem.line == 0 ? std::string() : "line " + std::to_string(problem.line) + ": ";
}

// connect FILE.conf: every problem of the file at once, at most kProblemsShown of them; what
// the service does not do is an error unless the user chose to leave it out.
int run_connect_file(const std::string& path, const CommonOptions& options,
                     const ClientEnvironment& environment, Output& output) {
  // The path as the user typed it: backslashes are not doubled, control characters escaped.
  const std::string name = printable_log_line(path);
  const auto text = environment.read_file(path);
  if (!text) return usage_error(output, "connect: cannot read " + name + ": " + text.error());
  const ConfigFile file = parse_config_file(*text, environment.resolve);
  const bool refuse_unsupported = !file.unsupported.empty() && !options.ignore_unsupported;
  std::size_t shown = 0;
  for (const FileProblem& problem : file.errors) {
    if (shown++ == kProblemsShown) break;
    output.err += "kestactl: " + name + ": " + at_line(problem) + problem.text + "\n";
  }
  if (refuse_unsupported && shown < kProblemsShown) {
    output.err += "kestactl: " + name + ": the service does not do what these lines ask for:\n";
    for (const FileProblem& problem : file.unsupported) {
      if (shown++ == kProblemsShown) break;
      output.err += "  " + at_line(problem) + problem.text + "\n";
    }
  }
  const std::size_t problems =
      file.errors.size() + file.errors_not_kept +
      (refuse_unsupported ? file.unsupported.size() + file.unsupported_not_kept : 0);
  if (problems > kProblemsShown) {
    output.err += "kestactl: " + name + ": " + more_problems(problems - kProblemsShown) + "\n";
  }
  if (refuse_unsupported) {
    output.err += "kestactl: remove them, or connect with --ignore-unsupported to leave them out\n";
  }
  if (problems != 0) return kExitUsage;
  for (const FileProblem& ignored : file.ignored) {
    output.err += "kestactl: warning: " + name + ": " + at_line(ignored) + ignored.text + "\n";
  }
  if (file.unsupported_not_kept != 0) {
    output.err += "kestactl: warning: " + name + ": ... and " +
                  std::to_string(file.unsupported_not_kept) + " more settings left out\n";
  }
  return exchange_command(protocol::Connect{file.config}, options, environment, output);
}

}  // namespace

PipeRequest pipe_request(std::string pipe, std::string line, bool verify,
                         std::chrono::seconds timeout) {
  PipeRequest request;
  request.line = std::move(line);
  request.pipe = std::move(pipe);
  request.service = verify ? std::string(kServiceName) : std::string();
  request.timeout = timeout;
  return request;
}

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
  if (wants_help(args) && (command != "send" || args.size() == 1)) {
    output.out += client_help(command);
    return kExitOk;
  }
  const auto options = common_options(args, command == "connect");
  if (!options) return usage_error(output, name + ": " + options.error());
  if (command == "send") return run_send(*options, environment, output);
  const auto& rest = options->rest;
  const auto& operands = options->operands;
  if (command == "info" || command == "disconnect") {
    if (!rest.empty() || !operands.empty()) {
      return usage_error(output, name + ": unexpected argument '" +
                                     escape_log_text(rest.empty() ? operands[0] : rest[0]) + "'");
    }
    return exchange_command(command == "info" ? protocol::Command{protocol::Info{}}
                                              : protocol::Command{protocol::Disconnect{}},
                            *options, environment, output);
  }
  // connect: one FILE.conf, or the flags of `encode connect`.
  const bool flags =
      std::ranges::any_of(rest, [](const std::string& arg) { return arg.starts_with("--"); });
  if (!flags && rest.size() + operands.size() == 1) {
    return run_connect_file(rest.empty() ? operands[0] : rest[0], *options, environment, output);
  }
  if (rest.empty() && operands.empty()) {
    return usage_error(output, "connect: give FILE.conf or the connect flags");
  }
  if (!flags) {
    std::string files;
    for (const auto* list : {&rest, &operands}) {
      for (const std::string& file : *list) {
        files += (files.empty() ? "'" : ", '") + printable_log_line(file) + "'";
      }
    }
    return usage_error(output, "connect: one configuration file is expected, not " +
                                   std::to_string(rest.size() + operands.size()) + ": " + files);
  }
  std::vector<std::string> flag_args = rest;
  if (!operands.empty()) {
    flag_args.push_back("--");
    flag_args.insert(flag_args.end(), operands.begin(), operands.end());
  }
  const auto config = parse_connect_flags(flag_args, "connect", environment.resolve);
  if (!config) return usage_errors(output, config.error());
  if (!*config) {
    output.out += client_help(command);
    return kExitOk;
  }
  return exchange_command(protocol::Connect{**config}, *options, environment, output);
}

}  // namespace kesta::kestactl
