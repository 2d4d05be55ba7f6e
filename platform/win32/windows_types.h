#pragma once
// Conversions between the portable seam types and the Windows API types, shared by the
// files of the real backend. Only this backend includes <windows.h>.

#include <windows.h>

#include <cstddef>

#include "platform/types.h"

namespace halcyra::platform::win32 {

static_assert(sizeof(wchar_t) == sizeof(char16_t), "UTF-16 text is passed to the API as it is");
static_assert(sizeof(DWORD) == sizeof(Dword));
static_assert(sizeof(BOOL) == sizeof(Bool));
static_assert(sizeof(HANDLE) == sizeof(Handle));

static_assert(sizeof(SECURITY_ATTRIBUTES) == sizeof(SecurityAttributes));
static_assert(offsetof(SECURITY_ATTRIBUTES, nLength) == offsetof(SecurityAttributes, nLength));
static_assert(offsetof(SECURITY_ATTRIBUTES, lpSecurityDescriptor) ==
              offsetof(SecurityAttributes, lpSecurityDescriptor));
static_assert(offsetof(SECURITY_ATTRIBUTES, bInheritHandle) == offsetof(SecurityAttributes, bInheritHandle));

inline const wchar_t* wide(const char16_t* text) { return reinterpret_cast<const wchar_t*>(text); }
inline wchar_t* wide(char16_t* text) { return reinterpret_cast<wchar_t*>(text); }

inline SECURITY_ATTRIBUTES* native(SecurityAttributes* attributes) {
  return reinterpret_cast<SECURITY_ATTRIBUTES*>(attributes);
}

}  // namespace halcyra::platform::win32
