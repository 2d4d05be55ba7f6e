#include "platform/sync.h"

#include "platform/win32/windows_types.h"

namespace halcyra::platform {

static_assert(kInfinite == INFINITE && kWaitObject0 == WAIT_OBJECT_0 && kWaitTimeout == WAIT_TIMEOUT &&
              kWaitFailed == WAIT_FAILED);

Handle CreateEventA(SecurityAttributes* attributes, Bool manualReset, Bool initialState, const char* name) {
  return ::CreateEventA(win32::native(attributes), manualReset, initialState, name);
}

Bool SetEvent(Handle event) { return ::SetEvent(event); }

Dword WaitForSingleObject(Handle object, Dword milliseconds) { return ::WaitForSingleObject(object, milliseconds); }

Dword WaitForMultipleObjects(Dword count, const Handle* handles, Bool waitAll, Dword milliseconds) {
  return ::WaitForMultipleObjects(count, handles, waitAll, milliseconds);
}

}  // namespace halcyra::platform
