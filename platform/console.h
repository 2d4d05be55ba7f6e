#pragma once
// Console control (kernel32), used by the stop-request mode.

#include "platform/types.h"

namespace halcyra::platform {

inline constexpr Dword kCtrlCEvent = 0;

Bool AttachConsole(Dword processId);
// Only the form SetConsoleCtrlHandler(NULL, add) is used: it makes the calling process
// ignore (add TRUE) or stop ignoring (add FALSE) Ctrl-C.
Bool SetConsoleCtrlHandler(std::nullptr_t handler, Bool add);
Bool GenerateConsoleCtrlEvent(Dword ctrlEvent, Dword processGroupId);

}  // namespace halcyra::platform
