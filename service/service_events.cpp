#include "service/service_events.h"

#include <cstdio>
#include <initializer_list>
#include <string>
#include <utility>
#include <vector>

#include "platform/clock.h"
#include "platform/event_log.h"
#include "service/event_messages.h"
#include "service/graceful_stop.h"
#include "version/decimal_text.h"
#include "version/version_number.h"

namespace halcyra {

using platform::Dword;
using platform::Word;

namespace {

constexpr char16_t kEventSourceName[] = u"HalcyraService";
// The failure text of a check that raised an error instead of completing.
constexpr char kCheckRaisedAnError[] = "an unexpected error ended the check";
// The code the stop sequence gives TerminateProcess.
constexpr Dword kTerminationExitCode = platform::kErrorProcessAborted;

struct RunningChild {
  std::u16string program;
  Dword processId = 0;
  std::uint64_t startTick = 0;
};

// The program that keeps ending quickly, with the exit code of its last end and how many
// quick ends with that code came in a row.
struct QuickEnds {
  std::u16string program;
  std::optional<Dword> exitCode;
  unsigned count = 0;
};

struct ReportingState {
  platform::Handle source = nullptr;
  std::optional<RunningChild> child;
  std::optional<QuickEnds> quickEnds;
  std::optional<std::string> lastCheckFailure;
  std::optional<std::pair<std::u16string, Dword>> lastLaunchFailure;
  bool jobListUnavailableReported = false;
};

ReportingState state;

std::u16string ascii(const std::string& text) { return {text.begin(), text.end()}; }

// Large codes are mostly NTSTATUS values (0xC0000005 ...), which are known in hex.
std::u16string exitCodeText(const std::optional<Dword>& exitCode) {
  if (!exitCode) {
    return u"unknown";
  }
  if (*exitCode <= 0xFFFF) {
    return decimalText(*exitCode);
  }
  char hex[16];
  std::snprintf(hex, sizeof hex, "0x%08X", static_cast<unsigned>(*exitCode));
  return decimalText(*exitCode) + u" (" + ascii(hex) + u")";
}

// Tenths of a second, e.g. "2.5".
std::u16string secondsText(std::uint64_t milliseconds) {
  return decimalText(milliseconds / 1000) + u"." + decimalText(milliseconds / 100 % 10);
}

// The error text's bytes are the low bytes of UTF-16 units; read back, each is one unit.
std::u16string widenBytes(const std::string& text) {
  std::u16string wide;
  for (const char c : text) {
    wide.push_back(static_cast<unsigned char>(c));
  }
  return wide;
}

void report(Word type, Dword eventId, std::initializer_list<std::u16string> strings) {
  if (state.source == nullptr) {
    return;
  }
  std::vector<const char16_t*> pointers;
  for (const std::u16string& text : strings) {
    pointers.push_back(text.c_str());
  }
  static_cast<void>(platform::ReportEventW(state.source, type, 0, eventId, nullptr, static_cast<Word>(pointers.size()),
                                           0, pointers.data(), nullptr));
}

// Reporting must not take the service down: an error raised while building an event (no
// memory for its text) drops the event.
template <typename Body>
void guarded(Body body) noexcept {
  try {
    body();
  } catch (...) {
    // The event is lost; the service goes on.
  }
}

void childStarted(std::u16string_view program, Dword processId, Dword eventId,
                  std::initializer_list<std::u16string> strings) {
  state.child = RunningChild{std::u16string(program), processId, platform::GetTickCount64()};
  state.lastLaunchFailure.reset();
  const bool folded = state.quickEnds && state.quickEnds->program == program;
  if (!folded) {
    report(platform::kEventlogInformationType, eventId, strings);
  }
}

// The end of a child that ended by itself: folded while it keeps ending quickly.
void childExited(const RunningChild& child, const std::optional<Dword>& exitCode) {
  const std::uint64_t ranFor = platform::GetTickCount64() - child.startTick;
  const bool quick = ranFor < kQuickEndMs;
  const bool repeated =
      quick && state.quickEnds && state.quickEnds->program == child.program && state.quickEnds->exitCode == exitCode;
  if (repeated) {
    const unsigned count = ++state.quickEnds->count;
    if (count % kQuickEndReportEvery == 0) {
      report(platform::kEventlogWarningType, EVENT_CHILD_QUICK_ENDS,
             {child.program, decimalText(kQuickEndMs / 1000), decimalText(count), decimalText(child.processId),
              exitCodeText(exitCode), decimalText(kQuickEndReportEvery)});
    }
    return;
  }
  if (quick) {
    state.quickEnds = QuickEnds{child.program, exitCode, 1};
  } else {
    state.quickEnds.reset();
  }
  const Word type = exitCode == Dword{0} ? platform::kEventlogInformationType : platform::kEventlogWarningType;
  report(type, EVENT_CHILD_EXITED,
         {child.program, decimalText(child.processId), exitCodeText(exitCode), secondsText(ranFor)});
}

}  // namespace

void openEventSource() {
  guarded([] {
    state = ReportingState{};
    state.source = platform::RegisterEventSourceW(nullptr, kEventSourceName);
  });
}

void closeEventSource() {
  if (state.source != nullptr) {
    static_cast<void>(platform::DeregisterEventSource(state.source));
    state.source = nullptr;
  }
}

void reportServiceStarted() {
  guarded([] { report(platform::kEventlogInformationType, EVENT_SERVICE_STARTED, {}); });
}

void reportServiceStopped() {
  guarded([] { report(platform::kEventlogInformationType, EVENT_SERVICE_STOPPED, {}); });
}

void reportServiceStartFailure(Dword error) {
  guarded([&] { report(platform::kEventlogErrorType, EVENT_START_FAILED, {decimalText(error)}); });
}

void reportUpdateCheck(const UpdaterSettings& settings, bool completed) {
  guarded([&] {
    if (completed && !settings.hasError) {
      state.lastCheckFailure.reset();
      return;
    }
    const std::string failure = completed ? settings.lastError : kCheckRaisedAnError;
    if (state.lastCheckFailure == failure) {
      return;
    }
    state.lastCheckFailure = failure;
    report(platform::kEventlogWarningType, EVENT_UPDATE_CHECK_FAILED, {widenBytes(failure)});
  });
}

void reportServerStarted(std::u16string_view serverName, Dword processId, Dword sessionId) {
  guarded([&] {
    childStarted(serverName, processId, EVENT_SERVER_STARTED,
                 {std::u16string(serverName), decimalText(processId), decimalText(sessionId)});
  });
}

void reportUpdaterStarted(const UpdaterSettings& settings, Dword processId, Dword sessionId) {
  guarded([&] {
    childStarted(settings.updaterPath, processId, EVENT_UPDATER_STARTED,
                 {settings.updaterPath, decimalText(processId), decimalText(sessionId),
                  formatVersionNumber(settings.remoteVersion), formatVersionNumber(settings.localVersion)});
  });
}

void reportChildEnded(const ChildEnd& end) {
  guarded([&] {
    if (!state.child) {
      return;
    }
    const RunningChild child = std::move(*state.child);
    state.child.reset();
    if (end.kind == ChildEndKind::exited) {
      childExited(child, end.exitCode);
      return;
    }
    // The service ended it: whatever loop there was is over.
    state.quickEnds.reset();
    const std::u16string processId = decimalText(child.processId);
    switch (end.kind) {
      case ChildEndKind::stoppedByCtrlC:
        report(platform::kEventlogInformationType, EVENT_CHILD_STOPPED,
               {child.program, processId, exitCodeText(end.exitCode)});
        break;
      case ChildEndKind::terminatedAfterGrace:
        report(platform::kEventlogWarningType, EVENT_CHILD_TERMINATED,
               {child.program, processId, decimalText(kStopGraceMs / 1000), decimalText(kTerminationExitCode)});
        break;
      case ChildEndKind::terminatedUnasked:
        report(platform::kEventlogWarningType, EVENT_CHILD_TERMINATED_UNASKED,
               {child.program, processId, decimalText(kTerminationExitCode)});
        break;
      case ChildEndKind::exited:
        break;
    }
  });
}

void reportUpdateSetAside(const VersionNumber& announced, const VersionNumber& installed, unsigned runs,
                          std::uint64_t retryInMs) {
  guarded([&] {
    // Whole minutes, rounded up: "in 0 minutes" would read as now.
    const std::uint64_t minutes = (retryInMs + 59999) / 60000;
    report(platform::kEventlogWarningType, EVENT_UPDATE_SET_ASIDE,
           {formatVersionNumber(announced), formatVersionNumber(installed), decimalText(runs), decimalText(minutes)});
  });
}

void reportJobListUnavailable(Dword error) {
  guarded([&] {
    if (state.jobListUnavailableReported) {
      return;
    }
    state.jobListUnavailableReported = true;
    report(platform::kEventlogErrorType, EVENT_JOB_LIST_UNAVAILABLE, {decimalText(error)});
  });
}

void reportLaunchFailure(std::u16string_view program, Dword error) {
  guarded([&] {
    auto failure = std::make_pair(std::u16string(program), error);
    if (state.lastLaunchFailure == failure) {
      return;
    }
    state.lastLaunchFailure = std::move(failure);
    report(platform::kEventlogErrorType, EVENT_CHILD_LAUNCH_FAILED, {std::u16string(program), decimalText(error)});
  });
}

}  // namespace halcyra
