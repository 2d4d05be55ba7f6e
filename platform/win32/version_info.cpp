#include "platform/version_info.h"

#include "platform/win32/windows_types.h"

namespace halcyra::platform {

static_assert(sizeof(VS_FIXEDFILEINFO) == sizeof(FixedFileInfo));
static_assert(offsetof(VS_FIXEDFILEINFO, dwSignature) == offsetof(FixedFileInfo, dwSignature));
static_assert(offsetof(VS_FIXEDFILEINFO, dwStrucVersion) == offsetof(FixedFileInfo, dwStrucVersion));
static_assert(offsetof(VS_FIXEDFILEINFO, dwFileVersionMS) == offsetof(FixedFileInfo, dwFileVersionMS));
static_assert(offsetof(VS_FIXEDFILEINFO, dwFileVersionLS) == offsetof(FixedFileInfo, dwFileVersionLS));
static_assert(offsetof(VS_FIXEDFILEINFO, dwProductVersionMS) == offsetof(FixedFileInfo, dwProductVersionMS));
static_assert(offsetof(VS_FIXEDFILEINFO, dwProductVersionLS) == offsetof(FixedFileInfo, dwProductVersionLS));
static_assert(offsetof(VS_FIXEDFILEINFO, dwFileFlagsMask) == offsetof(FixedFileInfo, dwFileFlagsMask));
static_assert(offsetof(VS_FIXEDFILEINFO, dwFileFlags) == offsetof(FixedFileInfo, dwFileFlags));
static_assert(offsetof(VS_FIXEDFILEINFO, dwFileOS) == offsetof(FixedFileInfo, dwFileOS));
static_assert(offsetof(VS_FIXEDFILEINFO, dwFileType) == offsetof(FixedFileInfo, dwFileType));
static_assert(offsetof(VS_FIXEDFILEINFO, dwFileSubtype) == offsetof(FixedFileInfo, dwFileSubtype));
static_assert(offsetof(VS_FIXEDFILEINFO, dwFileDateMS) == offsetof(FixedFileInfo, dwFileDateMS));
static_assert(offsetof(VS_FIXEDFILEINFO, dwFileDateLS) == offsetof(FixedFileInfo, dwFileDateLS));

Dword GetFileVersionInfoSizeW(const char16_t* path, Dword* handle) {
  DWORD nativeHandle = 0;
  Dword const size = ::GetFileVersionInfoSizeW(win32::wide(path), &nativeHandle);
  if (handle != nullptr) {
    *handle = nativeHandle;
  }
  return size;
}

Bool GetFileVersionInfoW(const char16_t* path, Dword handle, Dword length, void* data) {
  return ::GetFileVersionInfoW(win32::wide(path), handle, length, data);
}

Bool VerQueryValueA(const void* block, const char* subBlock, void** buffer, unsigned* length) {
  return ::VerQueryValueA(block, subBlock, buffer, length);
}

}  // namespace halcyra::platform
