#include "platform/console.h"

#include "platform/win32/windows_types.h"

namespace halcyra::platform {

static_assert(kCtrlCEvent == CTRL_C_EVENT);

Bool AttachConsole(Dword processId) { return ::AttachConsole(processId); }

Bool SetConsoleCtrlHandler(std::nullptr_t, Bool add) { return ::SetConsoleCtrlHandler(nullptr, add); }

Bool GenerateConsoleCtrlEvent(Dword ctrlEvent, Dword processGroupId) {
  return ::GenerateConsoleCtrlEvent(ctrlEvent, processGroupId);
}

}  // namespace halcyra::platform
