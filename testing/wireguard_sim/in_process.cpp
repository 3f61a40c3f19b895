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

}  // namespace

// The simulator's own entry points as a module.
class InProcessLoader::SimulatedModule final : public driver::ModuleLoader::Module {
 public:
  explicit SimulatedModule(std::shared_ptr<InProcessLoader> loader) : loader_(std::move(loader)) {
    ++loader_->loaded_;
  }
  ~SimulatedModule() override {
    --loader_->loaded_;
    // Unloading may leave any last error behind; the loader must have read its own by then.
    loader_->error_ = 0;
  }

  Function find(const char* name) override {
    loader_->lookups_.emplace_back(name);
    if (loader_->options_.missing_export != name) {
      for (const auto& [export_name, function] : kExports) {
        if (std::strcmp(export_name, name) == 0) return function;
      }
    }
    loader_->error_ = loader_->options_.find_error;
    return nullptr;
  }

 private:
  std::shared_ptr<InProcessLoader> loader_;
};

std::unique_ptr<driver::ModuleLoader::Module> InProcessLoader::load() {
  if (options_.library_missing) {
    error_ = options_.load_error;
    return nullptr;
  }
  return std::make_unique<SimulatedModule>(shared_from_this());
}

driver::WireGuardLibraryRef load_in_process() {
  auto loaded =
      driver::load_wireguard_library(std::make_shared<InProcessLoader>(InProcessLoader::Options{}));
  return loaded ? *loaded : nullptr;
}

}  // namespace kesta::wgsim
