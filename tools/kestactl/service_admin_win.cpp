#include <windows.h>

#include <algorithm>
#include <chrono>
#include <initializer_list>
#include <memory>
#include <optional>
#include <thread>

#include "core/error.h"
#include "protocol/decode.h"
#include "protocol/encode.h"
#include "windows_client_win.h"

namespace kesta::kestactl {
namespace {

constexpr auto kStateWait = std::chrono::seconds(15);

constexpr std::string_view kInstallHelp =
    "Usage: kestactl install [--start auto|demand] [--binary PATH] [--no-start]\n"
    "       kestactl uninstall\n"
    "       kestactl status [--pipe NAME]\n"
    "\n"
    "install registers redevuva_service as an own-process service running as LocalSystem and\n"
    "starts it (not with --no-start). PATH defaults to redevuva_service.exe beside\n"
    "kestactl.exe; wireguard.dll belongs beside the service. --start sets whether Windows\n"
    "starts it at boot (auto, the default) or only when asked (demand).\n"
    "uninstall stops the service if it runs and removes it.\n"
    "status shows the service control manager's state and exit code of the service and\n"
    "whether its pipe answers (exit status 0 when it does, 4 when it does not).\n"
    "install and uninstall need an administrator. --service-name NAME acts on another\n"
    "service name (for tests).\n";

struct ServiceCloser {
  void operator()(SC_HANDLE handle) const { CloseServiceHandle(handle); }
};
using ServiceHandle = std::unique_ptr<SC_HANDLE__, ServiceCloser>;

struct AdminOptions {
  std::string service = std::string(kServiceName);
  std::string pipe = std::string(kDefaultPipe);
  std::string start = "auto";
  std::string binary;
  bool no_start = false;
};

// Options of install, uninstall and status; `allowed` lists which this subcommand takes.
std::expected<std::optional<AdminOptions>, std::string> admin_options(
    std::span<const std::string> args, std::initializer_list<std::string_view> allowed) {
  AdminOptions options;
  for (std::size_t i = 0; i < args.size(); ++i) {
    std::string flag = args[i];
    if (flag == "--help" || flag == "-h") return std::nullopt;
    if (std::ranges::find(allowed, flag) == allowed.end()) {
      return std::unexpected(flag.starts_with("--") ? "unknown option '" + flag + "'"
                                                    : "unexpected argument '" + flag + "'");
    }
    if (flag == "--no-start") {
      options.no_start = true;
      continue;
    }
    if (i + 1 >= args.size()) return std::unexpected(flag + " needs a value");
    const std::string& value = args[++i];
    if (flag == "--start") {
      if (value != "auto" && value != "demand") {
        return std::unexpected("--start: expected auto or demand, got '" + value + "'");
      }
      options.start = value;
    } else if (flag == "--binary") {
      options.binary = value;
    } else if (flag == "--service-name") {
      options.service = value;
    } else if (flag == "--pipe") {
      options.pipe = pipe_path(value);
    }
  }
  return options;
}

std::string admin_needed(std::string_view command) {
  return "kestactl: " + std::string(command) +
         " needs an administrator: run it from an elevated command prompt (Run as "
         "administrator)\n";
}

int fail(Output& output, std::string_view text) {
  output.err += "kestactl: " + std::string(text) + "\n";
  return kExitRefused;
}

std::expected<SERVICE_STATUS_PROCESS, DWORD> query(SC_HANDLE service) {
  SERVICE_STATUS_PROCESS status{};
  DWORD needed = 0;
  if (!QueryServiceStatusEx(service, SC_STATUS_PROCESS_INFO, reinterpret_cast<BYTE*>(&status),
                            sizeof status, &needed)) {
    return std::unexpected(GetLastError());
  }
  return status;
}

// Polls until `done` holds for the service's state, or the wait is over.
template <class Done>
std::expected<SERVICE_STATUS_PROCESS, DWORD> wait_for(SC_HANDLE service, Done done) {
  const auto give_up = std::chrono::steady_clock::now() + kStateWait;
  for (;;) {
    auto status = query(service);
    if (!status || done(status->dwCurrentState) || std::chrono::steady_clock::now() >= give_up) {
      return status;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
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
  if (status.dwWin32ExitCode == ERROR_SERVICE_SPECIFIC_ERROR) {
    return std::to_string(status.dwServiceSpecificExitCode) + " (service-specific)";
  }
  return std::to_string(status.dwWin32ExitCode);
}

// The default binary: redevuva_service.exe in kestactl.exe's own folder.
std::wstring default_binary() {
  std::wstring path(MAX_PATH, L'\0');
  for (;;) {
    const DWORD n = GetModuleFileNameW(nullptr, path.data(), static_cast<DWORD>(path.size()));
    if (n < path.size()) {
      path.resize(n);
      break;
    }
    path.resize(path.size() * 2);
  }
  path.resize(path.find_last_of(L"\\/") + 1);
  return path + L"redevuva_service.exe";
}

std::wstring full_path(const std::wstring& path) {
  const DWORD size = GetFullPathNameW(path.c_str(), 0, nullptr, nullptr);
  if (size == 0) return path;
  std::wstring full(size, L'\0');
  const DWORD n = GetFullPathNameW(path.c_str(), size, full.data(), nullptr);
  full.resize(n);
  return full;
}

}  // namespace

int run_install(std::span<const std::string> args, Output& output) {
  const auto parsed = admin_options(args, {"--start", "--binary", "--no-start", "--service-name"});
  if (!parsed) return usage_error(output, "install: " + parsed.error());
  if (!*parsed) {
    output.out += kInstallHelp;
    return kExitOk;
  }
  const AdminOptions& options = **parsed;
  const std::wstring binary =
      full_path(options.binary.empty() ? default_binary() : widen(options.binary));
  if (GetFileAttributesW(binary.c_str()) == INVALID_FILE_ATTRIBUTES) {
    return fail(output, "install: no service binary at " + narrow(binary) +
                            (options.binary.empty() ? "; give its place with --binary PATH" : ""));
  }
  const ServiceHandle manager(
      OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT | SC_MANAGER_CREATE_SERVICE));
  if (!manager) {
    const DWORD code = GetLastError();
    if (code == ERROR_ACCESS_DENIED) {
      output.err += admin_needed("install");
      return kExitRefused;
    }
    return fail(output,
                "install: cannot open the service control manager: " + system_error_message(code));
  }
  const std::wstring name = widen(options.service);
  const std::wstring command_line = L"\"" + binary + L"\"";
  const ServiceHandle service(CreateServiceW(
      manager.get(), name.c_str(), name.c_str(),
      SERVICE_QUERY_STATUS | SERVICE_START | SERVICE_CHANGE_CONFIG, SERVICE_WIN32_OWN_PROCESS,
      options.start == "auto" ? SERVICE_AUTO_START : SERVICE_DEMAND_START, SERVICE_ERROR_NORMAL,
      command_line.c_str(), nullptr, nullptr, nullptr, nullptr, nullptr));
  if (!service) {
    const DWORD code = GetLastError();
    if (code == ERROR_ACCESS_DENIED) {
      output.err += admin_needed("install");
      return kExitRefused;
    }
    if (code == ERROR_SERVICE_EXISTS || code == ERROR_DUPLICATE_SERVICE_NAME) {
      return fail(output, "install: " + options.service +
                              " is already installed; 'kestactl uninstall' removes it");
    }
    return fail(output,
                "install: cannot create " + options.service + ": " + system_error_message(code));
  }
  wchar_t description[] = L"Owns one WireGuard tunnel for a client application.";
  SERVICE_DESCRIPTIONW text{description};
  ChangeServiceConfig2W(service.get(), SERVICE_CONFIG_DESCRIPTION, &text);
  output.out +=
      "installed " + options.service + " (" + narrow(binary) + ", start " + options.start + ")\n";
  if (options.no_start) return kExitOk;

  if (!StartServiceW(service.get(), 0, nullptr)) {
    return fail(output, "install: installed, but cannot start " + options.service + ": " +
                            system_error_message(GetLastError()));
  }
  const auto status =
      wait_for(service.get(), [](DWORD state) { return state != SERVICE_START_PENDING; });
  if (!status || status->dwCurrentState != SERVICE_RUNNING) {
    return fail(output, "install: installed, but " + options.service + " did not start: " +
                            (status ? state_name(status->dwCurrentState) + ", exit code " +
                                          exit_code_text(*status)
                                    : system_error_message(status.error())) +
                            "; its log /redevuva_service.log may say why");
  }
  output.out +=
      "started " + options.service + " (process " + std::to_string(status->dwProcessId) + ")\n";
  return kExitOk;
}

int run_uninstall(std::span<const std::string> args, Output& output) {
  const auto parsed = admin_options(args, {"--service-name"});
  if (!parsed) return usage_error(output, "uninstall: " + parsed.error());
  if (!*parsed) {
    output.out += kInstallHelp;
    return kExitOk;
  }
  const AdminOptions& options = **parsed;
  const ServiceHandle manager(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
  if (!manager) {
    return fail(output, "uninstall: cannot open the service control manager: " +
                            system_error_message(GetLastError()));
  }
  const ServiceHandle service(OpenServiceW(manager.get(), widen(options.service).c_str(),
                                           SERVICE_QUERY_STATUS | SERVICE_STOP | DELETE));
  if (!service) {
    const DWORD code = GetLastError();
    if (code == ERROR_ACCESS_DENIED) {
      output.err += admin_needed("uninstall");
      return kExitRefused;
    }
    if (code == ERROR_SERVICE_DOES_NOT_EXIST) {
      return fail(output, "uninstall: " + options.service + " is not installed");
    }
    return fail(output,
                "uninstall: cannot open " + options.service + ": " + system_error_message(code));
  }
  const auto before = query(service.get());
  if (before && before->dwCurrentState != SERVICE_STOPPED) {
    SERVICE_STATUS ignored{};
    if (!ControlService(service.get(), SERVICE_CONTROL_STOP, &ignored)) {
      const DWORD code = GetLastError();
      if (code != ERROR_SERVICE_NOT_ACTIVE) {
        return fail(output, "uninstall: cannot stop " + options.service + ": " +
                                system_error_message(code));
      }
    }
    const auto after =
        wait_for(service.get(), [](DWORD state) { return state == SERVICE_STOPPED; });
    if (after && after->dwCurrentState == SERVICE_STOPPED) {
      output.out += "stopped " + options.service + " (exit code " + exit_code_text(*after) + ")\n";
    } else {
      output.err += "kestactl: uninstall: " + options.service +
                    " has not stopped yet; it is removed once it does\n";
    }
  }
  if (!DeleteService(service.get())) {
    const DWORD code = GetLastError();
    if (code == ERROR_ACCESS_DENIED) {
      output.err += admin_needed("uninstall");
      return kExitRefused;
    }
    if (code != ERROR_SERVICE_MARKED_FOR_DELETE) {
      return fail(output, "uninstall: cannot remove " + options.service + ": " +
                              system_error_message(code));
    }
  }
  output.out += "removed " + options.service + "\n";
  return kExitOk;
}

int run_status(std::span<const std::string> args, const ClientEnvironment& environment,
               Output& output) {
  const auto parsed = admin_options(args, {"--service-name", "--pipe"});
  if (!parsed) return usage_error(output, "status: " + parsed.error());
  if (!*parsed) {
    output.out += kInstallHelp;
    return kExitOk;
  }
  const AdminOptions& options = **parsed;
  output.out += "service: " + options.service + "\n";
  const ServiceHandle manager(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
  const ServiceHandle service(
      manager ? OpenServiceW(manager.get(), widen(options.service).c_str(), SERVICE_QUERY_STATUS)
              : nullptr);
  if (!service) {
    const DWORD code = GetLastError();
    output.out += code == ERROR_SERVICE_DOES_NOT_EXIST
                      ? "state: not installed\n"
                      : "state: unknown (" + system_error_message(code) + ")\n";
  } else if (const auto status = query(service.get()); !status) {
    output.out += "state: unknown (" + system_error_message(status.error()) + ")\n";
  } else {
    output.out += "state: " + state_name(status->dwCurrentState);
    if (status->dwProcessId != 0)
      output.out += " (process " + std::to_string(status->dwProcessId) + ")";
    output.out += "\nexit code: " + exit_code_text(*status) + "\n";
  }

  const PipeRequest request{options.pipe, protocol::encode_command(protocol::Info{}), {}};
  const Exchange exchange = environment.deliver(request);
  std::string answer;
  if (exchange.outcome == Exchange::Outcome::kResponse) {
    const auto response = protocol::decode_response(exchange.line);
    answer = !response ? "an unreadable line (" + response.error() + ")"
             : std::holds_alternative<protocol::Connected>(*response) ? "tunnel connected"
             : std::holds_alternative<protocol::Disconnected>(*response)
                 ? "tunnel disconnected"
                 : "error: " + std::get<protocol::Error>(*response).message;
    output.out += "pipe: " + options.pipe + " answers (" + answer + ")\n";
    return kExitOk;
  }
  output.out += "pipe: " + options.pipe + " does not answer (" +
                (exchange.error.empty() ? "connection ended without a response" : exchange.error) +
                ")\n";
  return kExitUnreachable;
}

}  // namespace kesta::kestactl
