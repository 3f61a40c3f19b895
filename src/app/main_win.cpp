// The service process: the dispatcher connection, the service main routine with its fault
// barrier, the service body and the control handler.

#include <windows.h>

#include <cstdint>
#include <cstdio>
#include <memory>
#include <optional>
#include <string>
#include <system_error>
#include <utility>

#include "core/console_win.h"
#include "core/error.h"
#include "driver/wireguard_library.h"
#include "pipe/pipe_listener_win.h"
#include "service/request_loop.h"
#include "service/service_control.h"
#include "service/service_log_win.h"
#include "service/stop_channel.h"
#include "service/supervision.h"
#include "tunnel/tunnel_handlers.h"

namespace kesta::service {
namespace {

// Not const: the dispatch table takes the name through a non-const pointer.
wchar_t kServiceName[] = L"redevuva_service";

// "IO error in winapi call", with the last error of the service API call that failed.
Error winapi_error() {
  Error cause = last_error();
  return Error("IO error in winapi call", std::move(cause));
}

DWORD WINAPI control_handler(DWORD control, DWORD, LPVOID, LPVOID context) {
  try {
    return static_cast<ControlContext*>(context)->handle(control);
  } catch (...) {
    // Nothing may unwind into the dispatcher; a Stop that cannot be queued changes nothing.
    return kNoError;
  }
}

// What the service main routine and the body share about the service control manager.
class StatusReporter {
 public:
  // Registers the handler around `context`; on failure the context is released at once.
  Result<> register_handler(std::unique_ptr<ControlContext> context) {
    handle_ = RegisterServiceCtrlHandlerExW(kServiceName, control_handler, context.get());
    if (handle_ == nullptr) return std::unexpected(winapi_error());
    // The platform may call the handler until the process ends, so the context stays.
    context.release();
    return {};
  }

  Result<> report_running() { return report(SERVICE_RUNNING, SERVICE_ACCEPT_STOP, {}); }

  Result<> report_stopped(ExitStatus exit) { return report(SERVICE_STOPPED, 0, exit); }

  // Reports STOPPED unless that is done already, registering a handler with no stop channel
  // when there is none yet, so that the manager never waits for a status that will not come.
  void ensure_stopped(ExitStatus exit) {
    if (stopped_) return;
    if (handle_ == nullptr &&
        !register_handler(std::make_unique<ControlContext>(std::nullopt)).has_value()) {
      return;
    }
    (void)report_stopped(exit);
  }

 private:
  Result<> report(DWORD state, DWORD accepted, ExitStatus exit) {
    SERVICE_STATUS status{};
    status.dwServiceType = SERVICE_WIN32_OWN_PROCESS;
    status.dwCurrentState = state;
    status.dwControlsAccepted = accepted;
    status.dwWin32ExitCode = exit.win32;
    status.dwServiceSpecificExitCode = exit.service_specific;
    if (!SetServiceStatus(handle_, &status)) return std::unexpected(winapi_error());
    if (state == SERVICE_STOPPED) stopped_ = true;
    return {};
  }

  SERVICE_STATUS_HANDLE handle_ = nullptr;
  bool stopped_ = false;
};

Result<> run_body(const std::shared_ptr<ServiceLog>& log, StatusReporter& status) {
  // Before any thread starts: every thread of the service fails the way the worker does.
  const auto barrier = std::make_shared<FaultBarrier>();
  FaultBarrier::install(barrier);

  auto library = driver::load_wireguard_library();
  if (!library) return std::unexpected(library.error().error());

  auto [sender, receiver] = make_stop_channel();

  auto descriptor = SecurityDescriptor::from_sddl(pipe::kPipeSecurity);
  if (!descriptor) return std::unexpected(descriptor.error());
  auto listener = pipe::PipeListener::create(pipe::kPipeName, descriptor->get());
  if (!listener) {
    if (listener.error().name_occupied) log->write_line(kNameOccupiedMessage);
    return std::unexpected(listener.error().error);
  }

  if (auto registered =
          status.register_handler(std::make_unique<ControlContext>(std::move(sender)));
      !registered) {
    return registered;
  }
  if (auto running = status.report_running(); !running) return running;

  auto state = std::make_unique<WorkerState>(std::move(*listener), log,
                                             tunnel::make_system_tunnel_handlers(*library));
  std::optional<WorkerThread> worker;
  try {
    worker.emplace([state = std::move(state)] { run_worker(*state); }, kWorkerStack, barrier);
  } catch (const std::system_error& failure) {
    return std::unexpected(Error("CreateThread failed", system_error(failure.code().value())));
  }

  const SupervisionEnd end = supervise(*worker, receiver, *log);
  return status.report_stopped({exit_code_of(end), 0});
}

void WINAPI service_main(DWORD, LPWSTR*) {
  StatusReporter status;
  try {
    auto log = ServiceLog::open(kServiceLogPath);
    if (!log) {
      status.ensure_stopped(exit_status_for_error(log.error()));
      return;
    }
    std::optional<ExitStatus> exit;
    try {
      (*log)->write_line("Service started");
      (*log)->write_start_notes();
      if (auto body = run_body(*log, status); !body) {
        exit = exit_status_for_error(body.error());
        (*log)->write_line("Error on execution: " + body.error().report());
      }
    } catch (...) {
      if (!exit) exit = kFaultExitStatus;
      try {
        (*log)->write_line("Panic: Any { .. }");
      } catch (...) {
        // The log itself is what failed; there is nowhere left to write.
      }
    }
    if (exit) status.ensure_stopped(*exit);
  } catch (...) {
    status.ensure_stopped(kFaultExitStatus);
  }
}

}  // namespace
}  // namespace kesta::service

int wmain() {
  using namespace kesta::service;
  SERVICE_TABLE_ENTRYW table[] = {{kServiceName, service_main}, {nullptr, nullptr}};
  if (!StartServiceCtrlDispatcherW(table)) {
    const DWORD code = GetLastError();
    // Nothing is left to tell when even this fails.
    (void)kesta::write_standard_error(
        dispatcher_failure_line(code, kesta::system_error_text(code)));
    return 1;
  }
  // The worker may still be blocked in the pipe; ending the process ends it, without running
  // destructors of objects it still uses.
  ExitProcess(0);
}
