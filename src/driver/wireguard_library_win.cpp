#include <windows.h>

#include "driver/wireguard_library.h"

namespace kesta::driver {
namespace {

class SystemModuleLoader final : public ModuleLoader {
 public:
  Module load() override {
    // No critical-error dialog may wait for an answer while the service starts.
    DWORD previous = 0;
    const bool mode_set = SetThreadErrorMode(SEM_FAILCRITICALERRORS, &previous) != 0;
    // A bare name with default flags would also search the current directory and PATH, which
    // users may be able to write to; the service runs as SYSTEM.
    HMODULE module = LoadLibraryExW(
        L"wireguard", nullptr, LOAD_LIBRARY_SEARCH_APPLICATION_DIR | LOAD_LIBRARY_SEARCH_SYSTEM32);
    const DWORD error = GetLastError();
    if (mode_set && previous != SEM_FAILCRITICALERRORS) SetThreadErrorMode(previous, nullptr);
    SetLastError(error);
    return module;
  }

  Function find(Module module, const char* name) override {
    return reinterpret_cast<Function>(GetProcAddress(static_cast<HMODULE>(module), name));
  }

  void unload(Module module) override { FreeLibrary(static_cast<HMODULE>(module)); }

  std::uint32_t last_error() override { return GetLastError(); }
};

}  // namespace

LoadResult load_wireguard_library() {
  return load_wireguard_library(std::make_shared<SystemModuleLoader>());
}

}  // namespace kesta::driver
