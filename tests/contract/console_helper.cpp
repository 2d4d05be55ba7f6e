#include "tests/contract/console_helper.h"

#include <cstdlib>

#include "platform/console.h"

namespace halcyra::contract {
namespace {

constexpr platform::Dword kAttachParentProcess = 0xFFFFFFFF;

int lastError() { return static_cast<int>(platform::GetLastError()); }

}  // namespace

int consoleHelper(const std::vector<std::string>& args) {
  using namespace platform;
  if (args.size() == 2 && args[1] == "attach-parent") {
    return AttachConsole(kAttachParentProcess) == kFalse ? lastError() : 0;
  }
  if (args.size() != 3 || args[1] != "ctrl-c") return static_cast<int>(kErrorInvalidParameter);
  if (AttachConsole(static_cast<Dword>(std::strtoul(args[2].c_str(), nullptr, 10))) == kFalse) return lastError();
  SetConsoleCtrlHandler(nullptr, kTrue);
  return GenerateConsoleCtrlEvent(kCtrlCEvent, 0) == kFalse ? lastError() : 0;
}

}  // namespace halcyra::contract
