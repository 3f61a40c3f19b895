#include <windows.h>

#include <chrono>

#include "core/error.h"
#include "core/unique_handle_win.h"
#include "core/utf16.h"
#include "service_manager_win.h"
#include "windows_client_win.h"

namespace kesta::kestactl {
namespace {

// How long to wait for a free pipe instance while the service is busy with other clients.
constexpr auto kBusyWait = std::chrono::seconds(10);

Exchange failed(Exchange::Outcome outcome, std::string error) {
  return {outcome, {}, std::move(error)};
}

// The process id the service control manager reports for a running service.
std::expected<DWORD, std::string> service_process(const std::string& name) {
  const auto service = open_service(name, SERVICE_QUERY_STATUS);
  if (!service) return std::unexpected(service.error().text);
  const auto status = query_status(service->get());
  if (!status)
    return std::unexpected("cannot query " + name + ": " + system_error_message(status.error()));
  if (status->dwCurrentState != SERVICE_RUNNING || status->dwProcessId == 0) {
    return std::unexpected(name + " is not running");
  }
  return status->dwProcessId;
}

}  // namespace

Exchange deliver_over_pipe(const PipeRequest& request) {
  using Outcome = Exchange::Outcome;
  const std::wstring path = widen(request.pipe);
  const auto give_up = std::chrono::steady_clock::now() + kBusyWait;
  UniqueFile pipe;
  for (;;) {
    // Exactly the rights it uses: GENERIC_WRITE would also ask for FILE_WRITE_EA and
    // FILE_WRITE_ATTRIBUTES, which the pipe's descriptor need not grant a non-administrator.
    pipe.reset(CreateFileW(path.c_str(), kPipeAccess, 0, nullptr, OPEN_EXISTING,
                           SECURITY_SQOS_PRESENT | SECURITY_IDENTIFICATION, nullptr));
    if (pipe) break;
    const DWORD code = GetLastError();
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        give_up - std::chrono::steady_clock::now());
    if (code != ERROR_PIPE_BUSY || left.count() <= 0) {
      return failed(Outcome::kUnreachable, system_error_message(code));
    }
    WaitNamedPipeW(path.c_str(), static_cast<DWORD>(left.count()));
  }

  if (!request.verify_service.empty()) {
    ULONG server = 0;
    if (!GetNamedPipeServerProcessId(pipe.get(), &server)) {
      return failed(Outcome::kUntrusted, "cannot tell which process serves " + request.pipe + ": " +
                                             last_error().message());
    }
    const auto expected = service_process(request.verify_service);
    if (!expected) {
      return failed(Outcome::kUntrusted, request.pipe + " is served by process " +
                                             std::to_string(server) + ", but " + expected.error());
    }
    if (*expected != server) {
      return failed(Outcome::kUntrusted,
                    request.pipe + " is served by process " + std::to_string(server) + ", not by " +
                        request.verify_service + " (process " + std::to_string(*expected) + ")");
    }
  }

  std::string_view rest = request.line;
  while (!rest.empty()) {
    DWORD written = 0;
    if (!WriteFile(pipe.get(), rest.data(), static_cast<DWORD>(rest.size()), &written, nullptr)) {
      const DWORD code = GetLastError();
      // A server that already hung up refused the request without reading all of it.
      if (code == ERROR_NO_DATA || code == ERROR_BROKEN_PIPE || code == ERROR_PIPE_NOT_CONNECTED) {
        return failed(Outcome::kNoResponse, {});
      }
      return failed(Outcome::kNoResponse, "writing the request: " + system_error_message(code));
    }
    rest.remove_prefix(written);
  }

  std::string line;
  char buffer[4096];
  while (!line.ends_with('\n')) {
    DWORD read = 0;
    if (!ReadFile(pipe.get(), buffer, sizeof buffer, &read, nullptr)) {
      const DWORD code = GetLastError();
      if (code == ERROR_MORE_DATA) {
        line.append(buffer, read);
        continue;
      }
      if (code == ERROR_BROKEN_PIPE || code == ERROR_PIPE_NOT_CONNECTED) break;
      return failed(Outcome::kNoResponse, "reading the response: " + system_error_message(code));
    }
    if (read == 0) break;
    line.append(buffer, read);
  }
  if (line.empty()) return failed(Outcome::kNoResponse, {});
  // Only the first line is the response; the service never writes more.
  if (const std::size_t lf = line.find('\n'); lf != line.npos) line.resize(lf + 1);
  return {Outcome::kResponse, std::move(line), {}};
}

}  // namespace kesta::kestactl
