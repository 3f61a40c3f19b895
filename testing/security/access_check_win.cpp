#include "testing/security/access_check_win.h"

#include <sddl.h>

#include <stdexcept>
#include <string>
#include <utility>

#include "core/error.h"
#include "core/unique_handle_win.h"

namespace kesta::testing {
namespace {

[[noreturn]] void fail(const char* call) {
  const Error error = last_error();
  throw std::runtime_error(std::string(call) + " failed: " + error.message());
}

// An impersonation token of the current account, which AccessCheck requires.
UniqueHandle impersonation_token(Caller caller) {
  UniqueHandle source;
  if (!OpenProcessToken(GetCurrentProcess(), TOKEN_DUPLICATE | TOKEN_QUERY, source.put())) {
    fail("OpenProcessToken");
  }
  if (caller == Caller::kUser) {
    alignas(8) BYTE administrators[SECURITY_MAX_SID_SIZE];
    DWORD size = sizeof administrators;
    if (!CreateWellKnownSid(WinBuiltinAdministratorsSid, nullptr, administrators, &size)) {
      fail("CreateWellKnownSid");
    }
    SID_AND_ATTRIBUTES deny_only{administrators, 0};
    UniqueHandle restricted;
    if (!CreateRestrictedToken(source.get(), 0, 1, &deny_only, 0, nullptr, 0, nullptr,
                               restricted.put())) {
      fail("CreateRestrictedToken");
    }
    source = std::move(restricted);
  }
  UniqueHandle impersonation;
  if (!DuplicateToken(source.get(), SecurityImpersonation, impersonation.put())) {
    fail("DuplicateToken");
  }
  return impersonation;
}

}  // namespace

std::optional<DWORD> granted_access(const ACL* dacl, DWORD desired, Caller caller) {
  alignas(8) BYTE system[SECURITY_MAX_SID_SIZE];
  DWORD size = sizeof system;
  if (!CreateWellKnownSid(WinLocalSystemSid, nullptr, system, &size)) fail("CreateWellKnownSid");
  SECURITY_DESCRIPTOR descriptor{};
  if (!InitializeSecurityDescriptor(&descriptor, SECURITY_DESCRIPTOR_REVISION) ||
      !SetSecurityDescriptorDacl(&descriptor, TRUE, const_cast<ACL*>(dacl), FALSE) ||
      !SetSecurityDescriptorOwner(&descriptor, system, FALSE) ||
      !SetSecurityDescriptorGroup(&descriptor, system, FALSE)) {
    fail("building the descriptor");
  }
  const UniqueHandle token = impersonation_token(caller);
  GENERIC_MAPPING mapping{FILE_GENERIC_READ, FILE_GENERIC_WRITE, FILE_GENERIC_EXECUTE,
                          FILE_ALL_ACCESS};
  MapGenericMask(&desired, &mapping);
  alignas(8) BYTE privileges[256];
  DWORD privileges_size = sizeof privileges;
  DWORD granted = 0;
  BOOL status = FALSE;
  if (!AccessCheck(&descriptor, token.get(), desired, &mapping,
                   reinterpret_cast<PPRIVILEGE_SET>(privileges), &privileges_size, &granted,
                   &status)) {
    // A refusal is a successful check with a false status; this is the check failing.
    fail("AccessCheck");
  }
  if (!status) return std::nullopt;
  return granted;
}

std::optional<DWORD> granted_access(std::wstring_view sddl, DWORD desired, Caller caller) {
  const std::wstring text(sddl);
  UniqueLocalMemory<> descriptor;
  if (!ConvertStringSecurityDescriptorToSecurityDescriptorW(text.c_str(), SDDL_REVISION_1,
                                                            descriptor.put(), nullptr)) {
    fail("ConvertStringSecurityDescriptorToSecurityDescriptorW");
  }
  BOOL present = FALSE;
  BOOL defaulted = FALSE;
  PACL dacl = nullptr;
  if (!GetSecurityDescriptorDacl(descriptor.get(), &present, &dacl, &defaulted)) {
    fail("GetSecurityDescriptorDacl");
  }
  return granted_access(dacl, desired, caller);
}

}  // namespace kesta::testing
