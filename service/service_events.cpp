#include "service/service_events.h"

#include <cstdio>
#include <deque>
#include <initializer_list>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "platform/clock.h"
#include "platform/event_log.h"
#include "platform/files.h"
#include "platform/sync.h"
#include "platform/text_mode.h"
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

// While no source is registered, registration is tried again at most this often.
constexpr std::uint64_t kRegistrationRetryMs = 60000;
// How long the final report waits for the events before it to be written.
constexpr Dword kCloseWaitMs = 2000;
// Events waiting to be written beyond this are dropped: the event log is not answering.
constexpr std::size_t kMaxPendingEvents = 256;

struct PendingEvent {
  Word type;
  Dword eventId;
  std::vector<std::u16string> strings;
};

// The event log's calls are synchronous and may take long, so they run on a pool thread:
// the service thread only queues events, and no launch, watch or status report waits for
// the log. The queue is written out in order by one write-out at a time, which owns the
// source from openEventSource on.
struct EventWriter {
  platform::ExclusiveLock lock;
  std::deque<PendingEvent> queue;
  bool scheduled = false;           // a write-out is queued or running
  bool closing = false;             // the write-out deregisters the source once the queue is empty
  platform::Handle idle = nullptr;  // signalled by the write-out that ends after closing
  platform::Handle source = nullptr;
  std::uint64_t lastRegistration = 0;
};

EventWriter writer;

struct ReportingState {
  std::optional<RunningChild> child;
  std::optional<QuickEnds> quickEnds;
  std::optional<std::u16string> lastCheckFailure;
  std::optional<std::pair<std::u16string, Dword>> lastLaunchFailure;
  std::optional<std::u16string> lastUpdaterRefusal;
  std::optional<std::u16string> lastOpenUpdaterPath;
  // The server's refusal that keeps repeating, and how many passes in a row met it.
  std::optional<std::pair<std::u16string, unsigned>> serverRefusals;
  std::vector<std::u16string> lastMalformedSigners;
  bool jobListUnavailableReported = false;
};

ReportingState state;

std::u16string ascii(const std::string& text) { return platform::widenBytes(text); }

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

// Writes one event, registering the source first when it is missing and the last try is a
// minute old. Nothing of the event log may fail the service: every error is swallowed.
void write(const PendingEvent& event) noexcept {
  try {
    if (writer.source == nullptr && platform::GetTickCount64() - writer.lastRegistration >= kRegistrationRetryMs) {
      writer.lastRegistration = platform::GetTickCount64();
      writer.source = platform::RegisterEventSourceW(nullptr, kEventSourceName);
    }
    if (writer.source == nullptr) {
      return;
    }
    std::vector<const char16_t*> pointers;
    for (const std::u16string& text : event.strings) {
      pointers.push_back(text.c_str());
    }
    static_cast<void>(platform::ReportEventW(writer.source, event.type, 0, event.eventId, nullptr,
                                             static_cast<Word>(pointers.size()), 0, pointers.data(), nullptr));
  } catch (...) {
    // The event is lost.
  }
}

// The write-out: the queue in order, then, once the service is closing, the source.
Dword writeOut(void* /*unused*/) noexcept {
  for (;;) {
    PendingEvent event;
    {
      const std::lock_guard guard(writer.lock);
      if (writer.queue.empty()) {
        if (writer.closing && writer.source != nullptr) {
          try {
            static_cast<void>(platform::DeregisterEventSource(writer.source));
          } catch (...) {
            // Deregistered or not, the process ends soon.
          }
          writer.source = nullptr;
        }
        writer.scheduled = false;
        if (writer.idle != nullptr) {
          try {
            static_cast<void>(platform::SetEvent(writer.idle));
          } catch (...) {
            // The closing side's wait ends at its bound.
          }
        }
        return 0;
      }
      event = std::move(writer.queue.front());
      writer.queue.pop_front();
    }
    write(event);
  }
}

