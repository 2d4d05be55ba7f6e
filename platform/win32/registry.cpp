#include "platform/registry.h"

#include "platform/win32/windows_types.h"

namespace halcyra::platform {

static_assert(kKeyQueryValue == KEY_QUERY_VALUE && kKeySetValue == KEY_SET_VALUE);
static_assert(kRegOptionNonVolatile == REG_OPTION_NON_VOLATILE && kRegSz == REG_SZ);

namespace {
HKEY hkey(Hkey key) { return static_cast<HKEY>(key); }
}  // namespace

Dword RegCreateKeyExW(Hkey key, const char16_t* subKey, Dword options, Dword samDesired, Hkey* result) {
  HKEY created = nullptr;
  LSTATUS const status =
      ::RegCreateKeyExW(hkey(key), win32::wide(subKey), 0, nullptr, options, samDesired, nullptr, &created, nullptr);
  *result = created;
  return static_cast<Dword>(status);
}

Dword RegOpenKeyExW(Hkey key, const char16_t* subKey, Dword options, Dword samDesired, Hkey* result) {
  HKEY opened = nullptr;
  LSTATUS const status = ::RegOpenKeyExW(hkey(key), win32::wide(subKey), options, samDesired, &opened);
  *result = opened;
  return static_cast<Dword>(status);
}

Dword RegQueryValueExW(Hkey key, const char16_t* valueName, Dword* type, std::uint8_t* data, Dword* dataSize) {
  DWORD valueType = 0;
  DWORD size = *dataSize;
  LSTATUS const status = ::RegQueryValueExW(hkey(key), win32::wide(valueName), nullptr, &valueType, data, &size);
  *type = valueType;
  *dataSize = size;
  return static_cast<Dword>(status);
}

Dword RegSetValueExW(Hkey key, const char16_t* valueName, Dword type, const std::uint8_t* data, Dword dataSize) {
  return static_cast<Dword>(::RegSetValueExW(hkey(key), win32::wide(valueName), 0, type, data, dataSize));
}

Dword RegCloseKey(Hkey key) { return static_cast<Dword>(::RegCloseKey(hkey(key))); }

}  // namespace halcyra::platform
