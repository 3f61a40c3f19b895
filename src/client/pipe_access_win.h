#pragma once

#include <windows.h>

namespace kesta::client {

// Exactly the rights a client uses: GENERIC_WRITE would also ask for FILE_WRITE_EA and
// FILE_WRITE_ATTRIBUTES, which the pipe's descriptor does not grant an ordinary user.
inline constexpr DWORD kPipeAccess = GENERIC_READ | FILE_WRITE_DATA;

// Identification level: the pipe's server may learn who the caller is but never act as the
// caller. Overlapped, so that every wait has a deadline.
inline constexpr DWORD kPipeOpenFlags =
    SECURITY_SQOS_PRESENT | SECURITY_IDENTIFICATION | FILE_FLAG_OVERLAPPED;

}  // namespace kesta::client
