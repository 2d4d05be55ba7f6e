#include "platform/service_manager.h"

#include "platform/win32/windows_types.h"

namespace halcyra::platform {

static_assert(kServiceWin32OwnProcess == SERVICE_WIN32_OWN_PROCESS && kServiceStopped == SERVICE_STOPPED &&
              kServiceStartPending == SERVICE_START_PENDING && kServiceStopPending == SERVICE_STOP_PENDING &&
              kServiceRunning == SERVICE_RUNNING);
static_assert(kServiceAcceptStop == SERVICE_ACCEPT_STOP &&
              kServiceAcceptSessionChange == SERVICE_ACCEPT_SESSIONCHANGE &&
              kServiceAcceptPreshutdown == SERVICE_ACCEPT_PRESHUTDOWN);
static_assert(kServiceControlStop == SERVICE_CONTROL_STOP && kServiceControlPause == SERVICE_CONTROL_PAUSE &&
              kServiceControlInterrogate == SERVICE_CONTROL_INTERROGATE &&
              kServiceControlShutdown == SERVICE_CONTROL_SHUTDOWN &&
              kServiceControlSessionChange == SERVICE_CONTROL_SESSIONCHANGE &&
              kServiceControlPreshutdown == SERVICE_CONTROL_PRESHUTDOWN);
static_assert(kWtsConsoleConnect == WTS_CONSOLE_CONNECT && kWtsConsoleDisconnect == WTS_CONSOLE_DISCONNECT &&
              kWtsSessionLogon == WTS_SESSION_LOGON && kWtsSessionLock == WTS_SESSION_LOCK);

static_assert(sizeof(SERVICE_STATUS) == sizeof(ServiceStatus));
static_assert(offsetof(SERVICE_STATUS, dwServiceType) == offsetof(ServiceStatus, dwServiceType));
static_assert(offsetof(SERVICE_STATUS, dwCurrentState) == offsetof(ServiceStatus, dwCurrentState));
static_assert(offsetof(SERVICE_STATUS, dwControlsAccepted) == offsetof(ServiceStatus, dwControlsAccepted));
static_assert(offsetof(SERVICE_STATUS, dwWin32ExitCode) == offsetof(ServiceStatus, dwWin32ExitCode));
static_assert(offsetof(SERVICE_STATUS, dwServiceSpecificExitCode) ==
              offsetof(ServiceStatus, dwServiceSpecificExitCode));
static_assert(offsetof(SERVICE_STATUS, dwCheckPoint) == offsetof(ServiceStatus, dwCheckPoint));
static_assert(offsetof(SERVICE_STATUS, dwWaitHint) == offsetof(ServiceStatus, dwWaitHint));

static_assert(sizeof(SERVICE_TABLE_ENTRYA) == sizeof(ServiceTableEntryA));
static_assert(offsetof(SERVICE_TABLE_ENTRYA, lpServiceName) == offsetof(ServiceTableEntryA, lpServiceName));
static_assert(offsetof(SERVICE_TABLE_ENTRYA, lpServiceProc) == offsetof(ServiceTableEntryA, lpServiceProc));

// x64 Windows has one calling convention, and DWORD and std::uint32_t are both 32-bit
// unsigned integers passed in the same register, so the portable callback types are
// called correctly through the Windows ones. The detour through a function type
// without parameters tells the compiler that the cast is deliberate.
static_assert(sizeof(void*) == 8, "the callback casts rely on the x64 calling convention");

template <typename To, typename From>
To callbackCast(From function) {
  return reinterpret_cast<To>(reinterpret_cast<void (*)()>(function));
}

Bool StartServiceCtrlDispatcherA(const ServiceTableEntryA* table) {
  return ::StartServiceCtrlDispatcherA(reinterpret_cast<const SERVICE_TABLE_ENTRYA*>(table));
}

ServiceStatusHandle RegisterServiceCtrlHandlerExA(const char* serviceName, HandlerFunctionEx handler, void* context) {
  return ::RegisterServiceCtrlHandlerExA(serviceName, callbackCast<LPHANDLER_FUNCTION_EX>(handler), context);
}

Bool SetServiceStatus(ServiceStatusHandle handle, ServiceStatus* status) {
  return ::SetServiceStatus(static_cast<SERVICE_STATUS_HANDLE>(handle), reinterpret_cast<SERVICE_STATUS*>(status));
}

void ExitProcess(Dword exitCode) { ::ExitProcess(exitCode); }

}  // namespace halcyra::platform
