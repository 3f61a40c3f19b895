#include "wireguard_sim/in_process.h"

#include "wireguard_sim/exports.h"

#include <cstring>
#include <utility>

namespace kesta::wgsim {
namespace {

using Function = driver::ModuleLoader::Function;

template <class F>
Function generic(F* function) {
  return reinterpret_cast<Function>(function);
}

const std::pair<const char*, Function> kExports[] = {
    {"WireGuardCreateAdapter", generic(&WireGuardCreateAdapter)},
    {"WireGuardOpenAdapter", generic(&WireGuardOpenAdapter)},
    {"WireGuardCloseAdapter", generic(&WireGuardCloseAdapter)},
    {"WireGuardGetAdapterLUID", generic(&WireGuardGetAdapterLUID)},
    {"WireGuardGetRunningDriverVersion", generic(&WireGuardGetRunningDriverVersion)},
    {"WireGuardDeleteDriver", generic(&WireGuardDeleteDriver)},
    {"WireGuardSetLogger", generic(&WireGuardSetLogger)},
    {"WireGuardSetAdapterLogging", generic(&WireGuardSetAdapterLogging)},
    {"WireGuardGetAdapterState", generic(&WireGuardGetAdapterState)},
    {"WireGuardSetAdapterState", generic(&WireGuardSetAdapterState)},
    {"WireGuardGetConfiguration", generic(&WireGuardGetConfiguration)},
    {"WireGuardSetConfiguration", generic(&WireGuardSetConfiguration)},
};

int module_token;

}  // namespace

driver::ModuleLoader::Module InProcessLoader::load() {
  if (options_.library_missing) {
    error_ = options_.load_error;
    return nullptr;
  }
  ++loaded_;
  return &module_token;
}

Function InProcessLoader::find(Module, const char* name) {
  lookups_.emplace_back(name);
  if (options_.missing_export != name) {
    for (const auto& [export_name, function] : kExports) {
      if (std::strcmp(export_name, name) == 0) return function;
    }
  }
  error_ = options_.find_error;
  return nullptr;
}

void InProcessLoader::unload(Module) {
  --loaded_;
  // Unloading may leave any last error behind; the loader must have read its own by then.
  error_ = 0;
}

driver::WireGuardLibraryRef load_in_process() {
  auto loaded =
      driver::load_wireguard_library(std::make_shared<InProcessLoader>(InProcessLoader::Options{}));
  return loaded ? *loaded : nullptr;
}

}  // namespace kesta::wgsim
