#include "version_command.h"

#include "client_output.h"
#include "core/escape.h"
#include "kesta/version.h"

namespace kesta::kestactl {

int run_version(std::span<const std::string> args, Output& output) {
  bool json = false;
  for (const std::string& arg : args) {
    if (arg == "--help" || arg == "-h") {
      output.out +=
          "Usage: kestactl version [--json]\n       kestactl --version\n\n"
          "Prints the version of kestactl, which is also that of redevuva_service.\n";
      return kExitOk;
    }
    if (arg != "--json") {
      return usage_error(output, "version: unexpected argument '" + escape_log_text(arg) + "'");
    }
    json = true;
  }
  output.out += json ? JsonObject().text("version", kVersion).line()
                     : "kestactl " + std::string(kVersion) + "\n";
  return kExitOk;
}

}  // namespace kesta::kestactl
