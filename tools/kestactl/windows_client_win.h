#pragma once

#include <span>
#include <string>
#include <string_view>

#include "client.h"

namespace kesta::kestactl {

std::wstring widen(std::string_view text);
std::string narrow(std::wstring_view text);

// Writes the request line to the pipe and reads the response line. The pipe is opened at
// identification level only, so that its server cannot act as the caller.
Exchange deliver_over_pipe(const PipeRequest& request);

// `kestactl install|uninstall|status ...` against the service control manager.
int run_install(std::span<const std::string> args, Output& output);
int run_uninstall(std::span<const std::string> args, Output& output);
int run_status(std::span<const std::string> args, const ClientEnvironment& environment,
               Output& output);

}  // namespace kesta::kestactl
