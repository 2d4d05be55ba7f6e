#include "service/service_events.h"

#include <cstdio>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "platform/clock.h"
#include "platform/event_log.h"
#include "platform/files.h"
#include "platform/security.h"
#include "platform/sync.h"
#include "platform/text_mode.h"
#include "service/event_messages.h"
#include "service/graceful_stop.h"
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

// While no source is registered, registration is tried again at most this often.
constexpr std::uint64_t kRegistrationRetryMs = 60000;
// How long the final report waits for the events before it to be written.
constexpr Dword kCloseWaitMs = 2000;
// Events waiting to be written beyond this are dropped: the event log is not answering.
constexpr std::size_t kMaxPendingEvents = 256;
// ReportEventW takes no insertion string longer than this (in UTF-16 units).
constexpr std::size_t kMaxInsertLength = 31839;
// The most insertion strings an event of this service has.
constexpr std::size_t kMaxInserts = 6;

// An event with its insertion strings, each ended by a null, one after the other in one
// buffer.
struct PendingEvent {
  Dword eventId = 0;
  Word type = 0;
  Word count = 0;
  std::uint32_t starts[kMaxInserts] = {};  // of each insertion string in `inserts`
  std::u16string inserts;
};

// The event log's calls are synchronous and may take long, so they run on a pool thread:
// the service thread only queues events, and no launch, watch or status report waits for
// the log. The queue is written out in order by one write-out at a time, which owns the
// source from openEventSource on.
struct EventWriter {
  platform::ExclusiveLock lock;
  // The events waiting to be written, oldest first: `waiting` of them from `first` on,
  // round the ring.
  PendingEvent queue[kMaxPendingEvents];
  std::size_t first = 0;
  std::size_t waiting = 0;
  bool scheduled = false;           // a write-out is queued or running
  bool closing = false;             // the write-out deregisters the source once the queue is empty
  platform::Handle idle = nullptr;  // signalled by the write-out that ends after closing
  platform::Handle source = nullptr;
  std::uint64_t lastRegistration = 0;
};

