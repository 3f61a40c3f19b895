#pragma once

#include <span>
#include <string>

#include "codec_commands.h"

namespace kesta::kestactl {

// `kestactl version [--json]` and `kestactl --version`: the project's one version.
int run_version(std::span<const std::string> args, Output& output);

}  // namespace kesta::kestactl
