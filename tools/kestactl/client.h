#pragma once

#include <chrono>
#include <expected>
#include <functional>
#include <span>
#include <string>
#include <string_view>

#include "client/exchange.h"
#include "client_output.h"
#include "codec_commands.h"
#include "config_file.h"

namespace kesta::kestactl {

// Exit statuses of the commands that talk to the service (0 to 2 as for every subcommand).
inline constexpr int kExitNoResponse = 3;   // no answer: the service hung up, or the time ran out
inline constexpr int kExitUnreachable = 4;  // the pipe could not be opened
inline constexpr int kExitUntrusted = 5;    // the pipe's server is not the service

inline constexpr std::string_view kServiceName = client::kServiceName;
inline constexpr std::string_view kDefaultPipe = client::kPipePath;
// How long a command waits for a free pipe instance and for the answer, unless --timeout
// says otherwise: a Connect is answered within about a second.
inline constexpr std::chrono::seconds kDefaultTimeout{30};

// A request line and how its delivery went, as the client library has them. kestactl checks
// the pipe's server (`service`) for a Connect only: nothing else carries a secret.
using PipeRequest = client::Request;
using Exchange = client::Exchange;
using Deliver = std::function<Exchange(const PipeRequest&)>;
using ReadTextFile =
    std::function<std::expected<std::string, std::string>(const std::string& path)>;

// What the client commands use of the outside world.
struct ClientEnvironment {
  Deliver deliver;
  Resolver resolve;
  ReadTextFile read_file;
  TimeContext time;
};

// `kestactl info|disconnect|connect|send ...`; `command` is the subcommand's name, `args` what
// follows it.
int run_client(std::string_view command, std::span<const std::string> args,
               const ClientEnvironment& environment, Output& output);

// The request that delivers `line` to `pipe` within `timeout`; the pipe's server must be the
// service's process when `verify`.
PipeRequest pipe_request(std::string pipe, std::string line, bool verify,
                         std::chrono::seconds timeout);

// --pipe NAME: a bare NAME becomes \\.\pipe\NAME; a full path is kept.
std::string pipe_path(std::string_view name);

// The hint printed when the pipe cannot be reached.
std::string unreachable_text(std::string_view pipe, std::string_view error);

}  // namespace kesta::kestactl