EventWriter writer;

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
    const char16_t* strings[kMaxInserts];
    for (Word i = 0; i < event.count; ++i) {
      strings[i] = event.inserts.c_str() + event.starts[i];
    }
    static_cast<void>(
        platform::ReportEventW(writer.source, event.type, 0, event.eventId, nullptr, event.count, 0, strings, nullptr));
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
      if (writer.waiting == 0) {
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
      event = std::move(writer.queue[writer.first]);
      writer.first = (writer.first + 1) % kMaxPendingEvents;
      --writer.waiting;
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

// One event on its way to the queue. Its insertion strings are added in order: add() starts
// the next one and more() adds to it; bytes (ASCII texts such as a check's reason) count as
// one character each. Each string is cut to what the event log takes, and queue() hands the
// event to the write-out. Reporting must not take the service down: an error raised while
// adding (no memory for the text) loses the event, which queue() then drops.
class Event {
 public:
  Event(Word type, Dword eventId) noexcept {
    event_.type = type;
    event_.eventId = eventId;
  }

  Event& add(std::u16string_view text) noexcept { return next().more(text); }
  Event& add(std::string_view bytes) noexcept { return next().more(bytes); }

  Event& more(std::u16string_view text) noexcept {
    try {
      event_.inserts += text;
    } catch (...) {
      lost_ = true;
    }
    return *this;
  }

  Event& more(std::string_view bytes) noexcept {
    try {
      event_.inserts += platform::widenBytes(bytes);
    } catch (...) {
      lost_ = true;
    }
    return *this;
  }

  Event& number(std::uint64_t value) noexcept {
    char digits[24];
    std::snprintf(digits, sizeof digits, "%llu", static_cast<unsigned long long>(value));
    return add(std::string_view(digits));
  }

  // Large codes are mostly NTSTATUS values (0xC0000005 ...), which are known in hex.
  Event& exitCode(const std::optional<Dword>& exitCode) noexcept {
    if (!exitCode) {
      return add(u"unknown");
    }
    if (*exitCode <= 0xFFFF) {
      return number(*exitCode);
    }
    char digits[32];
    std::snprintf(digits, sizeof digits, "%u (0x%08X)", static_cast<unsigned>(*exitCode),
                  static_cast<unsigned>(*exitCode));
    return add(std::string_view(digits));
  }

  // Tenths of a second, e.g. "2.5".
  Event& seconds(std::uint64_t milliseconds) noexcept {
    char digits[32];
    std::snprintf(digits, sizeof digits, "%llu.%u", static_cast<unsigned long long>(milliseconds / 1000),
                  static_cast<unsigned>(milliseconds / 100 % 10));
    return add(std::string_view(digits));
  }

  Event& version(const VersionNumber& version) noexcept {
    try {
      return add(formatVersionNumber(version));
    } catch (...) {
      lost_ = true;
      return *this;
    }
  }

  // The insertion strings so far, each ended by a null: what tells one event of a kind from
  // another.
  std::u16string_view inserts() noexcept {
    end();
    return event_.inserts;
  }

  void queue() noexcept {
    end();
    if (lost_) {
      return;
    }
    bool alreadyScheduled = false;
    {
      const std::lock_guard guard(writer.lock);
      if (writer.waiting == kMaxPendingEvents) {
        return;
      }
      writer.queue[(writer.first + writer.waiting++) % kMaxPendingEvents] = std::move(event_);
      alreadyScheduled = std::exchange(writer.scheduled, true);
    }
    scheduleWriteOut(alreadyScheduled);
  }

 private:
  // Ends the insertion string being made, if any, and starts the next.
  Event& next() noexcept {
    end();
    if (event_.count == kMaxInserts) {
      lost_ = true;
    } else {
      event_.starts[event_.count++] = static_cast<std::uint32_t>(event_.inserts.size());
      open_ = true;
    }
    return *this;
  }

  // Ends the insertion string being made: cut to what the event log takes, never in the
  // middle of a surrogate pair, and ended by a null.
  void end() noexcept {
    if (!open_) {
      return;
    }
    open_ = false;
    std::u16string& inserts = event_.inserts;
    std::size_t const length = inserts.size() - event_.starts[event_.count - 1];
    if (length > kMaxInsertLength) {
      const char16_t last = inserts[event_.starts[event_.count - 1] + kMaxInsertLength - 1];
      inserts.erase(inserts.size() - length + kMaxInsertLength - (last >= 0xD800 && last <= 0xDBFF ? 1 : 0));
    }
    more(std::u16string_view(u"\0", 1));
  }

  PendingEvent event_;
  bool open_ = false;  // an insertion string is being made
  bool lost_ = false;
};

struct RunningChild {
  bool running = false;
  std::u16string program;
  Dword processId = 0;
};

// The program that keeps ending quickly, with the exit code of its last end and how many
// quick ends with that code came in a row; none while the count is 0.
struct QuickEnds {
  std::u16string program;
  std::optional<Dword> exitCode;
  unsigned count = 0;
};

struct ReportingState {
  RunningChild child;
  QuickEnds quickEnds;
  // Each remembered failure or refusal, empty for none.
  std::u16string lastCheckFailure;
  std::u16string lastLaunchFailure;
  std::u16string lastUpdaterRefusal;
  std::u16string lastOpenUpdaterPath;
  // The server's refusal that keeps repeating, and how many passes in a row met it.
  std::u16string serverRefusal;
  unsigned serverRefusals = 0;
  std::u16string lastMalformedSigners;
  bool jobListUnavailableReported = false;
  bool libraryFailureReported = false;
};

ReportingState state;

// Keeps a copy of `text` in `kept`; without the memory for it, `kept` is left empty and the
// answer is false.
bool remember(std::u16string& kept, std::u16string_view text) noexcept {
  kept.clear();
  try {
    kept += text;
    return true;
  } catch (...) {
    return false;
  }
}

// Whether `now` differs from `last`, which it then replaces: the events that are written
// only when they differ from the previous one. Without the memory to keep `now`, the
// event is lost.
bool changed(std::u16string& last, std::u16string_view now) noexcept { return last != now && remember(last, now); }

// The end of a child that ended by itself: folded while it keeps ending quickly.
void childExited(RunningChild& child, const PassOutcome& outcome) {
  const std::optional<Dword>& exitCode = outcome.end.exitCode;
  const bool quick = outcome.quick;
  QuickEnds& quickEnds = state.quickEnds;
  if (quick && quickEnds.count != 0 && quickEnds.program == child.program && quickEnds.exitCode == exitCode) {
    const unsigned count = ++quickEnds.count;
    if (count % kQuickEndReportEvery == 0) {
      Event(platform::kEventlogWarningType, EVENT_CHILD_QUICK_ENDS)
          .add(child.program)
          .number(kQuickEndMs / 1000)
          .number(count)
          .number(child.processId)
          .exitCode(exitCode)
          .number(kQuickEndReportEvery)
          .queue();
    }
    return;
  }
  const Word type = exitCode == Dword{0} ? platform::kEventlogInformationType : platform::kEventlogWarningType;
  Event(type, EVENT_CHILD_EXITED)
      .add(child.program)
      .number(child.processId)
      .exitCode(exitCode)
      .seconds(outcome.ranMs)
      .queue();
  quickEnds.count = quick && remember(quickEnds.program, child.program) ? 1 : 0;
  quickEnds.exitCode = exitCode;
}

void childStarted(std::u16string_view program, Dword processId, Event& event) {
  state.lastLaunchFailure.clear();
  state.serverRefusals = 0;
  const bool folded = state.quickEnds.count != 0 && state.quickEnds.program == program;
  // Without the memory to keep its program, its end goes unreported.
  state.child.running = remember(state.child.program, program);
  state.child.processId = processId;
  if (!folded) {
    event.queue();
  }
}

// The signer check's verdict on a program: why it was refused and the thumbprint found.
void addRefusal(Event& event, const std::string& reason, const std::string& thumbprint) {
  if (reason.empty()) {
    event.add(u"the check could not be completed");
  } else {
    event.add(reason);
  }
  if (thumbprint.empty()) {
    event.add(u"none");
  } else {
    event.add(thumbprint);
  }
}

}  // namespace

