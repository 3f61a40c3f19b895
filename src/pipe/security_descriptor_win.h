#pragma once

#include <windows.h>

#include <cstdint>
#include <string_view>
#include <vector>

#include "core/error.h"

namespace kesta::pipe {

// SYSTEM and Administrators get full access; everyone else may connect, read and write, but
// not create further instances of the pipe (which would let them pose as the service) nor
// change its DACL or owner.
inline constexpr std::wstring_view kPipeSecurity = L"D:P(A;;GA;;;SY)(A;;GA;;;BA)(A;;0x12018b;;;WD)";

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

}  // namespace kesta::pipe
