#pragma once

#include <span>
#include <string>
#include <string_view>

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

// `kestactl decode [--response] [LINE]`; without LINE the line is read from `input`.
int run_decode(std::span<const std::string> args, const protocol::ReadSome& input, Output& output);

// `kestactl encode info|disconnect|connect ...`
int run_encode(std::span<const std::string> args, Output& output);

// A usage error: the message and a pointer to --help on standard error.
int usage_error(Output& output, std::string_view message);

}  // namespace kesta::kestactl
