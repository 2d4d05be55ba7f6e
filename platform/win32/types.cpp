#include "platform/types.h"

#include "platform/win32/windows_types.h"

namespace halcyra::platform {

Dword GetLastError() { return ::GetLastError(); }

void SetLastError(Dword error) { ::SetLastError(error); }

Bool CloseHandle(Handle handle) { return ::CloseHandle(handle); }

}  // namespace halcyra::platform
