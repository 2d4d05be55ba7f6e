#include "service/entry.h"

#include <cstring>
#include <limits>
#include <string>

#include "platform/console.h"
#include "platform/files.h"
#include "platform/service_manager.h"
#include "service/service_control.h"

namespace halcyra {

using platform::Dword;

namespace {

constexpr char kTerminateOption[] = "--terminate";
constexpr Dword kErrorFilenameExceedsRange = 206;  // ERROR_FILENAME_EXCED_RANGE

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

// Ends the text at its last backslash; without one it is left as it is.
void cutAtLastBackslash(char16_t* path) {
  const std::u16string_view text(path);
  const std::size_t backslash = text.rfind(u'\\');
  if (backslash != std::u16string_view::npos) {
    path[backslash] = u'\0';
  }
}

int runService() {
  // The working folder is the folder above the executable's folder: the relative server
  // name, the configuration and every child's current directory are based on it.
  char16_t path[platform::kMaxPath] = {};
  const Dword length = platform::GetModuleFileNameW(nullptr, path, platform::kMaxPath);
  if (length == 0 || length >= platform::kMaxPath) {
    // A path that filled the buffer is cut off, and a folder derived from it would be
    // wrong. The current directory is left alone and serviceMain fails the start with the
    // reason, which the SCM shows.
    const Dword error = length == 0 ? platform::GetLastError() : kErrorFilenameExceedsRange;
    entryFailure = error != 0 ? error : kErrorFilenameExceedsRange;
  } else {
    entryFailure = 0;
    cutAtLastBackslash(path);
    cutAtLastBackslash(path);
    platform::SetCurrentDirectoryW(path);  // a failure goes unnoticed here
  }

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