void openEventSource() {
  try {
    // What earlier runs reported is forgotten: a fresh state in place of the old one.
    std::destroy_at(&state);
    std::construct_at(&state);
    const std::lock_guard guard(writer.lock);
    writer.first = 0;
    writer.waiting = 0;
    writer.scheduled = false;
    writer.closing = false;
    writer.idle = nullptr;
    writer.lastRegistration = platform::GetTickCount64();
    writer.source = platform::RegisterEventSourceW(nullptr, kEventSourceName);
  } catch (...) {
    // Without a source the events are lost until registration is tried again.
  }
}

void closeEventSource() {
  try {
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
  } catch (...) {
    // The events may come after the final status report.
  }
}

void writeEventsBeforeExit() {
  // Registration is the only write to the source outside the lock; with a source
  // registered, a write-out on a pool thread at the same time only reads it.
  writeOut(nullptr);
}

void reportServiceStarted() { Event(platform::kEventlogInformationType, EVENT_SERVICE_STARTED).queue(); }

void reportServiceStopped() { Event(platform::kEventlogInformationType, EVENT_SERVICE_STOPPED).queue(); }

void reportServiceStartFailure(Dword error) {
  Event(platform::kEventlogErrorType, EVENT_START_FAILED).number(error).queue();
}

void reportLogFallback(std::u16string_view logPath, Dword error, std::u16string_view fallback) {
  Event(platform::kEventlogWarningType, EVENT_LOG_FALLBACK)
      .add(logPath)
      .number(error)
      .add(fallback == u"NUL" ? u"NUL, which discards it" : fallback)
      .queue();
}

