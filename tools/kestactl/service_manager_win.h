#pragma once

#include <windows.h>

#include <chrono>
#include <expected>
#include <string>

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
