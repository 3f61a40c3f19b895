#include "core/security_descriptor_win.h"

#include <sddl.h>

#include <cstring>
#include <string>

#include "core/unique_handle_win.h"

namespace kesta {

Result<SecurityDescriptor> SecurityDescriptor::from_sddl(std::wstring_view sddl) {
  const std::wstring text(sddl);
  UniqueLocalMemory<> converted;
  if (!ConvertStringSecurityDescriptorToSecurityDescriptorW(text.c_str(), SDDL_REVISION_1,
                                                            converted.put(), nullptr)) {
    return std::unexpected(last_error());
  }
  return copy_of(converted.get());
}

Result<SecurityDescriptor> SecurityDescriptor::copy_of(PSECURITY_DESCRIPTOR descriptor) {
  SECURITY_DESCRIPTOR_CONTROL control = 0;
  DWORD revision = 0;
  if (!GetSecurityDescriptorControl(descriptor, &control, &revision))
    return std::unexpected(last_error());
  SecurityDescriptor copy;
  if (control & SE_SELF_RELATIVE) {
    const DWORD length = GetSecurityDescriptorLength(descriptor);
    copy.bytes_.resize((length + 7) / 8);
    std::memcpy(copy.bytes_.data(), descriptor, length);
    return copy;
  }
  DWORD length = 0;
  MakeSelfRelativeSD(descriptor, nullptr, &length);
  if (length == 0) return std::unexpected(last_error());
  copy.bytes_.resize((length + 7) / 8);
  if (!MakeSelfRelativeSD(descriptor, copy.bytes_.data(), &length))
    return std::unexpected(last_error());
  return copy;
}

}  // namespace kesta
