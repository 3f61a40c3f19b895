#pragma once

#include <expected>
#include <functional>
#include <span>
#include <string>
#include <string_view>

#include "client_output.h"
#include "codec_commands.h"
#include "config_file.h"

namespace kesta::kestactl {

// Exit statuses of the commands that talk to the service (0 to 2 as for every subcommand).
inline constexpr int kExitNoResponse = 3;   // the service ended the connection without a line
inline constexpr int kExitUnreachable = 4;  // the pipe could not be opened
inline constexpr int kExitUntrusted = 5;    // the pipe's server is not the service

inline constexpr std::string_view kServiceName = "redevuva_service";
inline constexpr std::string_view kDefaultPipe = "\\\\.\\pipe\\redevuva.sock";

// One request line to deliver.
struct PipeRequest {
  std::string pipe;  // full path, \\.\pipe\NAME
  std::string line;  // ends in LF
  // Refuse to write unless the pipe's server is the process of this service (empty: don't).
  std::string verify_service;
};

// How the delivery went.
struct Exchange {
  enum class Outcome { kResponse, kNoResponse, kUnreachable, kUntrusted };
  Outcome outcome = Outcome::kNoResponse;
  std::string line;   // kResponse: the response line as read, LF included
  std::string error;  // otherwise: why
};

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

// --pipe NAME: a bare NAME becomes \\.\pipe\NAME; a full path is kept.
std::string pipe_path(std::string_view name);

// The hint printed when the pipe cannot be reached.
std::string unreachable_text(std::string_view pipe, std::string_view error);

}  // namespace kesta::kestactl
