#pragma once

#include <windows.h>

#include <cstdint>
#include <string_view>
#include <vector>

#include "core/error.h"

namespace kesta {

// A security descriptor held in self-relative form, so that copies are plain bytes and owe
// nothing to the caller's memory.
class SecurityDescriptor {
 public:
  // Fails with the system error of the conversion.
  static Result<SecurityDescriptor> from_sddl(std::wstring_view sddl);
  // A deep copy of an absolute or self-relative descriptor: DACL, SACL, owner and group with
  // their defaulted flags, and the control bits.
  static Result<SecurityDescriptor> copy_of(PSECURITY_DESCRIPTOR descriptor);

  // Non-const because Win32 takes descriptors through non-const pointers; it writes nothing.
  PSECURITY_DESCRIPTOR get() noexcept { return bytes_.data(); }

 private:
  // 8-byte elements keep the descriptor aligned as the system expects.
  std::vector<std::uint64_t> bytes_;
};

}  // namespace kesta
