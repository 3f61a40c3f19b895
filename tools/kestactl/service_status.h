#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace kesta::kestactl {

// Exit statuses of `kestactl status`, as `systemctl status` has them.
inline constexpr int kStatusRunning = 0;
inline constexpr int kStatusNotRunning = 3;
inline constexpr int kStatusNotInstalled = 4;

// What `kestactl status` found out, from the service control manager and from the pipe.
struct ServiceReport {
  enum class Installed { kYes, kNo, kUnknown };
  std::string service;
  Installed installed = Installed::kUnknown;
  std::string query_error;  // kUnknown: why the manager could not tell
  std::string state;        // "running", "stopped", "starting", ...
  bool running = false;
  std::uint32_t process_id = 0;
  std::string start_type;     // "auto", "demand", "disabled", ...
  std::string binary_path;    // the command line the manager starts
  std::string version;        // of the binary, from its version resource; empty when unknown
  std::string version_error;  // why it is unknown
  std::uint32_t exit_code = 0;
  std::optional<std::uint32_t> service_exit_code;  // when exit_code says service-specific
  std::string exit_text;                           // the system's text for exit_code, if any
  std::string pipe;
  bool pipe_answers = false;
  std::string tunnel;      // answering: "connected", "disconnected" or "error"
  std::string pipe_error;  // not answering, or what the answer said
};

// Several "name: value" lines for people.
std::string format_status(const ServiceReport& report);
// One line of JSON with every field, null where the manager told nothing.
std::string format_status_json(const ServiceReport& report);
// 0 running, 3 installed but not running, 4 not installed, 1 when the manager could not tell.
int status_exit_code(const ServiceReport& report);

}  // namespace kesta::kestactl
