#include "driver/random_guid.h"

#ifdef _WIN32
#include <windows.h>
// bcrypt.h uses the types windows.h defines.
#include <bcrypt.h>
#else
#include <random>
#endif

namespace kesta::driver {

#ifdef _WIN32
namespace {

using GenRandom = NTSTATUS(WINAPI*)(BCRYPT_ALG_HANDLE, PUCHAR, ULONG, ULONG);

// bcrypt is loaded from System32 at the first adapter creation, not at start: a service that
// is only asked for Info never carries it (under Wine it brings a whole TLS library along).
// Once loaded it stays for the life of the process, so nothing owns it.
GenRandom gen_random() {
  static const GenRandom function = []() -> GenRandom {
    const HMODULE module = LoadLibraryExW(L"bcrypt.dll", nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32);
    if (module == nullptr) return nullptr;
    return reinterpret_cast<GenRandom>(
        reinterpret_cast<void (*)()>(GetProcAddress(module, "BCryptGenRandom")));
  }();
  return function;
}

}  // namespace
#endif

Result<abi::Guid> random_guid() {
  abi::Guid guid{};
#ifdef _WIN32
  const GenRandom generate = gen_random();
  if (generate == nullptr) {
    return std::unexpected(Error("BCryptGenRandom is not available", last_error()));
  }
  const NTSTATUS status =
      generate(nullptr, guid.bytes, sizeof guid.bytes, BCRYPT_USE_SYSTEM_PREFERRED_RNG);
  if (status < 0) {
    return std::unexpected(Error("BCryptGenRandom failed with status " +
                                 std::to_string(static_cast<std::uint32_t>(status))));
  }
#else
  // Off Windows (tests only) the standard library's device source is the system generator.
  std::random_device device;
  for (std::size_t i = 0; i < sizeof guid.bytes; i += 4) {
    const unsigned int word = device();
    for (std::size_t j = 0; j < 4; ++j)
      guid.bytes[i + j] = static_cast<std::uint8_t>(word >> (8 * j));
  }
#endif
  return guid;
}

}  // namespace kesta::driver
