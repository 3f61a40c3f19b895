#include "driver/wireguard_library.h"

#include <utility>

namespace kesta::driver {
namespace {

// Writes each resolved address into its slot of the table, in kWireGuardEntryPoints order.
template <class F>
void assign(F*& slot, ModuleLoader::Function address) {
  slot = reinterpret_cast<F*>(address);
}

void assign_at(WireGuardFunctions& table, std::size_t index, ModuleLoader::Function address) {
  switch (index) {
    case 0:
      return assign(table.create_adapter, address);
    case 1:
      return assign(table.open_adapter, address);
    case 2:
      return assign(table.close_adapter, address);
    case 3:
      return assign(table.get_adapter_luid, address);
    case 4:
      return assign(table.get_running_driver_version, address);
    case 5:
      return assign(table.delete_driver, address);
    case 6:
      return assign(table.set_logger, address);
    case 7:
      return assign(table.set_adapter_logging, address);
    case 8:
      return assign(table.get_adapter_state, address);
    case 9:
      return assign(table.set_adapter_state, address);
    case 10:
      return assign(table.get_configuration, address);
    case 11:
      return assign(table.set_configuration, address);
  }
}

}  // namespace

WireGuardLibrary::WireGuardLibrary(const WireGuardFunctions& functions,
                                   std::function<void()> unload)
    : functions_(functions), unload_(std::move(unload)) {}

WireGuardLibrary::~WireGuardLibrary() {
  if (unload_) unload_();
}

Error WireGuardLoadError::error() const {
  const bool library = kind_ == Kind::kLibraryNotLoaded;
  const std::string what = library ? "LoadLibraryExW failed" : "GetProcAddress failed";
  if (code_ == 0) return Error(what + ", but system did not report the error");
  return Error(what, system_error(code_));
}

LoadResult load_wireguard_library(std::shared_ptr<ModuleLoader> loader) {
  const ModuleLoader::Module module = loader->load();
  if (module == nullptr) {
    return std::unexpected(
        WireGuardLoadError(WireGuardLoadError::Kind::kLibraryNotLoaded, loader->last_error()));
  }
  WireGuardFunctions table;
  for (std::size_t i = 0; i < kWireGuardEntryPoints.size(); ++i) {
    const ModuleLoader::Function address = loader->find(module, kWireGuardEntryPoints[i]);
    if (address == nullptr) {
      // Read before unloading, which may overwrite the thread's last error.
      const std::uint32_t code = loader->last_error();
      loader->unload(module);
      return std::unexpected(
          WireGuardLoadError(WireGuardLoadError::Kind::kEntryPointMissing, code));
    }
    assign_at(table, i, address);
  }
  return std::make_shared<const WireGuardLibrary>(
      table, [loader = std::move(loader), module] { loader->unload(module); });
}

}  // namespace kesta::driver
