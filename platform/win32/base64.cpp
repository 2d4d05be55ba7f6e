#include "platform/base64.h"

#include "platform/win32/windows_types.h"
// After <windows.h>, which it needs.
#include <wincrypt.h>

namespace halcyra::platform {

static_assert(kCryptStringBase64 == CRYPT_STRING_BASE64 && kCryptStringNoCrlf == CRYPT_STRING_NOCRLF);

Bool CryptBinaryToStringW(const std::uint8_t* data, Dword size, Dword flags, char16_t* text, Dword* length) {
  DWORD nativeLength = *length;
  Bool const result = ::CryptBinaryToStringW(data, size, flags, win32::wide(text), &nativeLength);
  Dword const error = ::GetLastError();
  *length = nativeLength;
  ::SetLastError(error);
  return result;
}

}  // namespace halcyra::platform
