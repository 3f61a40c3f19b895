#pragma once

#include <array>
#include <cstdint>
#include <expected>
#include <memory>
#include <string>
#include <utility>

#include "core/error.h"
#include "driver/wireguard_abi.h"

namespace kesta::driver {

// The twelve entry points of the driver library, all present.
struct WireGuardFunctions {
#define KESTA_WIREGUARD_SLOT(field, type, name) abi::type* field = nullptr;
  KESTA_WIREGUARD_ENTRY_POINTS(KESTA_WIREGUARD_SLOT)
#undef KESTA_WIREGUARD_SLOT
};

// The exported names in resolution order; a missing name stops the load before the later ones
// are tried.
inline constexpr std::array kWireGuardEntryPoints = {
#define KESTA_WIREGUARD_NAME(field, type, name) name,
    KESTA_WIREGUARD_ENTRY_POINTS(KESTA_WIREGUARD_NAME)
#undef KESTA_WIREGUARD_NAME
};
static_assert(kWireGuardEntryPoints.size() == 12);

// The loaded library: immutable, shared by counted references, unloaded with the last one.
class WireGuardLibrary {
 public:
  // `module` keeps the functions valid (the loaded module itself, in production); it goes with
  // the library.
  WireGuardLibrary(const WireGuardFunctions& functions, std::shared_ptr<const void> module)
      : functions_(functions), module_(std::move(module)) {}
  WireGuardLibrary(const WireGuardLibrary&) = delete;
  WireGuardLibrary& operator=(const WireGuardLibrary&) = delete;

  const WireGuardFunctions& functions() const noexcept { return functions_; }

 private:
  WireGuardFunctions functions_;
  std::shared_ptr<const void> module_;
};

using WireGuardLibraryRef = std::shared_ptr<const WireGuardLibrary>;

class WireGuardLoadError {
 public:
  enum class Kind { kLibraryNotLoaded, kEntryPointMissing };

  // `system_code` 0 means the system reported no error.
  WireGuardLoadError(Kind kind, std::uint32_t system_code) : kind_(kind), code_(system_code) {}

  Kind kind() const noexcept { return kind_; }
  std::uint32_t system_code() const noexcept { return code_; }
  // "LoadLibraryExW failed" or "GetProcAddress failed", with the system error as cause, or the
  // ", but system did not report the error" variant without one.
  Error error() const;

 private:
  Kind kind_;
  std::uint32_t code_;
};

// The platform's module loader, kept behind an interface so the loading rules run in tests.
class ModuleLoader {
 public:
  using Function = void (*)();

  // A loaded module, unloaded when it is destroyed.
  class Module {
   public:
    virtual ~Module() = default;
    // The entry point `name`; null when it is missing, with the reason in last_error().
    virtual Function find(const char* name) = 0;
  };

  virtual ~ModuleLoader() = default;
  // Loads the driver library; null on failure, with the reason in last_error().
  virtual std::unique_ptr<Module> load() = 0;
  virtual std::uint32_t last_error() = 0;
};

using LoadResult = std::expected<WireGuardLibraryRef, WireGuardLoadError>;

LoadResult load_wireguard_library(std::shared_ptr<ModuleLoader> loader);

#ifdef _WIN32
// Loads "wireguard" from the program's folder or System32, nowhere else.
LoadResult load_wireguard_library();
#endif

}  // namespace kesta::driver
