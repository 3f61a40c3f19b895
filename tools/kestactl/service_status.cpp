#include "service_status.h"

#include "client_output.h"
#include "codec_commands.h"
#include "core/escape.h"
#include "kesta/version.h"
#include "log_lines.h"
#include "version_command.h"

namespace kesta::kestactl {
namespace {

std::string exit_code_text(const ServiceReport& report) {
  std::string text = std::to_string(report.exit_code);
  if (report.service_exit_code) {
    return text + " (service-specific code " + std::to_string(*report.service_exit_code) + ")";
  }
  if (report.exit_code != 0 && !report.exit_text.empty()) {
    text += " (" + escape_log_text(report.exit_text) + ")";
  }
  return text;
}

// The service's version beside kestactl's, a difference said plainly.
std::string version_text(const ServiceReport& report) {
  if (report.version.empty()) return "unknown (" + printable_log_line(report.version_error) + ")";
  const std::string version = escape_log_text(report.version);
  if (version_mismatch(report.version).empty()) return version + ", the same as kestactl";
  return version + ", not the same as kestactl (" + std::string(kVersion) +
         "): use the kestactl that came with the service";
}

}  // namespace

std::string format_status(const ServiceReport& report) {
  std::string out = "service: " + report.service + "\n";
  switch (report.installed) {
    case ServiceReport::Installed::kNo:
      out += "state: not installed\n";
      break;
    case ServiceReport::Installed::kUnknown:
      out += "state: unknown (" + report.query_error + ")\n";
      break;
    case ServiceReport::Installed::kYes:
      out += "state: " + report.state + "\nprocess id: " +
             (report.process_id != 0 ? std::to_string(report.process_id) : "none") +
             "\nstart type: " + report.start_type +
             "\nbinary path: " + printable_log_line(report.binary_path) +
             "\nversion: " + version_text(report) + "\nlast exit code: " + exit_code_text(report) +
             "\n";
      break;
  }
  out += "pipe: " + report.pipe +
         (report.pipe_answers
              ? " answers (tunnel " + report.tunnel +
                    (report.pipe_error.empty() ? std::string()
                                               : ": " + escape_log_text(report.pipe_error)) +
                    ")\n"
              : " does not answer (" + escape_log_text(report.pipe_error) + ")\n");
  return out;
}

std::string format_status_json(const ServiceReport& report) {
  const bool known = report.installed == ServiceReport::Installed::kYes;
  JsonObject json;
  json.text("service", report.service);
  if (report.installed == ServiceReport::Installed::kUnknown) {
    json.null("installed").text("error", report.query_error);
  } else {
    json.flag("installed", known);
  }
  auto text_or_null = [&](std::string_view name, const std::string& value) {
    known ? json.text(name, value) : json.null(name);
  };
  text_or_null("state", report.state);
  if (known && report.process_id != 0) {
    json.number("process_id", report.process_id);
  } else {
    json.null("process_id");
  }
  text_or_null("start_type", report.start_type);
  text_or_null("binary_path", report.binary_path);
  known && !report.version.empty() ? json.text("version", report.version) : json.null("version");
  known ? json.number("exit_code", report.exit_code) : json.null("exit_code");
  if (known && report.service_exit_code) {
    json.number("service_exit_code", *report.service_exit_code);
  } else {
    json.null("service_exit_code");
  }
  json.text("pipe", report.pipe).flag("pipe_answers", report.pipe_answers);
  report.pipe_answers ? json.text("tunnel", report.tunnel) : json.null("tunnel");
  report.pipe_error.empty() ? json.null("pipe_error") : json.text("pipe_error", report.pipe_error);
  return json.line();
}

int status_exit_code(const ServiceReport& report) {
  switch (report.installed) {
    case ServiceReport::Installed::kNo:
      return kStatusNotInstalled;
    case ServiceReport::Installed::kUnknown:
      return kExitRefused;
    case ServiceReport::Installed::kYes:
      break;
  }
  return report.running ? kStatusRunning : kStatusNotRunning;
}

}  // namespace kesta::kestactl
