#pragma once

#include <functional>
#include <span>
#include <string>
#include <string_view>

#include "codec_commands.h"

namespace kesta::kestactl {

// The installed service as the service control manager knows it, and the version of the
// binary it runs, read from that file's version resource.
struct InstalledService {
  enum class State { kInstalled, kNotInstalled, kUnknown };
  State state = State::kUnknown;
  std::string binary_path;  // kInstalled: the file the manager runs
  std::string version;      // its file version; empty when it cannot be read
  std::string error;        // kUnknown, or kInstalled without a version: why
};
using FindInstalledService = std::function<InstalledService()>;

// `kestactl version [--json]`: kestactl's version and, given `find`, that of the installed
// service, with a warning when the two differ. `kestactl --version` is kestactl's alone.
int run_version(std::span<const std::string> args, Output& output,
                const FindInstalledService& find = {});

// Empty when the service's version is kestactl's; else a sentence that says they differ.
std::string version_mismatch(std::string_view service_version);

}  // namespace kesta::kestactl
