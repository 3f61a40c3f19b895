// kestactl: the command-line client of redevuva_service.
#include <cstdio>
#include <string>
#include <vector>

#include "client.h"
#include "codec_commands.h"
#include "host_resolver.h"
#include "text_file.h"
#include "version_command.h"

#ifdef _WIN32
#include <fcntl.h>
#include <io.h>
#include <windows.h>

#include "client/exchange.h"
#include "core/utf16.h"
#include "windows_client_win.h"
#else
#include <unistd.h>
#endif

namespace {

constexpr std::string_view kHelp =
    "kestactl - command-line client of the redevuva_service tunnel service\n"
    "\n"
    "Usage:\n"
    "  kestactl connect FILE.conf          bring the tunnel up from a WireGuard configuration\n"
    "  kestactl connect --private-key ...  the same from flags (see 'kestactl connect --help')\n"
    "  kestactl info                       the tunnel's state and statistics\n"
    "  kestactl disconnect                 take the tunnel down\n"
    "  kestactl send LINE                  send a raw request line, print the raw response\n"
    "  kestactl status                     the service's state, version, and whether its pipe\n"
    "                                      answers\n"
    "  kestactl start | stop | restart     control the service and wait for it (administrator)\n"
    "  kestactl log [--follow] [--lines N] [--raw]\n"
    "                                      print the service's log (administrator)\n"
    "  kestactl install [--start auto|demand] [--binary PATH]\n"
    "                                      register and start the service (administrator)\n"
    "  kestactl uninstall                  stop and remove the service (administrator)\n"
    "  kestactl decode [--response] [LINE] show how the service reads a request line\n"
    "  kestactl encode info|disconnect|connect ...\n"
    "                                      print the request line for a command\n"
    "  kestactl version                    kestactl's version and the installed service's\n"
    "  kestactl --version                  kestactl's version\n"
    "  kestactl --help                     this text\n"
    "\n"
    "Every subcommand takes --help. info, connect, disconnect, send, status, decode and version\n"
    "take --json (one line of JSON on standard output); the client commands take --pipe NAME\n"
    "and --timeout SECONDS (30), the longest they wait for the service's answer.\n"
    "'--' ends the options: what follows is an argument even if it begins with a dash.\n"
    "\n"
    "Exit status, the same for every command:\n"
    "  0  done: connected, disconnected, running, stopped, installed, removed, printed\n"
    "  1  the service answered with an error; a service control request failed; install:\n"
    "     already installed; log: the log cannot be read; decode: the service would refuse\n"
    "     the line\n"
    "  2  the command line or the configuration file is wrong\n"
    "  3  the service ended the connection without an answer, or gave none in time; status:\n"
    "     installed but not running\n"
    "  4  the pipe cannot be reached; status, start, stop, restart, uninstall: not installed\n"
    "  5  the pipe's server is not the redevuva_service process\n";

kesta::kestactl::ClientEnvironment client_environment() {
  kesta::kestactl::ClientEnvironment environment;
#ifdef _WIN32
  // The client library's pipe client: the one the service's client applications use.
  environment.deliver = kesta::client::exchange_over_pipe;
#else
  environment.deliver = [](const kesta::kestactl::PipeRequest&) {
    return kesta::kestactl::Exchange{kesta::kestactl::Exchange::Outcome::kUnreachable,
                                     {},
                                     "named pipes exist only in the Windows build"};
  };
#endif
  environment.resolve = kesta::kestactl::resolve_ipv4;
  environment.read_file = kesta::kestactl::read_whole_file;
  environment.time = kesta::kestactl::system_time();
  return environment;
}

std::expected<std::size_t, std::string> read_stdin(std::span<std::uint8_t> buffer) {
  // A raw read returns what has arrived, so a typed line is handled when Enter is pressed.
#ifdef _WIN32
  const int n = _read(0, buffer.data(), static_cast<unsigned>(buffer.size()));
#else
  const ssize_t n = ::read(0, buffer.data(), buffer.size());
#endif
  if (n < 0) return std::unexpected(std::string("cannot read standard input"));
  return static_cast<std::size_t>(n);
}

int run(const std::vector<std::string>& args) {
  kesta::kestactl::Output output;
  int status;
  const std::span<const std::string> rest =
      std::span(args).subspan(std::min<std::size_t>(args.size(), 2));
  if (args.size() < 2) {
    status = kesta::kestactl::usage_error(output, "which subcommand?");
  } else if (args[1] == "--help" || args[1] == "-h" || args[1] == "help") {
    output.out += kHelp;
    status = kesta::kestactl::kExitOk;
  } else if (args[1] == "decode") {
    status = kesta::kestactl::run_decode(rest, read_stdin, output);
  } else if (args[1] == "--version") {
    status = kesta::kestactl::run_version(rest, output);
  } else if (args[1] == "version") {
#ifdef _WIN32
    status = kesta::kestactl::run_version(rest, output, [] {
      return kesta::kestactl::find_installed_service(std::string(kesta::kestactl::kServiceName));
    });
#else
    status = kesta::kestactl::run_version(rest, output);
#endif
  } else if (args[1] == "encode") {
    status = kesta::kestactl::run_encode(rest, output, kesta::kestactl::resolve_ipv4);
  } else if (args[1] == "info" || args[1] == "disconnect" || args[1] == "connect" ||
             args[1] == "send") {
    status = kesta::kestactl::run_client(args[1], rest, client_environment(), output);
#ifdef _WIN32
  } else if (args[1] == "install") {
    status = kesta::kestactl::run_install(rest, output);
  } else if (args[1] == "uninstall") {
    status = kesta::kestactl::run_uninstall(rest, output);
  } else if (args[1] == "status") {
    status = kesta::kestactl::run_status(rest, client_environment(), output);
  } else if (args[1] == "start" || args[1] == "stop" || args[1] == "restart") {
    status = kesta::kestactl::run_service_control(args[1], rest, output);
  } else if (args[1] == "log") {
    kesta::kestactl::LogStream stream;
    // Lines go out as they come; a closed standard output (a pager that quit) ends --follow.
    stream.print = [](std::string_view text) {
      return std::fwrite(text.data(), 1, text.size(), stdout) == text.size() &&
             std::fflush(stdout) == 0;
    };
    status = kesta::kestactl::run_log(rest, stream, output);
#endif
  } else {
    status = kesta::kestactl::usage_error(output, "unknown subcommand '" + args[1] + "'");
  }
  std::fwrite(output.out.data(), 1, output.out.size(), stdout);
  std::fflush(stdout);
  std::fwrite(output.err.data(), 1, output.err.size(), stderr);
  return status;
}

}  // namespace

#ifdef _WIN32
// Arguments arrive as UTF-16 and are handled as UTF-8; output is binary so that lines end
// in LF exactly as on every other platform.
int wmain(int argc, wchar_t** argv) {
  _setmode(_fileno(stdin), _O_BINARY);
  _setmode(_fileno(stdout), _O_BINARY);
  _setmode(_fileno(stderr), _O_BINARY);
  std::vector<std::string> args;
  for (int i = 0; i < argc; ++i) args.push_back(kesta::narrow(argv[i]));
  return run(args);
}
#else
int main(int argc, char** argv) {
  return run(std::vector<std::string>(argv, argv + argc));
}
#endif
