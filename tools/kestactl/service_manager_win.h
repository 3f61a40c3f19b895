#pragma once

#include <windows.h>

#include <chrono>
#include <expected>
#include <string>
#include <string_view>

#include "core/unique_handle_win.h"

namespace kesta::kestactl {

// A failed service control manager call: its error code and a sentence for people.
struct ServiceError {
  DWORD code = 0;
  std::string text;
};

// Opens `name` with `access`; the error's text names the service and says what went wrong.
std::expected<UniqueServiceHandle, ServiceError> open_service(const std::string& name,
                                                              DWORD access);

std::expected<SERVICE_STATUS_PROCESS, DWORD> query_status(SC_HANDLE service);

// The start type and the command line the manager runs (SERVICE_QUERY_CONFIG access).
struct ServiceConfig {
  DWORD start_type = 0;
  std::wstring command_line;
};
std::expected<ServiceConfig, DWORD> query_config(SC_HANDLE service);

// The executable a service's command line starts: the quoted part, or the text up to the
// first ".exe" (the whole text when there is none), environment variables expanded.
std::wstring binary_of(std::wstring_view command_line);

// The file version of an executable's version resource, "1.0.0" (a fourth part only when it is
// not 0); the error in the system's words.
std::expected<std::string, std::string> file_version(const std::wstring& path);

// Whether kestactl runs under Wine, whose service manager keeps less than Windows'.
bool running_under_wine();

// "running", "stopped", "starting", ...
std::string state_name(DWORD state);

// The exit code the manager holds, with the system's text for it: "0", "126 (The specified
// module could not be found.)", "1066 (service-specific code 2)".
std::string exit_code_text(const SERVICE_STATUS_PROCESS& status);

// Starts the service and waits until it leaves START_PENDING, at most `limit`. The error is a
// sentence that says what state it ended in and why, when the manager knows.
std::expected<SERVICE_STATUS_PROCESS, ServiceError> start_and_wait(SC_HANDLE service,
                                                                   const std::string& name,
                                                                   std::chrono::seconds limit);

// Asks the service to stop, waits for STOPPED and for its process to end, at most `limit`.
// A service already stopped is left as it is.
std::expected<SERVICE_STATUS_PROCESS, ServiceError> stop_and_wait(SC_HANDLE service,
                                                                  const std::string& name,
                                                                  std::chrono::seconds limit);

}  // namespace kesta::kestactl
