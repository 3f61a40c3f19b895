#include "version_command.h"

#include "client.h"
#include "client_output.h"
#include "core/escape.h"
#include "kesta/version.h"
#include "log_lines.h"

namespace kesta::kestactl {

std::string version_mismatch(std::string_view service_version) {
  if (service_version == kVersion) return {};
  return "the installed " + std::string(kServiceName) + " is version " +
         escape_log_text(service_version) + " and kestactl is " + std::string(kVersion) +
         ": not the same version; use the kestactl that came with the service";
}

int run_version(std::span<const std::string> args, Output& output,
                const FindInstalledService& find) {
  bool json = false;
  for (const std::string& arg : args) {
    if (arg == "--help" || arg == "-h") {
      output.out +=
          "Usage: kestactl version [--json]\n       kestactl --version\n\n"
          "Prints the version of kestactl and that of the installed redevuva_service, read from\n"
          "the version resource of the binary the service manager runs, and says so when they\n"
          "differ. --version prints kestactl's alone.\n";
      return kExitOk;
    }
    if (arg != "--json") {
      return usage_error(output, "version: unexpected argument '" + escape_log_text(arg) + "'");
    }
    json = true;
  }
  JsonObject object;
  object.text("version", kVersion);
  if (!json) output.out += "kestactl " + std::string(kVersion) + "\n";
  if (!find) {
    if (json) output.out += object.line();
    return kExitOk;
  }
  const InstalledService service = find();
  const std::string name(kServiceName);
  using State = InstalledService::State;
  if (json) {
    const bool installed = service.state == State::kInstalled;
    auto text_or_null = [&](std::string_view field, const std::string& value) {
      value.empty() ? object.null(field) : object.text(field, value);
    };
    text_or_null("service_version", service.version);
    text_or_null("service_binary_path", installed ? service.binary_path : std::string());
    text_or_null("service_error",
                 service.state == State::kNotInstalled ? "not installed" : service.error);
    output.out += object.line();
  } else if (service.state == State::kNotInstalled) {
    output.out += name + ": not installed\n";
  } else if (service.state == State::kUnknown) {
    output.out += name + ": unknown (" + printable_log_line(service.error) + ")\n";
  } else {
    const std::string path = printable_log_line(service.binary_path);
    output.out +=
        service.version.empty()
            ? name + ": version unknown (" + path + ": " + printable_log_line(service.error) + ")\n"
            : name + " " + escape_log_text(service.version) + " (" + path + ")\n";
  }
  if (!service.version.empty() && !version_mismatch(service.version).empty()) {
    output.err += "kestactl: warning: " + version_mismatch(service.version) + "\n";
  }
  return kExitOk;
}

}  // namespace kesta::kestactl
