#include <windows.h>

#include <algorithm>
#include <expected>
#include <optional>

#include "client/exchange.h"
#include "client/pipe_access_win.h"
#include "core/error.h"
#include "core/unique_handle_win.h"
#include "core/utf16.h"

namespace kesta::client {
namespace {

using Clock = std::chrono::steady_clock;
using Outcome = Exchange::Outcome;

Exchange failed(Outcome outcome, std::string error, DWORD code = 0) {
  return {outcome, {}, std::move(error), code};
}

// What is left of the time, for a wait: never INFINITE, 0 once it has passed.
DWORD millis_left(Clock::time_point deadline) {
  const auto left =
      std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
  return static_cast<DWORD>(std::clamp<long long>(left, 0, INFINITE - 1));
}

std::string within(const Request& request) {
  return std::to_string(request.timeout.count()) + " ms";
}

// Where the service control manager puts the service: its process while it runs.
struct ServiceState {
  DWORD process = 0;  // nonzero only while it runs
  bool known = true;  // false when the manager could not be asked
  std::string why;    // otherwise why not: "NAME is stopped", "NAME is not installed"
  DWORD code = 0;     // the failed call's
};

ServiceState service_state(const std::string& name) {
  ServiceState state;
  const UniqueServiceHandle manager(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
  if (!manager) {
    state.code = GetLastError();
    state.known = false;
    state.why = "cannot open the service control manager: " + system_error_message(state.code);
    return state;
  }
  const UniqueServiceHandle service(
      OpenServiceW(manager.get(), widen(name).c_str(), SERVICE_QUERY_STATUS));
  if (!service) {
    state.code = GetLastError();
    if (state.code == ERROR_SERVICE_DOES_NOT_EXIST) {
      state.why = name + " is not installed";
    } else {
      state.known = false;
      state.why = "cannot open " + name + ": " + system_error_message(state.code);
    }
    return state;
  }
  SERVICE_STATUS_PROCESS status{};
  DWORD needed = 0;
  if (!QueryServiceStatusEx(service.get(), SC_STATUS_PROCESS_INFO, reinterpret_cast<BYTE*>(&status),
                            sizeof status, &needed)) {
    state.code = GetLastError();
    state.known = false;
    state.why = "cannot query " + name + ": " + system_error_message(state.code);
    return state;
  }
  if (status.dwCurrentState != SERVICE_RUNNING || status.dwProcessId == 0) {
    state.why = name + (status.dwCurrentState == SERVICE_STOPPED         ? " is stopped"
                        : status.dwCurrentState == SERVICE_START_PENDING ? " is starting"
                                                                         : " is not running");
    return state;
  }
  state.process = status.dwProcessId;
  return state;
}

// Opens the pipe, waiting for a free instance while every one is busy.
std::expected<UniqueFile, Exchange> open_pipe(const Request& request, Clock::time_point deadline) {
  const std::wstring path = widen(request.pipe);
  for (;;) {
    // The server learns who the caller is but cannot act as the caller.
    UniqueFile pipe(
        CreateFileW(path.c_str(), kPipeAccess, 0, nullptr, OPEN_EXISTING, kPipeOpenFlags, nullptr));
    if (pipe) return pipe;
    const DWORD code = GetLastError();
    if (code == ERROR_PIPE_BUSY) {
      const DWORD left = millis_left(deadline);
      if (left == 0) {
        return std::unexpected(
            failed(Outcome::kTimedOut,
                   "every instance of " + request.pipe + " stayed busy for " + within(request)));
      }
      // A zero wait would mean the pipe's default; `left` is at least 1 here.
      WaitNamedPipeW(path.c_str(), left);
      continue;
    }
    if (code == ERROR_FILE_NOT_FOUND && !request.service.empty()) {
      ServiceState state = service_state(request.service);
      if (state.process == 0 && state.known) {
        return std::unexpected(failed(Outcome::kNotRunning, std::move(state.why), state.code));
      }
    }
    return std::unexpected(failed(Outcome::kUnreachable, system_error_message(code), code));
  }
}

// Refuses a server that is not the service's process.
std::optional<Exchange> check_server(HANDLE pipe, const Request& request) {
  ULONG server = 0;
  if (!GetNamedPipeServerProcessId(pipe, &server)) {
    const DWORD code = GetLastError();
    return failed(
        Outcome::kUntrusted,
        "cannot tell which process serves " + request.pipe + ": " + system_error_message(code),
        code);
  }
  const ServiceState state = service_state(request.service);
  const std::string served = request.pipe + " is served by process " + std::to_string(server);
  if (state.process == 0) return failed(Outcome::kUntrusted, served + ", but " + state.why);
  if (state.process != server) {
    return failed(Outcome::kUntrusted, served + ", not by " + request.service + " (process " +
                                           std::to_string(state.process) + ")");
  }
  return std::nullopt;
}

struct Transfer {
  DWORD bytes = 0;
  DWORD error = 0;  // 0: done
  bool timed_out = false;
};

// Waits for an overlapped read or write that `started` began, and cancels it at the deadline.
Transfer finish(HANDLE pipe, OVERLAPPED& overlapped, BOOL started, Clock::time_point deadline) {
  Transfer transfer;
  if (!started) {
    const DWORD code = GetLastError();
    if (code != ERROR_IO_PENDING) return {0, code, false};
    const DWORD waited = WaitForSingleObject(overlapped.hEvent, millis_left(deadline));
    if (waited != WAIT_OBJECT_0) {
      CancelIoEx(pipe, &overlapped);
      transfer.timed_out = waited == WAIT_TIMEOUT;
    }
  }
  // Waits for the cancellation too: the buffer and OVERLAPPED must outlive the operation.
  if (!GetOverlappedResult(pipe, &overlapped, &transfer.bytes, TRUE)) {
    transfer.error = GetLastError();
    if (transfer.error == ERROR_OPERATION_ABORTED && transfer.timed_out) transfer.error = 0;
    return transfer;
  }
  // It completed as the deadline passed: what it moved counts.
  transfer.timed_out = false;
  return transfer;
}

bool hung_up(DWORD code) {
  return code == ERROR_BROKEN_PIPE || code == ERROR_NO_DATA || code == ERROR_PIPE_NOT_CONNECTED;
}

Exchange no_answer_in_time(const Request& request) {
  return failed(Outcome::kTimedOut, "no answer within " + within(request));
}

}  // namespace

Exchange exchange_over_pipe(const Request& request) {
  const auto deadline = Clock::now() + request.timeout;
  auto pipe = open_pipe(request, deadline);
  if (!pipe) return std::move(pipe.error());
  if (!request.service.empty()) {
    if (auto refused = check_server(pipe->get(), request)) return std::move(*refused);
  }

  // Overlapped, so that a server that stops reading or never answers cannot hold the caller
  // beyond its timeout.
  const UniqueHandle event(CreateEventW(nullptr, TRUE, FALSE, nullptr));
  if (!event) {
    const DWORD code = GetLastError();
    return failed(Outcome::kNoResponse, "creating an event: " + system_error_message(code), code);
  }
  std::string_view rest = request.line;
  while (!rest.empty()) {
    OVERLAPPED overlapped{};
    overlapped.hEvent = event.get();
    const DWORD size = static_cast<DWORD>(std::min<std::size_t>(rest.size(), 1 << 20));
    const BOOL started = WriteFile(pipe->get(), rest.data(), size, nullptr, &overlapped);
    const Transfer written = finish(pipe->get(), overlapped, started, deadline);
    if (written.timed_out) return no_answer_in_time(request);
    // A server that already hung up refused the request without reading all of it.
    if (hung_up(written.error)) return failed(Outcome::kNoResponse, {});
    if (written.error != 0) {
      return failed(Outcome::kNoResponse,
                    "writing the request: " + system_error_message(written.error), written.error);
    }
    rest.remove_prefix(written.bytes);
  }

  std::string line;
  char buffer[4096];
  while (line.find('\n') == std::string::npos) {
    if (line.size() >= kMaxResponseBytes) {
      return failed(Outcome::kNoResponse,
                    "the response is longer than " + std::to_string(kMaxResponseBytes) + " bytes");
    }
    OVERLAPPED overlapped{};
    overlapped.hEvent = event.get();
    const BOOL started = ReadFile(pipe->get(), buffer, sizeof buffer, nullptr, &overlapped);
    const Transfer read = finish(pipe->get(), overlapped, started, deadline);
    if (read.timed_out) return no_answer_in_time(request);
    if (read.error == ERROR_MORE_DATA) {
      line.append(buffer, read.bytes);
      continue;
    }
    if (hung_up(read.error)) break;
    if (read.error != 0) {
      return failed(Outcome::kNoResponse,
                    "reading the response: " + system_error_message(read.error), read.error);
    }
    if (read.bytes == 0) break;
    line.append(buffer, read.bytes);
  }
  if (line.empty()) return failed(Outcome::kNoResponse, {});
  // Only the first line is the response; the service never writes more.
  if (const std::size_t lf = line.find('\n'); lf != std::string::npos) line.resize(lf + 1);
  return {Outcome::kResponse, std::move(line), {}, 0};
}

}  // namespace kesta::client
