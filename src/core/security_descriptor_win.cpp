#include "core/security_descriptor_win.h"

#include <sddl.h>

#include <cstring>
#include <string>

#include "core/fault.h"

namespace kesta {
namespace {

Result<SecurityDescriptor> failure() {
  return std::unexpected(system_error(GetLastError()));
}

}  // namespace

Result<SecurityDescriptor> SecurityDescriptor::from_sddl(std::wstring_view sddl) {
  const std::wstring text(sddl);
  PSECURITY_DESCRIPTOR converted = nullptr;
  if (!ConvertStringSecurityDescriptorToSecurityDescriptorW(text.c_str(), SDDL_REVISION_1,
                                                            &converted, nullptr)) {
    return failure();
  }
  auto copy = copy_of(converted);
  if (LocalFree(converted) != nullptr) throw Fault("LocalFree() failed", Fault::Origin::kFixed);
  return copy;
}

Result<SecurityDescriptor> SecurityDescriptor::copy_of(PSECURITY_DESCRIPTOR descriptor) {
  SECURITY_DESCRIPTOR_CONTROL control = 0;
  DWORD revision = 0;
  if (!GetSecurityDescriptorControl(descriptor, &control, &revision)) return failure();
  SecurityDescriptor copy;
  if (control & SE_SELF_RELATIVE) {
    const DWORD length = GetSecurityDescriptorLength(descriptor);
    copy.bytes_.resize((length + 7) / 8);
    std::memcpy(copy.bytes_.data(), descriptor, length);
    return copy;
  }
  DWORD length = 0;
  MakeSelfRelativeSD(descriptor, nullptr, &length);
  if (length == 0) return failure();
  copy.bytes_.resize((length + 7) / 8);
  if (!MakeSelfRelativeSD(descriptor, copy.bytes_.data(), &length)) return failure();
  return copy;
}

}  // namespace kesta
