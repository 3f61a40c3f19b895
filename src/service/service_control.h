#pragma once

#include <cstdint>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>

#include "core/error.h"
#include "service/stop_channel.h"

namespace kesta::service {

inline constexpr std::uint32_t kControlStop = 1;
inline constexpr std::uint32_t kControlInterrogate = 4;
inline constexpr std::uint32_t kControlShutdown = 5;
inline constexpr std::uint32_t kControlPreshutdown = 15;
inline constexpr std::uint32_t kNoError = 0;
inline constexpr std::uint32_t kCallNotImplemented = 120;
inline constexpr std::uint32_t kServiceSpecificError = 1066;

// What the control handler does with one control code.
struct ControlAction {
  std::uint32_t result = kNoError;
  bool notify_stop = false;
  bool close_channel = false;
  bool operator==(const ControlAction&) const = default;
};
ControlAction control_action(std::uint32_t control);

// The control handler's context: the sending end of the stop channel, or none when the service
// only registered a handler to report its end.
class ControlContext {
 public:
  explicit ControlContext(std::optional<StopSender> sender) : sender_(std::move(sender)) {}
  // Once the channel is closed, every control returns NO_ERROR and does nothing.
  std::uint32_t handle(std::uint32_t control);

 private:
  std::mutex mutex_;
  std::optional<StopSender> sender_;  // guarded by mutex_
};

// The exit codes of a final STOPPED status.
struct ExitStatus {
  std::uint32_t win32 = 0;
  std::uint32_t service_specific = 0;
  bool operator==(const ExitStatus&) const = default;
};

// The system error code at the root of the chain, if that root is a system error with a code
// other than 0.
std::optional<std::uint32_t> root_system_code(const Error& error);

// For an end without a requested stop: the root system code, else a service-specific 1.
ExitStatus exit_status_for_error(const Error& error);
// For a fault caught around the service body.
inline constexpr ExitStatus kFaultExitStatus{kServiceSpecificError, 2};

// The category name of a system error code, as the console line shows it.
std::string_view error_kind_name(std::uint32_t code);

// "Error: Winapi(Os { code: C, kind: K, message: \"M\" })" and a line feed, where `message` is
// the system's text for the code without the " (os error N)" tail.
std::string dispatcher_failure_line(std::uint32_t code, std::string_view message);

// Shown when another process holds the pipe's name.
inline constexpr std::string_view kNameOccupiedMessage =
    "Error: could not start server because the socket file is occupied. Please check if\n"
    "                    redevuva.sock is in use by another process and try again.";

}  // namespace kesta::service
