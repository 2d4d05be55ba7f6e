#pragma once
// Version information (version.dll).

#include "platform/types.h"

namespace halcyra::platform {

// VS_FIXEDFILEINFO, members in the platform's order.
struct FixedFileInfo {
  Dword dwSignature;  // 0xFEEF04BD
  Dword dwStrucVersion;
  Dword dwFileVersionMS;
  Dword dwFileVersionLS;
  Dword dwProductVersionMS;
  Dword dwProductVersionLS;
  Dword dwFileFlagsMask;
  Dword dwFileFlags;
  Dword dwFileOS;
  Dword dwFileType;
  Dword dwFileSubtype;
  Dword dwFileDateMS;
  Dword dwFileDateLS;
};

Dword GetFileVersionInfoSizeW(const char16_t* path, Dword* handle);
Bool GetFileVersionInfoW(const char16_t* path, Dword handle, Dword length, void* data);
Bool VerQueryValueA(const void* block, const char* subBlock, void** buffer, unsigned* length);

}  // namespace halcyra::platform