// Hands the queue to a pool thread unless a write-out is under way; without one to be
// had, this thread writes it out.
void scheduleWriteOut(bool alreadyScheduled) noexcept {
  if (alreadyScheduled) {
    return;
  }
  bool queued = false;
  try {
    queued = platform::QueueUserWorkItem(&writeOut, nullptr, platform::kWtExecuteDefault) != platform::kFalse;
  } catch (...) {
    queued = false;
  }
  if (!queued) {
    writeOut(nullptr);
  }
}

// ReportEventW takes no insertion string longer than this (in UTF-16 units).
constexpr std::size_t kMaxInsertLength = 31839;

// A text cut to what the event log takes, never in the middle of a surrogate pair.
std::u16string clippedInsert(const std::u16string& text) {
  if (text.size() <= kMaxInsertLength) {
    return text;
  }
  std::size_t length = kMaxInsertLength;
  const char16_t last = text[length - 1];
  if (last >= 0xD800 && last <= 0xDBFF) {
    --length;
  }
  return text.substr(0, length);
}

void report(Word type, Dword eventId, std::initializer_list<std::u16string> strings) {
  PendingEvent event{type, eventId, {}};
  for (const std::u16string& text : strings) {
    event.strings.push_back(clippedInsert(text));
  }
  bool alreadyScheduled = false;
  {
    const std::lock_guard guard(writer.lock);
    if (writer.queue.size() >= kMaxPendingEvents) {
      return;
    }
    writer.queue.push_back(std::move(event));
    alreadyScheduled = std::exchange(writer.scheduled, true);
  }
  scheduleWriteOut(alreadyScheduled);
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
  state.serverRefusals.reset();
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
    const std::lock_guard guard(writer.lock);
    writer.queue.clear();
    writer.scheduled = false;
    writer.closing = false;
    writer.idle = nullptr;
    writer.lastRegistration = platform::GetTickCount64();
    writer.source = platform::RegisterEventSourceW(nullptr, kEventSourceName);
  });
}

void closeEventSource() {
  guarded([] {
    // Without an event to wait on, the write-out still runs; the events may then come
    // after the final status report or be lost with the process.
    const platform::Handle idle = platform::CreateEventA(nullptr, platform::kTrue, platform::kFalse, nullptr);
    bool alreadyScheduled = false;
    {
      const std::lock_guard guard(writer.lock);
      writer.closing = true;
      writer.idle = idle;
      alreadyScheduled = std::exchange(writer.scheduled, true);
    }
    scheduleWriteOut(alreadyScheduled);
    if (idle == nullptr) {
      return;
    }
    if (platform::WaitForSingleObject(idle, kCloseWaitMs) == platform::kWaitObject0) {
      {
        const std::lock_guard guard(writer.lock);
        writer.idle = nullptr;
      }
      static_cast<void>(platform::CloseHandle(idle));
    }
    // Otherwise the write-out may still signal the event: it stays open until the process ends.
  });
}

