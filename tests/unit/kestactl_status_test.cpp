// What kestactl status, log and version print, without a service: the report's texts and exit
// statuses, and the lines of the log as they reach the terminal.
#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

#include "kesta/version.h"
#include "log_lines.h"
#include "service_status.h"
#include "version_command.h"

namespace kesta::kestactl {
namespace {

ServiceReport installed(std::string state, bool running) {
  ServiceReport report;
  report.service = "redevuva_service";
  report.installed = ServiceReport::Installed::kYes;
  report.state = std::move(state);
  report.running = running;
  report.start_type = "auto";
  report.binary_path = "C:\\Program Files\\KestaService\\redevuva_service.exe";
  report.pipe = "\\\\.\\pipe\\redevuva.sock";
  return report;
}

TEST(KestactlStatus, TextJsonAndExitStatus) {
  ServiceReport running = installed("running", true);
  running.version = kVersion;
  running.process_id = 4242;
  running.pipe_answers = true;
  running.tunnel = "connected";
  ServiceReport stopped = installed("stopped", false);
  stopped.version = "0.9.0";
  stopped.exit_code = 126;
  stopped.exit_text = "The specified module could not be found.";
  stopped.pipe_error = "The system cannot find the file specified. (os error 2)";
  ServiceReport ended = installed("stopped", false);
  ended.version_error = "C:\\x.exe: The system cannot find the file specified. (os error 2)";
  ended.exit_code = 1066;
  ended.service_exit_code = 2;
  ended.pipe_error = "gone";
  ServiceReport missing;
  missing.service = "redevuva_service";
  missing.installed = ServiceReport::Installed::kNo;
  missing.pipe = running.pipe;
  missing.pipe_error = "gone";
  ServiceReport unknown = missing;
  unknown.installed = ServiceReport::Installed::kUnknown;
  unknown.query_error = "cannot open redevuva_service: Access denied. (os error 5)";
  unknown.pipe_answers = true;
  unknown.tunnel = "error";
  unknown.pipe_error = "Failed to get interface info: \x1b[1m";

  const std::string service_lines =
      "start type: auto\nbinary path: C:\\Program Files\\KestaService\\redevuva_service.exe\n";
  const std::string json_service =
      "\"start_type\":\"auto\",\"binary_path\":\"C:\\\\Program "
      "Files\\\\KestaService\\\\redevuva_service.exe\",";
  const std::string version(kVersion);
  const std::string json_pipe = "\"pipe\":\"\\\\\\\\.\\\\pipe\\\\redevuva.sock\",";
  const struct {
    ServiceReport report;
    int status;
    std::string text;
    std::string json;
  } rows[] = {
      {running, 0,
       "service: redevuva_service\nstate: running\nprocess id: 4242\n" + service_lines +
           "version: " + version +
           ", the same as kestactl\nlast exit code: 0\npipe: "
           "\\\\.\\pipe\\redevuva.sock answers (tunnel connected)\n",
       "{\"service\":\"redevuva_service\",\"installed\":true,\"state\":\"running\","
       "\"process_id\":4242," +
           json_service + "\"version\":\"" + version +
           "\",\"exit_code\":0,\"service_exit_code\":null," + json_pipe +
           "\"pipe_answers\":true,\"tunnel\":\"connected\",\"pipe_error\":null}\n"},
      {stopped, 3,
       "service: redevuva_service\nstate: stopped\nprocess id: none\n" + service_lines +
           "version: 0.9.0, not the same as kestactl (" + version +
           "): use the kestactl that came with the service\nlast exit code: 126 (The specified "
           "module could not be found.)\npipe: "
           "\\\\.\\pipe\\redevuva.sock does not answer (The system cannot find the file "
           "specified. (os error 2))\n",
       "{\"service\":\"redevuva_service\",\"installed\":true,\"state\":\"stopped\","
       "\"process_id\":null," +
           json_service + "\"version\":\"0.9.0\",\"exit_code\":126,\"service_exit_code\":null," +
           json_pipe +
           "\"pipe_answers\":false,\"tunnel\":null,\"pipe_error\":\"The system cannot find the "
           "file specified. (os error 2)\"}\n"},
      {ended, 3,
       "service: redevuva_service\nstate: stopped\nprocess id: none\n" + service_lines +
           "version: unknown (C:\\x.exe: The system cannot find the file specified. (os error "
           "2))\nlast exit code: 1066 (service-specific code 2)\npipe: \\\\.\\pipe\\redevuva.sock "
           "does not answer (gone)\n",
       "{\"service\":\"redevuva_service\",\"installed\":true,\"state\":\"stopped\","
       "\"process_id\":null," +
           json_service + "\"version\":null,\"exit_code\":1066,\"service_exit_code\":2," +
           json_pipe + "\"pipe_answers\":false,\"tunnel\":null,\"pipe_error\":\"gone\"}\n"},
      {missing, 4,
       "service: redevuva_service\nstate: not installed\npipe: \\\\.\\pipe\\redevuva.sock does "
       "not answer (gone)\n",
       "{\"service\":\"redevuva_service\",\"installed\":false,\"state\":null,\"process_id\":null,"
       "\"start_type\":null,\"binary_path\":null,\"version\":null,\"exit_code\":null,\"service_"
       "exit_code\":null," +
           json_pipe + "\"pipe_answers\":false,\"tunnel\":null,\"pipe_error\":\"gone\"}\n"},
      {unknown, 1,
       "service: redevuva_service\nstate: unknown (cannot open redevuva_service: Access denied. "
       "(os error 5))\npipe: \\\\.\\pipe\\redevuva.sock answers (tunnel error: Failed to get "
       "interface info: \\u{1b}[1m)\n",
       "{\"service\":\"redevuva_service\",\"installed\":null,\"error\":\"cannot open "
       "redevuva_service: Access denied. (os error 5)\",\"state\":null,\"process_id\":null,"
       "\"start_type\":null,\"binary_path\":null,\"version\":null,\"exit_code\":null,\"service_"
       "exit_code\":null," +
           json_pipe +
           "\"pipe_answers\":true,\"tunnel\":\"error\",\"pipe_error\":\"Failed to get interface "
           "info: \\u001b[1m\"}\n"},
  };
  for (const auto& row : rows) {
    EXPECT_EQ(status_exit_code(row.report), row.status) << row.text;
    EXPECT_EQ(format_status(row.report), row.text);
    EXPECT_EQ(format_status_json(row.report), row.json);
  }
}

TEST(KestactlLog, LinesAsPrinted) {
  const std::pair<std::string, std::string> lines[] = {
      {"Received message: pEluZm8=", "Received message: pEluZm8="},
      // Already escaped by the service: printed as it is.
      {"Received message: a\\u{2028}b\\\\c", "Received message: a\\u{2028}b\\\\c"},
      // Raw controls, from wherever they came: escaped, so none reaches the terminal.
      {"a\x1b[31mb\rc\x7f", "a\\u{1b}[31mb\\rc\\u{7f}"},
  };
  for (const auto& [line, printed] : lines) EXPECT_EQ(printable_log_line(line), printed);

  // A Connect carries the private key: its line is hidden, also when the service refused it.
  const std::pair<std::string, std::string> secrets[] = {
      {"Received message: gadDb25uZWN0BQ==\n",
       "Received message: [Connect request, 16 bytes; "
       "keys hidden, --raw shows the line]\n"},
      {"Received message: gQAF\nReceived message: pEluZm8=\n",
       "Received message: [Connect request, 4 bytes; keys hidden, --raw shows the line]\n"
       "Received message: pEluZm8=\n"},
      {"Sending response: gadDb25uZWN0BQ==\n", "Sending response: gadDb25uZWN0BQ==\n"},
  };
  for (const auto& [text, shown] : secrets) EXPECT_EQ(hide_secrets(text), shown);

  const struct {
    std::string text;
    std::size_t count;
    std::string last;
  } tails[] = {{"a\nb\nc\n", 2, "b\nc\n"}, {"a\nb\nc\n", 0, ""},   {"a\nb\nc\n", 9, "a\nb\nc\n"},
               {"a\nb\npart", 1, "part"},  {"a\n\n\n", 2, "\n\n"}, {"", 3, ""}};
  for (const auto& row : tails) {
    EXPECT_EQ(row.text.substr(last_lines_start(row.text, row.count)), row.last)
        << row.text << " " << row.count;
  }

  // A line is printed once its line feed has come, however the bytes were split.
  LogLines log;
  std::string printed;
  for (const std::string chunk : {"Service sta", "rted", "\nReceived message: x", "\n\nlast"}) {
    printed += log.add(chunk);
  }
  EXPECT_EQ(printed, "Service started\nReceived message: x\n\n");
  EXPECT_EQ(log.flush(), "last\n");
  EXPECT_EQ(log.flush(), "");

  // The fewest bytes the log held before it began again with a head, at a bound of 100: the
  // line after the copy's notes would have taken it past the bound.
  const std::string continued = "Log continued; earlier lines are in x.log.1\n";
  const std::pair<std::string, std::optional<std::uint64_t>> heads[] = {
      {continued + "Moved aside what stood at C:\\x.log.1: now C:\\x.log.1.foreign-1\nline\n", 96},
      {continued + "no line feed yet", std::nullopt},
      {"Log emptied after reaching 4096 bytes; x.log.1 could not be written: why\nline\n", 4096},
      {"Service started\n", std::nullopt},
  };
  for (const auto& [head, before] : heads) EXPECT_EQ(bytes_before(head, 100), before) << head;
  EXPECT_EQ(rotated_away_line(std::nullopt),
            "kestactl: log: lines may have been rotated away before they could be shown\n");
}

TEST(KestactlVersion, TheProjectVersion) {
  const std::string version(kVersion);
  using State = InstalledService::State;
  EXPECT_EQ(version, std::to_string(kVersionMajor) + "." + std::to_string(kVersionMinor) + "." +
                         std::to_string(kVersionPatch));
  const struct {
    std::vector<std::string> args;
    int status;
    std::string out;
    FindInstalledService find = {};
    std::string err = "";
  } rows[] = {
      {{}, 0, "kestactl " + version + "\n"},
      {{"--json"}, 0, "{\"version\":\"" + version + "\"}\n"},
      {{"now"},
       2,
       "",
       {},
       "kestactl: version: unexpected argument 'now'\nTry 'kestactl --help'.\n"},
      {{"--json"},
       0,
       "{\"version\":\"" + version +
           "\",\"service_version\":\"0.9\",\"service_binary_path\":"
           "\"C:\\\\svc.exe\",\"service_error\":null}\n",
       [] {
         return InstalledService{State::kInstalled, "C:\\svc.exe", "0.9", {}};
       },
       "kestactl: warning: the installed redevuva_service is version 0.9 and kestactl is " +
           version + ": not the same version; use the kestactl that came with the service\n"},
      {{},
       0,
       "kestactl " + version + "\nredevuva_service: not installed\n",
       [] {
         return InstalledService{State::kNotInstalled, {}, {}, {}};
       }},
  };
  for (const auto& row : rows) {
    Output output;
    EXPECT_EQ(run_version(row.args, output, row.find), row.status);
    EXPECT_EQ(output.out, row.out);
    EXPECT_EQ(output.err, row.err);
  }
}

}  // namespace
}  // namespace kesta::kestactl
