#pragma once

// The simulated library linked into the test process, handed to the production loading code
// through a module loader that resolves names from the simulator's own entry points.

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "driver/wireguard_library.h"

namespace kesta::wgsim {

class InProcessLoader final : public driver::ModuleLoader,
                              public std::enable_shared_from_this<InProcessLoader> {
 public:
  struct Options {
    bool library_missing = false;
    std::uint32_t load_error = 126;  // reported when the library is missing
    std::string missing_export{};    // an entry point the library lacks
    std::uint32_t find_error = 127;  // reported for the missing entry point
  };

  explicit InProcessLoader(Options options) : options_(std::move(options)) {}

  // Made by std::make_shared only: a module it loads keeps it alive.
  std::unique_ptr<Module> load() override;
  std::uint32_t last_error() override { return error_; }

  const std::vector<std::string>& lookups() const { return lookups_; }
  int loaded_modules() const { return loaded_; }

 private:
  class SimulatedModule;

  Options options_;
  std::uint32_t error_ = 0;
  int loaded_ = 0;
  std::vector<std::string> lookups_;
};

// The production table over the in-process simulator.
driver::WireGuardLibraryRef load_in_process();

}  // namespace kesta::wgsim
