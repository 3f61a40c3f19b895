// kestactl: the command-line client of redevuva_service.
#include <cstdio>
#include <string>
#include <vector>

#include "codec_commands.h"

#ifdef _WIN32
#include <fcntl.h>
#include <io.h>
#include <windows.h>
#else
#include <unistd.h>
#endif

namespace {

constexpr std::string_view kHelp =
    "kestactl - command-line client of the redevuva_service tunnel service\n"
    "\n"
    "Usage:\n"
    "  kestactl decode [LINE]              show how the service reads a request line\n"
    "  kestactl decode --response [LINE]   show what a response line says\n"
    "  kestactl encode info|disconnect     print the request line for a command\n"
    "  kestactl encode connect ...         (see 'kestactl encode --help')\n"
    "  kestactl --help                     this text\n"
    "\n"
    "Every subcommand takes --help. Exit status 2 means the command line was wrong.\n";

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
  } else if (args[1] == "encode") {
    status = kesta::kestactl::run_encode(rest, output);
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
  for (int i = 0; i < argc; ++i) {
    const int size = WideCharToMultiByte(CP_UTF8, 0, argv[i], -1, nullptr, 0, nullptr, nullptr);
    std::string arg(static_cast<std::size_t>(size > 0 ? size - 1 : 0), '\0');
    if (size > 1) WideCharToMultiByte(CP_UTF8, 0, argv[i], -1, arg.data(), size, nullptr, nullptr);
    args.push_back(std::move(arg));
  }
  return run(args);
}
#else
int main(int argc, char** argv) {
  return run(std::vector<std::string>(argv, argv + argc));
}
#endif
