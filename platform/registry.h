#pragma once
// Registry values (advapi32): a key created or opened below HKEY_LOCAL_MACHINE, and its
// string values read and written. Results are Windows error codes (0 for success), as the
// registry functions return them; GetLastError is not used.

#include <cstdint>

#include "platform/types.h"

namespace halcyra::platform {

using Hkey = void*;  // HKEY

inline Hkey const kHkeyLocalMachine = reinterpret_cast<Hkey>(std::uintptr_t{0x80000002});

// Access rights of a key.
inline constexpr Dword kKeyQueryValue = 0x0001;
inline constexpr Dword kKeySetValue = 0x0002;

inline constexpr Dword kRegOptionNonVolatile = 0;
inline constexpr Dword kRegSz = 1;

// RegCreateKeyExW without a class, with default security (what the parent key hands down).
Dword RegCreateKeyExW(Hkey key, const char16_t* subKey, Dword options, Dword samDesired, Hkey* result);
Dword RegOpenKeyExW(Hkey key, const char16_t* subKey, Dword options, Dword samDesired, Hkey* result);
// `dataSize` in bytes, in and out; a null `data` asks for the size only.
Dword RegQueryValueExW(Hkey key, const char16_t* valueName, Dword* type, std::uint8_t* data, Dword* dataSize);
Dword RegSetValueExW(Hkey key, const char16_t* valueName, Dword type, const std::uint8_t* data, Dword dataSize);
Dword RegCloseKey(Hkey key);

}  // namespace halcyra::platform
