#include "service/entry.h"

#include <cstdio>
#include <cstring>
#include <string_view>

#include "platform/console.h"
#include "platform/decimal_text.h"
#include "platform/security.h"
#include "platform/service_manager.h"
#include "platform/types.h"
#include "service/service_control.h"
#include "service/working_folder.h"

namespace halcyra {

using platform::Dword;

namespace {

constexpr char kTerminateOption[] = "--terminate";

// ERROR_FAILED_SERVICE_CONTROLLER_CONNECT: the process was not started by the SCM.
constexpr Dword kNotStartedAsService = 1063;

// One line for an administrator who ran the program at a prompt.
constexpr char kRunByHand[] =
    "HalcyraService.exe is a Windows service and does nothing when run by hand: install it with its Windows "
    "Installer package (or sc.exe create HalcyraService binPath= \"<path of HalcyraService.exe>\" start= auto), "
    "start it with sc.exe start HalcyraService, and run HalcyraUpdateCheck.exe beside it to see what its update "
    "check decides.\n";

// Attaches to the target's console and raises Ctrl-C for every process on it (group 0).
int runStopRequest(const char* idText) {
  // -1 reaches AttachConsole as ATTACH_PARENT_PROCESS, as it would from the C runtime.
  const auto processId = static_cast<Dword>(parseDecimalLikeAtol(idText));
  if (!platform::AttachConsole(processId)) {
    return static_cast<int>(platform::GetLastError());
  }
  // This instance shares the console now and must not be ended by its own Ctrl-C.
  platform::SetConsoleCtrlHandler(nullptr, platform::kTrue);
  if (!platform::GenerateConsoleCtrlEvent(platform::kCtrlCEvent, 0)) {
    return static_cast<int>(platform::GetLastError());
  }
  return 0;
}

// `dllFolders`: 0, or the error that kept DLLs loaded by name from System32 alone.
int runService(Dword dllFolders) {
  // Without System32 as the only folder for DLLs loaded by name (by libcurl, Schannel and
  // the system's own DLLs), one planted beside the executable or in the working folder
  // could run as SYSTEM: the start fails with the error instead.
  // The working folder is the install root: the relative server name, the configuration
  // and every child's current directory are based on it. When the executable's path
  // cannot be read the current directory is left alone and serviceMain fails the start
  // with the reason, which the SCM shows.
  entryFailure = dllFolders != 0 ? dllFolders : enterInstallRoot();
  // Children inherit whether their parent ignores Ctrl-C. A service manager (or a test
  // harness) that started this process ignoring it would pass that on to the server, and
  // the graceful stop would always end in termination; so the service stops ignoring it
  // before any child exists. Should the call fail, the stop still ends in termination.
  static_cast<void>(platform::SetConsoleCtrlHandler(nullptr, platform::kFalse));

  static const platform::ServiceTableEntryA dispatchTable[] = {{kServiceName, serviceMain}, {nullptr, nullptr}};
  // Blocks until the service has stopped; FALSE when no SCM is there to connect to.
  const platform::Bool dispatched = platform::StartServiceCtrlDispatcherA(dispatchTable);
  if (dispatched == platform::kFalse && platform::GetLastError() == kNotStartedAsService) {
    std::fputs(kRunByHand, stderr);
    std::fflush(stderr);
  }
  return dispatched;
}

}  // namespace

std::int32_t parseDecimalLikeAtol(const char* text) { return readDecimalLikeStrtol(std::string_view(text)); }

int runEntry(int argc, char** argv) {
  // First of all: every DLL loaded by name from now on comes from System32 only, never
  // from bin\ or the current directory. The stop-request mode loads none.
  Dword dllFolders = platform::kErrorSuccess;
  if (platform::SetDefaultDllDirectories(platform::kLoadLibrarySearchSystem32) == platform::kFalse) {
    dllFolders = platform::GetLastError();
    dllFolders = dllFolders != 0 ? dllFolders : platform::kErrorInvalidParameter;
  }
  if (argc == 3 && std::strcmp(argv[1], kTerminateOption) == 0) {
    return runStopRequest(argv[2]);
  }
  return runService(dllFolders);
}

}  // namespace halcyra
