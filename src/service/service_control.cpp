#include "service/service_control.h"

#include "core/escape.h"

namespace kesta::service {

ControlAction control_action(std::uint32_t control) {
  switch (control) {
    case kControlStop:
      return {kNoError, true, true};
    case kControlInterrogate:
      return {kNoError, false, false};
    case kControlShutdown:
    case kControlPreshutdown:
      return {kCallNotImplemented, false, true};
    default:
      return {kCallNotImplemented, false, false};
  }
}

std::uint32_t ControlContext::handle(std::uint32_t control) {
  const std::lock_guard lock(mutex_);
  if (!sender_) return kNoError;
  const ControlAction action = control_action(control);
  if (action.notify_stop) sender_->send();
  if (action.close_channel) sender_.reset();
  return action.result;
}

std::optional<std::uint32_t> root_system_code(const Error& error) {
  const Error* root = &error;
  while (root->cause() != nullptr) root = root->cause();
  if (root->system_code() == 0) return std::nullopt;
  return root->system_code();
}

ExitStatus exit_status_for_error(const Error& error) {
  if (const auto code = root_system_code(error)) return {*code, 0};
  return {kServiceSpecificError, 1};
}

std::string_view error_kind_name(std::uint32_t code) {
  switch (code) {
    case 5:
      return "PermissionDenied";
    case 2:
    case 3:
      return "NotFound";
    case 80:
    case 183:
      return "AlreadyExists";
    case 109:
    case 232:
      return "BrokenPipe";
    case 87:
      return "InvalidInput";
    case 121:
    case 258:
    case 1460:
      return "TimedOut";
    case 120:
      return "Unsupported";
    default:
      return "Uncategorized";
  }
}

std::string dispatcher_failure_line(std::uint32_t code, std::string_view message) {
  std::string line = "Error: Winapi(Os { code: " + std::to_string(code) + ", kind: ";
  line.append(error_kind_name(code));
  line.append(", message: ");
  append_quoted(line, message);
  line.append(" })\n");
  return line;
}

}  // namespace kesta::service
