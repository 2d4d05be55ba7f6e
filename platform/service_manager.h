#pragma once
// Service control manager (advapi32). The functions the SCM calls back are plain
// functions: on x64 Windows there is a single calling convention.

#include "platform/types.h"

namespace halcyra::platform {

inline constexpr Dword kServiceWin32OwnProcess = 0x10;
inline constexpr Dword kServiceStopped = 1;
inline constexpr Dword kServiceStartPending = 2;
inline constexpr Dword kServiceStopPending = 3;
inline constexpr Dword kServiceRunning = 4;

inline constexpr Dword kServiceAcceptStop = 0x1;
inline constexpr Dword kServiceAcceptSessionChange = 0x80;
inline constexpr Dword kServiceAcceptPreshutdown = 0x100;

inline constexpr Dword kServiceControlStop = 1;
inline constexpr Dword kServiceControlPause = 2;
inline constexpr Dword kServiceControlInterrogate = 4;
inline constexpr Dword kServiceControlShutdown = 5;
inline constexpr Dword kServiceControlSessionChange = 14;
inline constexpr Dword kServiceControlPreshutdown = 15;

inline constexpr Dword kWtsConsoleConnect = 1;
inline constexpr Dword kWtsConsoleDisconnect = 2;
inline constexpr Dword kWtsSessionLogon = 5;
inline constexpr Dword kWtsSessionLock = 7;

// SERVICE_STATUS, members in the platform's order.
struct ServiceStatus {
  Dword dwServiceType = 0;
  Dword dwCurrentState = 0;
  Dword dwControlsAccepted = 0;
  Dword dwWin32ExitCode = 0;
  Dword dwServiceSpecificExitCode = 0;
  Dword dwCheckPoint = 0;
  Dword dwWaitHint = 0;
};

using ServiceStatusHandle = void*;
using ServiceMainFunction = void (*)(Dword argc, char** argv);
using HandlerFunctionEx = Dword (*)(Dword control, Dword eventType, void* eventData, void* context);

// SERVICE_TABLE_ENTRYA; a table ends with an entry whose two members are null.
struct ServiceTableEntryA {
  const char* lpServiceName;
  ServiceMainFunction lpServiceProc;
};

Bool StartServiceCtrlDispatcherA(const ServiceTableEntryA* table);
ServiceStatusHandle RegisterServiceCtrlHandlerExA(const char* serviceName, HandlerFunctionEx handler, void* context);
Bool SetServiceStatus(ServiceStatusHandle handle, ServiceStatus* status);
[[noreturn]] void ExitProcess(Dword exitCode);

}  // namespace halcyra::platform