void reportLogRotationBlocked(std::u16string_view logPath, std::u16string_view generationPath, Dword error) {
  Event(platform::kEventlogWarningType, EVENT_LOG_ROTATION_BLOCKED)
      .add(logPath)
      .add(generationPath)
      .number(error)
      .queue();
}

void reportUpdateCheck(const UpdaterSettings& settings, bool completed, const UpdateCheckDetail& detail) {
  if (completed && !settings.hasError) {
    state.lastCheckFailure.clear();
    return;
  }
  const std::string_view text = completed ? std::string_view(settings.lastError) : kCheckRaisedAnError;
  const TransferResult* const transfer =
      completed && detail.transfer && detail.transfer->curlCode >= 0 ? &*detail.transfer : nullptr;
  const long responseCode = transfer != nullptr && transfer->responseCode > 0 ? transfer->responseCode : 0;
  // A failure is told from the previous one by its text and its transfer's result: libcurl's
  // message can name a time that differs on every pass; its code does not.
  Event failure(0, 0);
  failure.add(text)
      .number(static_cast<Dword>(transfer != nullptr ? transfer->curlCode : -1))
      .number(static_cast<Dword>(responseCode));
  if (!changed(state.lastCheckFailure, failure.inserts())) {
    return;
  }
  Event event(platform::kEventlogWarningType, EVENT_UPDATE_CHECK_FAILED);
  event.add(text);
  if (transfer == nullptr) {
    event.add(u"no transfer was made");
  } else if (transfer->curlCode == 0) {
    event.add(u"0 (the transfer completed)");
  } else {
    char code[32];
    std::snprintf(code, sizeof code, "error %d (", transfer->curlCode);
    event.add(std::string_view(code)).more(transfer->curlMessage).more(u")");
  }
  if (responseCode > 0) {
    event.number(static_cast<Dword>(responseCode));
  } else {
    event.add(u"none");
  }
  event.queue();
}

void reportServerStarted(std::u16string_view serverName, Dword processId, Dword sessionId) {
  Event event(platform::kEventlogInformationType, EVENT_SERVER_STARTED);
  event.add(serverName).number(processId).number(sessionId);
  childStarted(serverName, processId, event);
}

void reportUpdaterStarted(const UpdaterSettings& settings, Dword processId, Dword sessionId) {
  state.lastUpdaterRefusal.clear();
  Event event(platform::kEventlogInformationType, EVENT_UPDATER_STARTED);
  event.add(settings.updaterPath)
      .number(processId)
      .number(sessionId)
      .version(settings.remoteVersion)
      .version(settings.localVersion);
  childStarted(settings.updaterPath, processId, event);
}

void reportChildEnded(const PassOutcome& outcome) {
  const ChildEnd& end = outcome.end;
  RunningChild& child = state.child;
  if (!child.running) {
    return;
  }
  child.running = false;
  if (end.kind == ChildEndKind::exited) {
    childExited(child, outcome);
    return;
  }
  // The service ended it: whatever loop there was is over.
  state.quickEnds.count = 0;
  const bool stopped = end.kind == ChildEndKind::stoppedByCtrlC;
  const bool afterGrace = end.kind == ChildEndKind::terminatedAfterGrace;
  Event event(stopped ? platform::kEventlogInformationType : platform::kEventlogWarningType,
              stopped      ? EVENT_CHILD_STOPPED
              : afterGrace ? EVENT_CHILD_TERMINATED
                           : EVENT_CHILD_TERMINATED_UNASKED);
  event.add(child.program).number(child.processId);
  if (stopped) {
    event.exitCode(end.exitCode);
  } else {
    if (afterGrace) {
      event.number(kStopGraceMs / 1000);
    }
    event.number(kTerminationExitCode);
  }
  event.queue();
}

