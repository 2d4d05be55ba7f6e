#include "service/entry.h"

#include <cstring>
#include <limits>

#include "platform/console.h"
#include "platform/service_manager.h"
#include "platform/types.h"
#include "service/service_control.h"
#include "service/working_folder.h"

namespace halcyra {

using platform::Dword;

namespace {

constexpr char kTerminateOption[] = "--terminate";

bool isAtolSpace(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r'; }

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

std::int32_t parseDecimalLikeAtol(const char* text) {
  while (isAtolSpace(*text)) {
    ++text;
  }
  bool negative = false;
  if (*text == '+' || *text == '-') {
    negative = *text++ == '-';
  }
  // Accumulated as a negative magnitude, whose range includes INT32_MIN.
  constexpr std::int64_t kMin = std::numeric_limits<std::int32_t>::min();
  constexpr std::int64_t kMax = std::numeric_limits<std::int32_t>::max();
  std::int64_t value = 0;
  bool overflow = false;
  for (; *text >= '0' && *text <= '9'; ++text) {
    if (!overflow) {
      value = value * 10 - (*text - '0');
      if (value < kMin) {
        overflow = true;
      }
    }
  }
  if (overflow) {
    return negative ? static_cast<std::int32_t>(kMin) : static_cast<std::int32_t>(kMax);
  }
  if (!negative) {
    if (-value > kMax) {
      return static_cast<std::int32_t>(kMax);
    }
    return static_cast<std::int32_t>(-value);
  }
  return static_cast<std::int32_t>(value);
}

int runEntry(int argc, char** argv) {
  if (argc == 3 && std::strcmp(argv[1], kTerminateOption) == 0) {
    return runStopRequest(argv[2]);
  }
  return runService();
}

}  // namespace halcyra
