#include <windows.h>

#include "core/unique_handle_win.h"
#include "driver/wireguard_library.h"

namespace kesta::driver {
namespace {

class SystemModule final : public ModuleLoader::Module {
 public:
  explicit SystemModule(UniqueModule module) noexcept : module_(std::move(module)) {}

  ModuleLoader::Function find(const char* name) override {
    return reinterpret_cast<ModuleLoader::Function>(GetProcAddress(module_.get(), name));
  }

 private:
  UniqueModule module_;
};

class SystemModuleLoader final : public ModuleLoader {
 public:
  std::unique_ptr<Module> load() override {
    // No critical-error dialog may wait for an answer while the service starts.
    DWORD previous = 0;
    const bool mode_set = SetThreadErrorMode(SEM_FAILCRITICALERRORS, &previous) != 0;
    // A bare name with default flags would also search the current directory and PATH, which
    // users may be able to write to; the service runs as SYSTEM.
    UniqueModule module(LoadLibraryExW(
        L"wireguard", nullptr, LOAD_LIBRARY_SEARCH_APPLICATION_DIR | LOAD_LIBRARY_SEARCH_SYSTEM32));
    const DWORD error = GetLastError();
    if (mode_set && previous != SEM_FAILCRITICALERRORS) SetThreadErrorMode(previous, nullptr);
    SetLastError(error);
    if (!module) return nullptr;
    return std::make_unique<SystemModule>(std::move(module));
  }

  std::uint32_t last_error() override { return GetLastError(); }
};

}  // namespace

LoadResult load_wireguard_library() {
  return load_wireguard_library(std::make_shared<SystemModuleLoader>());
}

}  // namespace kesta::driver
