#include <windows.h>

#include <algorithm>
#include <initializer_list>
#include <optional>
#include <vector>

#include "core/error.h"
#include "core/escape.h"
#include "core/utf16.h"
#include "log_lines.h"
#include "protocol/decode.h"
#include "protocol/encode.h"
#include "service_manager_win.h"
#include "service_status.h"
#include "windows_client_win.h"

namespace kesta::kestactl {
namespace {

constexpr std::string_view kAdministrator =
    "It needs an administrator: run kestactl from an elevated command prompt.\n";

// Each command's usage, what it does and its exit statuses.
std::string admin_help(std::string_view command) {
  if (command == "install") {
    return "Usage: kestactl install [--start auto|demand] [--binary PATH] [--no-start]\n"
           "                        [--timeout SECONDS]\n"
           "\n"
           "Registers redevuva_service as an own-process service running as LocalSystem, with a\n"
           "description and recovery actions (restart after 5 seconds, twice; the failure count\n"
           "is reset after a day), and starts it (not with --no-start), waiting at most SECONDS\n"
           "(30). PATH defaults to redevuva_service.exe beside kestactl.exe; wireguard.dll\n"
           "belongs beside the service. --start sets whether Windows starts it at boot (auto, the\n"
           "default) or only when asked (demand). " +
           std::string(kAdministrator) +
           "Exit status: 0 installed (and running); 1 already installed, or it failed, or the\n"
           "service did not start; 2 the command line is wrong.\n";
  }
  if (command == "uninstall") {
    return "Usage: kestactl uninstall [--timeout SECONDS]\n"
           "\n"
           "Stops the service, waits for it at most SECONDS (30), and removes it. " +
           std::string(kAdministrator) +
           "Exit status: 0 removed; 1 it failed; 2 the command line is wrong; 4 not installed.\n";
  }
  if (command == "status") {
    return "Usage: kestactl status [--json] [--pipe NAME] [--timeout SECONDS]\n"
           "\n"
           "Shows the service's state, process id, start type, binary path, version (beside\n"
           "kestactl's) and last exit code, and whether its pipe answers within SECONDS (30).\n"
           "Any account may ask.\n"
           "Exit status (as systemctl status): 0 running; 1 the service manager could not tell;\n"
           "2 the command line is wrong; 3 installed but not running; 4 not installed.\n";
  }
  const std::string what =
      command == "start"
          ? "Starts the service and waits at most SECONDS (30) for it to run; when it does not,\n"
            "says what state it is in and with what exit code."
      : command == "stop"
          ? "Stops the service and waits at most SECONDS (30) for it to stop and for its\n"
            "process to end."
          : "Stops the service, then starts it, waiting at most SECONDS (30) for each.";
  return "Usage: kestactl " + std::string(command) + " [--timeout SECONDS]\n\n" + what + "\n" +
         std::string(kAdministrator) +
         "Exit status: 0 done (also when it already was); 1 it failed or took too long; 2 the\n"
         "command line is wrong; 4 not installed.\n";
}

constexpr std::chrono::seconds kDefaultWait{30};

struct AdminOptions {
  std::string service = std::string(kServiceName);
  std::string pipe = std::string(kDefaultPipe);
  std::string start = "auto";
  std::string binary;
  std::chrono::seconds timeout = kDefaultWait;
  bool no_start = false;
  bool json = false;
};

// Options of the service commands; `allowed` lists which this subcommand takes. None takes
// an argument, so after "--" anything is unexpected.
std::expected<std::optional<AdminOptions>, std::string> admin_options(
    std::span<const std::string> args, std::initializer_list<std::string_view> allowed) {
  AdminOptions options;
  bool options_ended = false;
  for (std::size_t i = 0; i < args.size(); ++i) {
    std::string flag = args[i];
    if (!options_ended && (flag == "--help" || flag == "-h")) return std::nullopt;
    if (!options_ended && flag == "--") {
      options_ended = true;
      continue;
    }
    if (options_ended || std::ranges::find(allowed, flag) == allowed.end()) {
      return std::unexpected((flag.starts_with("--") && !options_ended ? "unknown option '"
                                                                       : "unexpected argument '") +
                             escape_log_text(flag) + "'");
    }
    if (flag == "--no-start" || flag == "--json") {
      (flag == "--json" ? options.json : options.no_start) = true;
      continue;
    }
    if (i + 1 >= args.size()) return std::unexpected(flag + " needs a value");
    const std::string& value = args[++i];
    if (flag == "--start") {
      if (value != "auto" && value != "demand") {
        return std::unexpected("--start: expected auto or demand, got '" + escape_log_text(value) +
                               "'");
      }
      options.start = value;
    } else if (flag == "--binary") {
      options.binary = value;
    } else if (flag == "--service-name") {
      options.service = value;
    } else if (flag == "--pipe") {
      options.pipe = pipe_path(value);
    } else if (flag == "--timeout") {
      const auto seconds = parse_port(value);
      if (!seconds || *seconds == 0) {
        return std::unexpected("--timeout: expected a number of seconds from 1 to 65535, got '" +
                               escape_log_text(value) + "'");
      }
      options.timeout = std::chrono::seconds(*seconds);
    }
  }
  return options;
}

// Parses the options, or answers --help and usage errors itself (then the exit status is set).
std::optional<AdminOptions> options_or_exit(std::string_view command,
                                            std::span<const std::string> args,
                                            std::initializer_list<std::string_view> allowed,
                                            Output& output, int& status) {
  const auto parsed = admin_options(args, allowed);
  if (!parsed) {
    status = usage_error(output, std::string(command) + ": " + parsed.error());
    return std::nullopt;
  }
  if (!*parsed) {
    output.out += admin_help(command);
    status = kExitOk;
    return std::nullopt;
  }
  return **parsed;
}

// Exit status and message of a failed service control request.
int fail(Output& output, std::string_view command, const ServiceError& error) {
  if (error.code == ERROR_ACCESS_DENIED) {
    output.err += "kestactl: " + std::string(command) +
                  " needs an administrator: run it from an elevated command prompt (Run as "
                  "administrator)\n";
    return kExitRefused;
  }
  output.err += "kestactl: " + std::string(command) + ": " + error.text + "\n";
  if (error.code == ERROR_SERVICE_DOES_NOT_EXIST) {
    output.err += "kestactl: 'kestactl install' registers it\n";
    return kExitUnreachable;
  }
  return kExitRefused;
}

// What failed, with the system error that made it fail.
ServiceError call_failure(std::string what, const Error& cause) {
  return {cause.system_code(), what + ": " + cause.message()};
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

// The description, and recovery: restart 5 seconds after a failure, twice, then nothing; the
// count starts again after a day without failures. A stop with a non-zero exit code (the
// worker's end, exit code 2) counts as a failure, not only a crash.
std::optional<ServiceError> describe_and_set_recovery(SC_HANDLE service) {
  wchar_t description[] = L"Owns one WireGuard tunnel for a client application.";
  SERVICE_DESCRIPTIONW text{description};
  if (!ChangeServiceConfig2W(service, SERVICE_CONFIG_DESCRIPTION, &text)) {
    return call_failure("cannot set the description", last_error());
  }
  SC_ACTION actions[] = {{SC_ACTION_RESTART, 5000}, {SC_ACTION_RESTART, 5000}, {SC_ACTION_NONE, 0}};
  SERVICE_FAILURE_ACTIONSW recovery{};
  recovery.dwResetPeriod = 24 * 60 * 60;
  recovery.cActions = static_cast<DWORD>(std::size(actions));
  recovery.lpsaActions = actions;
  if (!ChangeServiceConfig2W(service, SERVICE_CONFIG_FAILURE_ACTIONS, &recovery)) {
    return call_failure("cannot set the recovery actions", last_error());
  }
  SERVICE_FAILURE_ACTIONS_FLAG on_exit_code{TRUE};
  if (!ChangeServiceConfig2W(service, SERVICE_CONFIG_FAILURE_ACTIONS_FLAG, &on_exit_code)) {
    return call_failure("cannot set recovery for stops with an exit code", last_error());
  }
  return std::nullopt;
}

// Wine's service manager knows no recovery for stops with an exit code (and keeps no recovery
// actions at all): that is Wine's limit, said in one line, not a failure of the installation.
std::string recovery_failure_text(const ServiceError& error) {
  if (error.code == ERROR_INVALID_LEVEL && running_under_wine()) {
    return "kestactl: install: note: Wine's service manager cannot store recovery actions; on "
           "Windows the service restarts after a failure\n";
  }
  return "kestactl: install: warning: " + error.text + "\n";
}

std::string started_text(const std::string& name, const SERVICE_STATUS_PROCESS& status) {
  return "started " + name + " (process " + std::to_string(status.dwProcessId) + ")\n";
}

std::string stopped_text(const std::string& name, const SERVICE_STATUS_PROCESS& status) {
  return "stopped " + name + " (exit code " + exit_code_text(status) + ")\n";
}

std::string start_type_name(DWORD type) {
  switch (type) {
    case SERVICE_AUTO_START:
      return "auto";
    case SERVICE_DEMAND_START:
      return "demand";
    case SERVICE_DISABLED:
      return "disabled";
    case SERVICE_BOOT_START:
      return "boot";
    case SERVICE_SYSTEM_START:
      return "system";
    default:
      return "type " + std::to_string(type);
  }
}

// The manager's side of the report: installed, state, process, configuration, exit code.
void query_service(ServiceReport& report) {
  const auto service = open_service(report.service, SERVICE_QUERY_STATUS | SERVICE_QUERY_CONFIG);
  if (!service) {
    report.installed = service.error().code == ERROR_SERVICE_DOES_NOT_EXIST
                           ? ServiceReport::Installed::kNo
                           : ServiceReport::Installed::kUnknown;
    report.query_error = service.error().text;
    return;
  }
  const auto status = query_status(service->get());
  if (!status) {
    report.query_error = system_error_message(status.error());
    return;
  }
  report.installed = ServiceReport::Installed::kYes;
  report.state = state_name(status->dwCurrentState);
  report.running = status->dwCurrentState == SERVICE_RUNNING;
  report.process_id = status->dwProcessId;
  report.exit_code = status->dwWin32ExitCode;
  if (status->dwWin32ExitCode == ERROR_SERVICE_SPECIFIC_ERROR) {
    report.service_exit_code = status->dwServiceSpecificExitCode;
  } else if (status->dwWin32ExitCode != 0) {
    report.exit_text = system_error_text(status->dwWin32ExitCode);
  }
  const auto config = query_config(service->get());
  if (!config) {
    report.start_type = "unknown (" + system_error_message(config.error()) + ")";
    return;
  }
  report.start_type = start_type_name(config->start_type);
  std::wstring path = config->command_line;
  // A path quoted because of spaces is shown as the path itself.
  if (path.size() >= 2 && path.front() == L'"' && path.back() == L'"' &&
      path.find(L'"', 1) == path.size() - 1) {
    path = path.substr(1, path.size() - 2);
  }
  report.binary_path = narrow(path);
  const std::wstring binary = binary_of(config->command_line);
  const auto version = file_version(binary);
  if (version) {
    report.version = *version;
  } else {
    report.version_error = narrow(binary) + ": " + version.error();
  }
}

// The pipe's side: does it answer an Info, and what does it say of the tunnel.
void ask_pipe(ServiceReport& report, std::chrono::seconds timeout,
              const ClientEnvironment& environment) {
  const Exchange exchange = environment.deliver(
      pipe_request(report.pipe, protocol::encode_command(protocol::Info{}), false, timeout));
  if (exchange.outcome != Exchange::Outcome::kResponse) {
    report.pipe_error =
        exchange.error.empty() ? "connection ended without a response" : exchange.error;
    return;
  }
  report.pipe_answers = true;
  const auto response = protocol::decode_response(exchange.line);
  if (!response) {
    report.tunnel = "error";
    report.pipe_error = "an unreadable line: " + response.error();
  } else if (const auto* error = std::get_if<protocol::Error>(&*response)) {
    report.tunnel = "error";
    report.pipe_error = error->message;
  } else {
    report.tunnel =
        std::holds_alternative<protocol::Connected>(*response) ? "connected" : "disconnected";
  }
}

// What is installed under `name`, and how to replace it, in one sentence.
std::string already_installed(const std::string& name) {
  ServiceReport report;
  report.service = name;
  query_service(report);
  std::string what = name + " is already installed";
  if (report.installed == ServiceReport::Installed::kYes) {
    what += " (" + printable_log_line(report.binary_path) +
            (report.version.empty() ? std::string() : ", version " + report.version) + ", " +
            report.state + ")";
  }
  return what + "; to replace it, run 'kestactl uninstall', then 'kestactl install' again";
}

}  // namespace

InstalledService find_installed_service(const std::string& name) {
  ServiceReport report;
  report.service = name;
  query_service(report);
  InstalledService found;
  switch (report.installed) {
    case ServiceReport::Installed::kNo:
      found.state = InstalledService::State::kNotInstalled;
      return found;
    case ServiceReport::Installed::kUnknown:
      found.error = report.query_error;
      return found;
    case ServiceReport::Installed::kYes:
      break;
  }
  found.state = InstalledService::State::kInstalled;
  found.binary_path = report.binary_path;
  found.version = report.version;
  found.error = report.version_error;
  return found;
}

int run_install(std::span<const std::string> args, Output& output) {
  int exit_status = kExitOk;
  const auto options = options_or_exit(
      "install", args, {"--start", "--binary", "--no-start", "--service-name", "--timeout"}, output,
      exit_status);
  if (!options) return exit_status;
  const std::wstring binary =
      full_path(options->binary.empty() ? default_binary() : widen(options->binary));
  if (GetFileAttributesW(binary.c_str()) == INVALID_FILE_ATTRIBUTES) {
    output.err += "kestactl: install: no service binary at " + narrow(binary) +
                  (options->binary.empty() ? "; give its place with --binary PATH" : "") + "\n";
    return kExitRefused;
  }
  const UniqueServiceHandle manager(
      OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT | SC_MANAGER_CREATE_SERVICE));
  if (!manager) {
    return fail(output, "install",
                call_failure("cannot open the service control manager", last_error()));
  }
  const std::wstring name = widen(options->service);
  const std::wstring command_line = L"\"" + binary + L"\"";
  const UniqueServiceHandle service(CreateServiceW(
      manager.get(), name.c_str(), name.c_str(),
      SERVICE_QUERY_STATUS | SERVICE_START | SERVICE_CHANGE_CONFIG, SERVICE_WIN32_OWN_PROCESS,
      options->start == "auto" ? SERVICE_AUTO_START : SERVICE_DEMAND_START, SERVICE_ERROR_NORMAL,
      command_line.c_str(), nullptr, nullptr, nullptr, nullptr, nullptr));
  if (!service) {
    const DWORD code = GetLastError();
    if (code == ERROR_SERVICE_EXISTS || code == ERROR_DUPLICATE_SERVICE_NAME) {
      output.err += "kestactl: install: " + already_installed(options->service) + "\n";
      return kExitRefused;
    }
    return fail(output, "install",
                call_failure("cannot create " + options->service, system_error(code)));
  }
  if (const auto error = describe_and_set_recovery(service.get())) {
    output.err += recovery_failure_text(*error);
  }
  output.out +=
      "installed " + options->service + " (" + narrow(binary) + ", start " + options->start + ")\n";
  if (options->no_start) return kExitOk;
  const auto started = start_and_wait(service.get(), options->service, options->timeout);
  if (!started) {
    if (started.error().code == ERROR_ACCESS_DENIED)
      return fail(output, "install", started.error());
    output.err += "kestactl: install: installed, but " + started.error().text + "\n";
    return kExitRefused;
  }
  output.out += started_text(options->service, *started);
  return kExitOk;
}

int run_uninstall(std::span<const std::string> args, Output& output) {
  int exit_status = kExitOk;
  const auto options =
      options_or_exit("uninstall", args, {"--service-name", "--timeout"}, output, exit_status);
  if (!options) return exit_status;
  const auto service = open_service(options->service, SERVICE_QUERY_STATUS | SERVICE_STOP | DELETE);
  if (!service) {
    if (service.error().code == ERROR_SERVICE_DOES_NOT_EXIST) {
      output.err += "kestactl: uninstall: " + service.error().text + "\n";
      return kExitUnreachable;
    }
    return fail(output, "uninstall", service.error());
  }
  const auto before = query_status(service->get());
  if (before && before->dwCurrentState != SERVICE_STOPPED) {
    const auto stopped = stop_and_wait(service->get(), options->service, options->timeout);
    if (!stopped) {
      fail(output, "uninstall", stopped.error());
      output.err +=
          "kestactl: uninstall: " + options->service + " is removed once it has stopped\n";
    } else {
      output.out += stopped_text(options->service, *stopped);
    }
  }
  if (!DeleteService(service->get())) {
    const DWORD code = GetLastError();
    if (code != ERROR_SERVICE_MARKED_FOR_DELETE) {
      return fail(output, "uninstall",
                  call_failure("cannot remove " + options->service, system_error(code)));
    }
  }
  output.out += "removed " + options->service + "\n";
  return kExitOk;
}

int run_service_control(std::string_view command, std::span<const std::string> args,
                        Output& output) {
  int exit_status = kExitOk;
  const auto options =
      options_or_exit(command, args, {"--service-name", "--timeout"}, output, exit_status);
  if (!options) return exit_status;
  const std::string& name = options->service;
  const std::string verb(command);
  const auto service =
      open_service(name, SERVICE_QUERY_STATUS | (command == "start" ? 0 : SERVICE_STOP) |
                             (command == "stop" ? 0 : SERVICE_START));
  if (!service) return fail(output, verb, service.error());
  if (command != "start") {
    const auto before = query_status(service->get());
    if (before && before->dwCurrentState == SERVICE_STOPPED && command == "stop") {
      output.out += name + " is not running\n";
      return kExitOk;
    }
    const auto stopped = stop_and_wait(service->get(), name, options->timeout);
    if (!stopped) return fail(output, verb, stopped.error());
    if (before && before->dwCurrentState != SERVICE_STOPPED) {
      output.out += stopped_text(name, *stopped);
    }
    if (command == "stop") return kExitOk;
  } else if (const auto now = query_status(service->get());
             now && now->dwCurrentState == SERVICE_RUNNING) {
    output.out += name + " is already running (process " + std::to_string(now->dwProcessId) + ")\n";
    return kExitOk;
  }
  const auto started = start_and_wait(service->get(), name, options->timeout);
  if (!started) return fail(output, verb, started.error());
  output.out += started_text(name, *started);
  return kExitOk;
}

int run_status(std::span<const std::string> args, const ClientEnvironment& environment,
               Output& output) {
  int exit_status = kExitOk;
  const auto options = options_or_exit(
      "status", args, {"--service-name", "--pipe", "--json", "--timeout"}, output, exit_status);
  if (!options) return exit_status;
  ServiceReport report;
  report.service = options->service;
  report.pipe = options->pipe;
  query_service(report);
  ask_pipe(report, options->timeout, environment);
  output.out += options->json ? format_status_json(report) : format_status(report);
  return status_exit_code(report);
}

}  // namespace kesta::kestactl
