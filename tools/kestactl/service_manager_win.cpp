#include "service_manager_win.h"

#include <winver.h>

#include <cwctype>
#include <thread>
#include <vector>

#include "core/error.h"
#include "core/utf16.h"
#include "windows_client_win.h"

namespace kesta::kestactl {
namespace {

// Polls until `done` holds for the service's state, or the time is up.
template <class Done>
std::expected<SERVICE_STATUS_PROCESS, DWORD> wait_for(SC_HANDLE service,
                                                      std::chrono::steady_clock::time_point give_up,
                                                      Done done) {
  for (;;) {
    auto status = query_status(service);
    if (!status || done(status->dwCurrentState) || std::chrono::steady_clock::now() >= give_up) {
      return status;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
}

ServiceError failure(DWORD code, std::string text) {
  return {code, std::move(text)};
}

}  // namespace

std::expected<UniqueServiceHandle, ServiceError> open_service(const std::string& name,
                                                              DWORD access) {
  const UniqueServiceHandle manager(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
  if (!manager) {
    const DWORD code = GetLastError();
    return std::unexpected(
        failure(code, "cannot open the service control manager: " + system_error_message(code)));
  }
  UniqueServiceHandle service(OpenServiceW(manager.get(), widen(name).c_str(), access));
  if (!service) {
    const DWORD code = GetLastError();
    if (code == ERROR_SERVICE_DOES_NOT_EXIST) {
      return std::unexpected(failure(code, name + " is not installed"));
    }
    return std::unexpected(
        failure(code, "cannot open " + name + ": " + system_error_message(code)));
  }
  return service;
}

std::expected<SERVICE_STATUS_PROCESS, DWORD> query_status(SC_HANDLE service) {
  SERVICE_STATUS_PROCESS status{};
  DWORD needed = 0;
  if (!QueryServiceStatusEx(service, SC_STATUS_PROCESS_INFO, reinterpret_cast<BYTE*>(&status),
                            sizeof status, &needed)) {
    return std::unexpected(GetLastError());
  }
  return status;
}

std::expected<ServiceConfig, DWORD> query_config(SC_HANDLE service) {
  DWORD needed = 0;
  QueryServiceConfigW(service, nullptr, 0, &needed);
  std::vector<std::uint64_t> buffer(needed / sizeof(std::uint64_t) + 1);
  auto* config = reinterpret_cast<QUERY_SERVICE_CONFIGW*>(buffer.data());
  if (!QueryServiceConfigW(service, config,
                           static_cast<DWORD>(buffer.size() * sizeof(std::uint64_t)), &needed)) {
    return std::unexpected(GetLastError());
  }
  return ServiceConfig{config->dwStartType,
                       config->lpBinaryPathName ? config->lpBinaryPathName : L""};
}

std::wstring binary_of(std::wstring_view command_line) {
  std::wstring_view path = command_line;
  if (path.starts_with(L'"')) {
    path = path.substr(1, path.find(L'"', 1) - 1);
  } else {
    std::wstring lower(path);
    for (wchar_t& c : lower) c = static_cast<wchar_t>(std::towlower(c));
    if (const std::size_t exe = lower.find(L".exe"); exe != lower.npos) {
      path = path.substr(0, exe + 4);
    }
  }
  const std::wstring text(path);
  const DWORD size = ExpandEnvironmentStringsW(text.c_str(), nullptr, 0);
  std::wstring expanded(size, L'\0');
  if (size == 0 || ExpandEnvironmentStringsW(text.c_str(), expanded.data(), size) != size) {
    return text;
  }
  expanded.resize(size - 1);
  return expanded;
}

std::expected<std::string, std::string> file_version(const std::wstring& path) {
  DWORD ignored = 0;
  const DWORD size = GetFileVersionInfoSizeW(path.c_str(), &ignored);
  if (size == 0) return std::unexpected(last_error().message());
  std::vector<std::uint64_t> data(size / sizeof(std::uint64_t) + 1);
  if (!GetFileVersionInfoW(path.c_str(), 0, size, data.data())) {
    return std::unexpected(last_error().message());
  }
  void* value = nullptr;
  UINT length = 0;
  if (!VerQueryValueW(data.data(), L"\\", &value, &length) || length < sizeof(VS_FIXEDFILEINFO)) {
    return std::unexpected(std::string("its version resource holds no file version"));
  }
  const auto* fixed = static_cast<const VS_FIXEDFILEINFO*>(value);
  std::string version = std::to_string(HIWORD(fixed->dwFileVersionMS)) + "." +
                        std::to_string(LOWORD(fixed->dwFileVersionMS)) + "." +
                        std::to_string(HIWORD(fixed->dwFileVersionLS));
  if (LOWORD(fixed->dwFileVersionLS) != 0) {
    version += "." + std::to_string(LOWORD(fixed->dwFileVersionLS));
  }
  return version;
}

bool running_under_wine() {
  const HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
  return ntdll != nullptr && GetProcAddress(ntdll, "wine_get_version") != nullptr;
}

std::string state_name(DWORD state) {
  switch (state) {
    case SERVICE_STOPPED:
      return "stopped";
    case SERVICE_START_PENDING:
      return "starting";
    case SERVICE_STOP_PENDING:
      return "stopping";
    case SERVICE_RUNNING:
      return "running";
    case SERVICE_CONTINUE_PENDING:
      return "continuing";
    case SERVICE_PAUSE_PENDING:
      return "pausing";
    case SERVICE_PAUSED:
      return "paused";
    default:
      return "state " + std::to_string(state);
  }
}

std::string exit_code_text(const SERVICE_STATUS_PROCESS& status) {
  const DWORD code = status.dwWin32ExitCode;
  if (code == ERROR_SERVICE_SPECIFIC_ERROR) {
    return std::to_string(code) + " (service-specific code " +
           std::to_string(status.dwServiceSpecificExitCode) + ")";
  }
  if (code == 0) return "0";
  return std::to_string(code) + " (" + system_error_text(code) + ")";
}

std::expected<SERVICE_STATUS_PROCESS, ServiceError> start_and_wait(SC_HANDLE service,
                                                                   const std::string& name,
                                                                   std::chrono::seconds limit) {
  const auto give_up = std::chrono::steady_clock::now() + limit;
  if (!StartServiceW(service, 0, nullptr)) {
    const DWORD code = GetLastError();
    // Wine's manager gives ERROR_SERVICE_REQUEST_TIMEOUT when the service reports STOPPED
    // before RUNNING; the status below says what happened.
    if (code != ERROR_SERVICE_ALREADY_RUNNING && code != ERROR_SERVICE_REQUEST_TIMEOUT) {
      return std::unexpected(
          failure(code, "cannot start " + name + ": " + system_error_message(code)));
    }
  }
  const auto status =
      wait_for(service, give_up, [](DWORD state) { return state != SERVICE_START_PENDING; });
  if (!status) {
    return std::unexpected(failure(
        status.error(), "cannot query " + name + ": " + system_error_message(status.error())));
  }
  if (status->dwCurrentState == SERVICE_RUNNING) return *status;
  if (status->dwCurrentState == SERVICE_START_PENDING) {
    return std::unexpected(failure(ERROR_SERVICE_REQUEST_TIMEOUT,
                                   name + " is still starting after " +
                                       std::to_string(limit.count()) +
                                       " seconds; 'kestactl status' shows how it goes on"));
  }
  return std::unexpected(failure(ERROR_SERVICE_NOT_ACTIVE,
                                 name + " did not start: it is " +
                                     state_name(status->dwCurrentState) + " with exit code " +
                                     exit_code_text(*status) + "; 'kestactl log' shows why"));
}

std::expected<SERVICE_STATUS_PROCESS, ServiceError> stop_and_wait(SC_HANDLE service,
                                                                  const std::string& name,
                                                                  std::chrono::seconds limit) {
  const auto give_up = std::chrono::steady_clock::now() + limit;
  const auto before = query_status(service);
  if (!before) {
    return std::unexpected(failure(
        before.error(), "cannot query " + name + ": " + system_error_message(before.error())));
  }
  if (before->dwCurrentState == SERVICE_STOPPED) return *before;
  // Held from before the stop, so that the wait below is for this very process.
  const UniqueHandle process(
      before->dwProcessId != 0 ? OpenProcess(SYNCHRONIZE, FALSE, before->dwProcessId) : nullptr);
  SERVICE_STATUS ignored{};
  if (!ControlService(service, SERVICE_CONTROL_STOP, &ignored)) {
    const DWORD code = GetLastError();
    if (code != ERROR_SERVICE_NOT_ACTIVE && code != ERROR_SERVICE_CANNOT_ACCEPT_CTRL) {
      return std::unexpected(
          failure(code, "cannot stop " + name + ": " + system_error_message(code)));
    }
  }
  const auto status =
      wait_for(service, give_up, [](DWORD state) { return state == SERVICE_STOPPED; });
  if (!status) {
    return std::unexpected(failure(
        status.error(), "cannot query " + name + ": " + system_error_message(status.error())));
  }
  if (status->dwCurrentState != SERVICE_STOPPED) {
    return std::unexpected(failure(ERROR_SERVICE_REQUEST_TIMEOUT,
                                   name + " is still " + state_name(status->dwCurrentState) +
                                       " after " + std::to_string(limit.count()) +
                                       " seconds; 'kestactl status' shows how it goes on"));
  }
  if (process) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        give_up - std::chrono::steady_clock::now());
    WaitForSingleObject(process.get(), static_cast<DWORD>(std::max<long long>(left.count(), 0)));
  }
  return *status;
}

}  // namespace kesta::kestactl
