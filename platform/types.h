#pragma once
// Portable names for the Windows types and constants that the subsystems use.
// Both backends (platform/win32 and platform/sim) implement the operations declared
// in the neighbouring headers with exactly these types.

#include <cstddef>
#include <cstdint>

namespace halcyra::platform {

using Dword = std::uint32_t;
using Bool = std::int32_t;  // Windows BOOL: nonzero is TRUE
using Handle = void*;       // HANDLE: opaque, compared only with null and kInvalidHandle

inline constexpr Bool kTrue = 1;
inline constexpr Bool kFalse = 0;

// INVALID_HANDLE_VALUE, the failure result of CreateFileW.
inline Handle const kInvalidHandle = reinterpret_cast<Handle>(~std::uintptr_t{0});

// Windows error codes the system names.
inline constexpr Dword kErrorSuccess = 0;
inline constexpr Dword kErrorFileNotFound = 2;
inline constexpr Dword kErrorPathNotFound = 3;
inline constexpr Dword kErrorAccessDenied = 5;
inline constexpr Dword kErrorInvalidHandle = 6;
inline constexpr Dword kErrorNotEnoughMemory = 8;
inline constexpr Dword kErrorSharingViolation = 32;
inline constexpr Dword kErrorBadNetpath = 53;
inline constexpr Dword kErrorInvalidParameter = 87;
inline constexpr Dword kErrorCallNotImplemented = 120;
inline constexpr Dword kErrorInsufficientBuffer = 122;
inline constexpr Dword kErrorInvalidName = 123;
inline constexpr Dword kErrorFilenameExceedsRange = 206;
inline constexpr Dword kErrorDirectory = 267;
inline constexpr Dword kErrorProcessAborted = 1067;
inline constexpr Dword kErrorShutdownInProgress = 1115;
inline constexpr Dword kErrorPrivilegeNotHeld = 1314;

// SECURITY_ATTRIBUTES.
struct SecurityAttributes {
  Dword nLength = 0;
  void* lpSecurityDescriptor = nullptr;
  Bool bInheritHandle = kFalse;
};

Dword GetLastError();
void SetLastError(Dword error);
Bool CloseHandle(Handle handle);

}  // namespace halcyra::platform