void writeEventsBeforeExit() {
  // Registration is the only write to the source outside the lock; with a source
  // registered, a write-out on a pool thread at the same time only reads it.
  writeOut(nullptr);
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

void reportLogFallback(std::u16string_view logPath, Dword error, std::u16string_view fallback) {
  guarded([&] {
    const std::u16string where = fallback == u"NUL" ? u"NUL, which discards it" : std::u16string(fallback);
    report(platform::kEventlogWarningType, EVENT_LOG_FALLBACK, {std::u16string(logPath), decimalText(error), where});
  });
}

void reportLogRotationBlocked(std::u16string_view logPath, std::u16string_view generationPath, Dword error) {
  guarded([&] {
    report(platform::kEventlogWarningType, EVENT_LOG_ROTATION_BLOCKED,
           {std::u16string(logPath), std::u16string(generationPath), decimalText(error)});
  });
}

void reportUpdateCheck(const UpdaterSettings& settings, bool completed, const UpdateCheckDetail& detail) {
  guarded([&] {
    if (completed && !settings.hasError) {
      state.lastCheckFailure.reset();
      return;
    }
    const std::u16string failure = platform::widenBytes(completed ? settings.lastError : kCheckRaisedAnError);
    std::u16string curlResult = u"no transfer was made";
    std::u16string response = u"none";
    int curlCode = -1;
    if (completed && detail.transfer && detail.transfer->curlCode >= 0) {
      const TransferResult& transfer = *detail.transfer;
      curlCode = transfer.curlCode;
      curlResult = transfer.curlCode == 0 ? u"0 (the transfer completed)"
                                          : u"error " + decimalText(static_cast<Dword>(transfer.curlCode)) + u" (" +
                                                platform::widenBytes(transfer.curlMessage) + u")";
      if (transfer.responseCode > 0) {
        response = decimalText(static_cast<Dword>(transfer.responseCode));
      }
    }
    // libcurl's message can name a time that differs on every pass; its code does not.
    std::u16string key = failure + u'\n' + decimalText(static_cast<Dword>(curlCode)) + u'\n' + response;
    if (state.lastCheckFailure == key) {
      return;
    }
    state.lastCheckFailure = std::move(key);
    report(platform::kEventlogWarningType, EVENT_UPDATE_CHECK_FAILED, {failure, curlResult, response});
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
    state.lastUpdaterRefusal.reset();
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

void reportTrustBoundaryOpen(const std::u16string& objects, bool updaterRefused) {
  guarded([&] {
    if (updaterRefused) {
      if (state.lastOpenUpdaterPath == objects) {
        return;
      }
      state.lastOpenUpdaterPath = objects;
    }
    std::u16string const consequence =
        updaterRefused ? u"The updater is not started while its path is open: the server is started instead."
                       : u"The service goes on running.";
    report(platform::kEventlogWarningType, EVENT_TRUST_BOUNDARY_OPEN, {objects, consequence});
  });
}

void reportUpdaterPathOpen(const std::string& objects) {
  guarded([&] {
    auto const length = static_cast<int>(objects.size());
    int const needed = platform::MultiByteToWideChar(platform::kCpUtf8, 0, objects.data(), length, nullptr, 0);
    std::u16string wide(static_cast<std::size_t>(needed > 0 ? needed : 0), u'\0');
    if (needed > 0) {
      platform::MultiByteToWideChar(platform::kCpUtf8, 0, objects.data(), length, wide.data(), needed);
    }
    reportTrustBoundaryOpen(wide, true);
  });
}

void reportUpdaterRefused(std::u16string_view updaterPath, const std::string& reason, const std::string& thumbprint) {
  guarded([&] {
    std::u16string const why = reason.empty() ? u"the check could not be completed" : ascii(reason);
    std::u16string const found = thumbprint.empty() ? u"none" : ascii(thumbprint);
    std::u16string refusal = std::u16string(updaterPath) + u'\n' + why + u'\n' + found;
    if (state.lastUpdaterRefusal == refusal) {
      return;
    }
    state.lastUpdaterRefusal = std::move(refusal);
    report(platform::kEventlogErrorType, EVENT_UPDATER_REFUSED, {std::u16string(updaterPath), why, found});
  });
}

void reportServerRefused(std::u16string_view serverName, const std::string& reason, const std::string& thumbprint) {
  guarded([&] {
    std::u16string const why = reason.empty() ? u"the check could not be completed" : ascii(reason);
    std::u16string const found = thumbprint.empty() ? u"none" : ascii(thumbprint);
    std::u16string refusal = std::u16string(serverName) + u'\n' + why + u'\n' + found;
    if (state.serverRefusals && state.serverRefusals->first == refusal) {
      ++state.serverRefusals->second;
    } else {
      state.serverRefusals.emplace(std::move(refusal), 1);
    }
    unsigned const count = state.serverRefusals->second;
    if (count == 1 || count % kQuickEndReportEvery == 0) {
      report(platform::kEventlogErrorType, EVENT_SERVER_REFUSED,
             {std::u16string(serverName), why, found, decimalText(count), decimalText(kQuickEndReportEvery)});
    }
  });
}

void reportMalformedSigners(const std::vector<std::u16string>& entries) {
  guarded([&] {
    if (entries == state.lastMalformedSigners) {
      return;
    }
    state.lastMalformedSigners = entries;
    std::u16string lines;
    for (const std::u16string& entry : entries) {
      lines += (lines.empty() ? u"" : u"\n") + entry;
    }
    report(platform::kEventlogErrorType, EVENT_SIGNER_ENTRY_MALFORMED, {lines});
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
