#include "service/entry.h"

#include <cstring>
#include <string_view>

#include "platform/console.h"
#include "platform/service_manager.h"
#include "platform/types.h"
#include "service/service_control.h"
#include "service/working_folder.h"
#include "version/decimal_text.h"

namespace halcyra {

using platform::Dword;

namespace {

constexpr char kTerminateOption[] = "--terminate";

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

int runService() {
  // The working folder is the install root: the relative server name, the configuration
  // and every child's current directory are based on it. When the executable's path
  // cannot be read the current directory is left alone and serviceMain fails the start
  // with the reason, which the SCM shows.
  entryFailure = enterInstallRoot();

  static const platform::ServiceTableEntryA dispatchTable[] = {{kServiceName, serviceMain}, {nullptr, nullptr}};
  // Blocks until the service has stopped; FALSE when no SCM is there to connect to.
  return platform::StartServiceCtrlDispatcherA(dispatchTable);
}

}  // namespace

std::int32_t parseDecimalLikeAtol(const char* text) { return readDecimalLikeStrtol(std::string_view(text)); }

int runEntry(int argc, char** argv) {
  if (argc == 3 && std::strcmp(argv[1], kTerminateOption) == 0) {
    return runStopRequest(argv[2]);
  }
  return runService();
}

}  // namespace halcyra