void reportUpdateSetAside(const VersionNumber& announced, const VersionNumber& installed, unsigned runs,
                          std::uint64_t retryInMs) {
  // Whole minutes, rounded up: "in 0 minutes" would read as now.
  Event(platform::kEventlogWarningType, EVENT_UPDATE_SET_ASIDE)
      .version(announced)
      .version(installed)
      .number(runs)
      .number((retryInMs + 59999) / 60000)
      .queue();
}

void reportJobListUnavailable(Dword error) {
  if (!std::exchange(state.jobListUnavailableReported, true)) {
    Event(platform::kEventlogErrorType, EVENT_JOB_LIST_UNAVAILABLE).number(error).queue();
  }
}

void reportLibraryFailure() {
  const platform::LibraryFailure failure = platform::firstLibraryFailure();
  if (failure.dll != nullptr && !std::exchange(state.libraryFailureReported, true)) {
    Event(platform::kEventlogErrorType, EVENT_SYSTEM_DLL_UNAVAILABLE)
        .add(std::string_view(failure.dll))
        .number(failure.error)
        .queue();
  }
}

void reportTrustBoundaryOpen(const std::u16string& objects, bool updaterRefused) {
  Event event(platform::kEventlogWarningType, EVENT_TRUST_BOUNDARY_OPEN);
  event.add(objects).add(updaterRefused
                             ? u"The updater is not started while its path is open: the server is started instead."
                             : u"The service goes on running.");
  if (!updaterRefused || changed(state.lastOpenUpdaterPath, event.inserts())) {
    event.queue();
  }
}

void reportUpdaterPathOpen(const std::string& objects) {
  try {
    auto const length = static_cast<int>(objects.size());
    int const needed = platform::MultiByteToWideChar(platform::kCpUtf8, 0, objects.data(), length, nullptr, 0);
    std::u16string wide(static_cast<std::size_t>(needed > 0 ? needed : 0), u'\0');
    if (needed > 0) {
      platform::MultiByteToWideChar(platform::kCpUtf8, 0, objects.data(), length, wide.data(), needed);
    }
    reportTrustBoundaryOpen(wide, true);
  } catch (...) {
    // The event is lost.
  }
}

void reportUpdaterRefused(std::u16string_view updaterPath, const std::string& reason, const std::string& thumbprint) {
  Event event(platform::kEventlogErrorType, EVENT_UPDATER_REFUSED);
  addRefusal(event.add(updaterPath), reason, thumbprint);
  if (changed(state.lastUpdaterRefusal, event.inserts())) {
    event.queue();
  }
}

void reportServerRefused(std::u16string_view serverName, const std::string& reason, const std::string& thumbprint) {
  Event event(platform::kEventlogErrorType, EVENT_SERVER_REFUSED);
  addRefusal(event.add(serverName), reason, thumbprint);
  if (changed(state.serverRefusal, event.inserts())) {
    state.serverRefusals = 0;
  }
  const unsigned count = ++state.serverRefusals;
  if (count == 1 || count % kQuickEndReportEvery == 0) {
    event.number(count).number(kQuickEndReportEvery).queue();
  }
}

void reportMalformedSigners(const std::vector<std::u16string>& entries) {
  Event event(platform::kEventlogErrorType, EVENT_SIGNER_ENTRY_MALFORMED);
  event.add(u"");
  bool empty = true;
  for (const std::u16string& entry : entries) {
    if (!empty) {
      event.more(u"\n");
    }
    event.more(entry);
    empty = empty && entry.empty();
  }
  if (changed(state.lastMalformedSigners, event.inserts())) {
    event.queue();
  }
}

void reportLaunchFailure(std::u16string_view program, Dword error) {
  Event event(platform::kEventlogErrorType, EVENT_CHILD_LAUNCH_FAILED);
  event.add(program).number(error);
  if (changed(state.lastLaunchFailure, event.inserts())) {
    event.queue();
  }
}

}  // namespace halcyra
