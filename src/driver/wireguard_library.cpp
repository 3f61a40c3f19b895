#include "driver/wireguard_library.h"

#include <utility>

namespace kesta::driver {
namespace {

// Each entry point's name with the way its resolved address goes into its slot of the table.
struct EntryPoint {
  const char* name;
  void (*store)(WireGuardFunctions& table, ModuleLoader::Function address);
};

constexpr EntryPoint kEntryPoints[] = {
#define KESTA_WIREGUARD_ENTRY(field, type, name)                         \
  {name, [](WireGuardFunctions& table, ModuleLoader::Function address) { \
     table.field = reinterpret_cast<abi::type*>(address);                \
   }},
    KESTA_WIREGUARD_ENTRY_POINTS(KESTA_WIREGUARD_ENTRY)
#undef KESTA_WIREGUARD_ENTRY
};

}  // namespace

Error WireGuardLoadError::error() const {
  const bool library = kind_ == Kind::kLibraryNotLoaded;
  const std::string what = library ? "LoadLibraryExW failed" : "GetProcAddress failed";
  if (code_ == 0) return Error(what + ", but system did not report the error");
  return Error(what, system_error(code_));
}

LoadResult load_wireguard_library(std::shared_ptr<ModuleLoader> loader) {
  std::unique_ptr<ModuleLoader::Module> module = loader->load();
  if (!module) {
    return std::unexpected(
        WireGuardLoadError(WireGuardLoadError::Kind::kLibraryNotLoaded, loader->last_error()));
  }
  WireGuardFunctions table;
  for (const EntryPoint& entry : kEntryPoints) {
    const ModuleLoader::Function address = module->find(entry.name);
    if (address == nullptr) {
      // Read before unloading, which may overwrite the thread's last error.
      const std::uint32_t code = loader->last_error();
      module.reset();
      return std::unexpected(
          WireGuardLoadError(WireGuardLoadError::Kind::kEntryPointMissing, code));
    }
    entry.store(table, address);
  }
  return std::make_shared<const WireGuardLibrary>(table, std::move(module));
}

}  // namespace kesta::driver
