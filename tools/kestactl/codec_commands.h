#pragma once

#include <span>
#include <string>
#include <string_view>

#include "connect_flags.h"
#include "protocol/request_line.h"

namespace kesta::kestactl {

// Exit statuses shared by every subcommand.
inline constexpr int kExitOk = 0;
inline constexpr int kExitRefused = 1;
inline constexpr int kExitUsage = 2;

struct Output {
  std::string out;  // standard output
  std::string err;  // standard error
};

// `kestactl decode [--response] [--json] [LINE]`; without LINE the line is read from `input`.
int run_decode(std::span<const std::string> args, const protocol::ReadSome& input, Output& output);

// `kestactl encode info|disconnect|connect ...`; `resolve` finds an endpoint given by host
// name (without it, only addresses are taken).
int run_encode(std::span<const std::string> args, Output& output, const Resolver& resolve = {});

// A usage error: the message and a pointer to --help on standard error.
int usage_error(Output& output, std::string_view message);
// Several at once, one line each: at most kProblemsShown, then how many more.
int usage_errors(Output& output, std::span<const std::string> messages);

// "... and N more problems", for lists cut at kProblemsShown.
std::string more_problems(std::size_t count);

}  // namespace kesta::kestactl
