#pragma once

#include <windows.h>

#include <optional>
#include <string_view>

namespace kesta::testing {

// Whose rights are judged: the current account as an ordinary user (its Administrators group
// deny-only, as in a non-elevated process) or as the elevated administrator it is under Wine.
enum class Caller { kUser, kAdministrator };

// The rights Windows' own AccessCheck grants `caller` when it opens an object whose DACL is
// `dacl` asking for `desired`, generic rights mapped as for files and pipes; nullopt when the
// open would be refused. The object is judged as the service's own: owned by SYSTEM, so the
// caller gets no owner's rights (a test process would own what it creates). Throws
// std::runtime_error when the check itself cannot be made.
std::optional<DWORD> granted_access(const ACL* dacl, DWORD desired, Caller caller);

// The same for the DACL of a descriptor written in SDDL.
std::optional<DWORD> granted_access(std::wstring_view sddl, DWORD desired, Caller caller);

}  // namespace kesta::testing
