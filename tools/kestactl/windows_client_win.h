#pragma once

#include <windows.h>

#include <chrono>
#include <cstdint>
#include <functional>
#include <span>
#include <string>
#include <string_view>

#include "client.h"
#include "service/service_log_notes.h"
#include "version_command.h"

namespace kesta::kestactl {

// `kestactl install|uninstall|status|start|stop|restart ...` against the service control
// manager.
int run_install(std::span<const std::string> args, Output& output);
int run_uninstall(std::span<const std::string> args, Output& output);
int run_status(std::span<const std::string> args, const ClientEnvironment& environment,
               Output& output);
// The installed service and the version of its binary, for `kestactl version`.
InstalledService find_installed_service(const std::string& name);
// `command` is start, stop or restart.
int run_service_control(std::string_view command, std::span<const std::string> args,
                        Output& output);

// What `kestactl log` prints to and how long it follows.
struct LogStream {
  // Writes printed lines at once (standard output in the program); false when it cannot, which
  // ends a --follow.
  std::function<bool(std::string_view)> print;
  // Asked between polls of --follow; true ends it.
  std::function<bool()> stop = [] { return false; };
  std::chrono::milliseconds poll{200};
  // The size at which the service copies its log aside (tests give their own logs another).
  std::uint64_t bound = service::kServiceLogBound;
};

// `kestactl log [--follow] [--lines N] [--file PATH]`.
int run_log(std::span<const std::string> args, const LogStream& stream, Output& output);

// \redevuva_service.log at the root of the system drive.
std::wstring service_log_path();

}  // namespace kesta::kestactl
