// Events and waits on the virtual clock. A wait runs the process's queued pool work,
// delivers the controls that are due, checks its objects, and otherwise moves the clock
// to the next thing that can happen: a scheduled control, a console switch, a process end
// or its own deadline.

#include <algorithm>
#include <atomic>
#include <thread>

#include "platform/sim/sim_machine.h"
#include "platform/sync.h"

namespace halcyra::sim::detail {

namespace {

inline constexpr Dword kMaximumWaitObjects = 64;
inline constexpr Dword kSynchronize = 0x100000;

// Whether the object is signalled now; nullopt when it cannot be waited on.
std::optional<bool> signalled(HandleEntry const& entry) {
  switch (entry.kind) {
    case Kind::event:
      return machine().events.at(entry.object).signalled;
    case Kind::process:
    case Kind::thread:
      return findProcessState(static_cast<Dword>(entry.object))->ended;
    default:
      return std::nullopt;
  }
}

// A successful wait resets the auto-reset events it returns.
void consume(HandleEntry const& entry) {
  if (entry.kind == Kind::event) {
    EventState& event = machine().events.at(entry.object);
    if (!event.manualReset) {
      event.signalled = false;
    }
  }
}

// The log entry of a wait: its arguments as text and as a typed record.
Call waitCall(std::string_view name, Dword count, const Handle* handles, Bool waitAll, Dword milliseconds);

std::string waitArgs(Dword count, const Handle* handles, Bool waitAll, Dword milliseconds) {
  std::string args = "handles=";
  for (Dword i = 0; handles != nullptr && i < count && i < kMaximumWaitObjects; ++i) {
    args += (i == 0 ? "" : ",") + handleText(handles[i]);
  }
  args += " all=" + std::to_string(waitAll) +
          " ms=" + (milliseconds == platform::kInfinite ? std::string("INFINITE") : std::to_string(milliseconds));
  return args;
}

Call waitCall(std::string_view name, Dword count, const Handle* handles, Bool waitAll, Dword milliseconds) {
  Call call;
  call.name = name;
  call.args = waitArgs(count, handles, waitAll, milliseconds);
  WaitRecord record;
  if (handles != nullptr) {
    record.handles.assign(handles, handles + std::min(count, kMaximumWaitObjects));
  }
  record.waitAll = waitAll != platform::kFalse;
  record.milliseconds = milliseconds;
  call.wait = std::move(record);
  return call;
}

// The pool's threads run while the process waits: its queued work runs first, in order,
// including work that the work itself queues.
void runQueuedWork() {
  Machine& m = machine();
  for (;;) {
    auto const item = std::find_if(m.workItems.begin(), m.workItems.end(),
                                   [&m](Machine::WorkItem const& work) { return work.process == m.current; });
    if (item == m.workItems.end()) {
      return;
    }
    Machine::WorkItem const work = *item;
    m.workItems.erase(item);
    work.function(work.context);
  }
}

Dword wait(Dword count, const Handle* handles, Bool waitAll, Dword milliseconds) {
  if (count == 0 || count > kMaximumWaitObjects || handles == nullptr) {
    setLastError(platform::kErrorInvalidParameter);
    return platform::kWaitFailed;
  }
  Machine& m = machine();
  std::optional<std::uint64_t> const deadline =
      milliseconds == platform::kInfinite ? std::nullopt : std::optional<std::uint64_t>(m.clock + milliseconds);
  for (;;) {
    applyDueState();
    runQueuedWork();
    deliverDueControls();
    // Looked up every round: a control handler may have closed one of them.
    std::vector<HandleEntry> entries;
    for (Dword i = 0; i < count; ++i) {
      HandleEntry const* const entry = lookupHandle(handles[i]);
      // The seam opens tokens without SYNCHRONIZE, the access a wait needs.
      if (entry != nullptr && entry->kind == Kind::token && (entry->access & kSynchronize) == 0) {
        setLastError(platform::kErrorAccessDenied);
        return platform::kWaitFailed;
      }
      if (entry == nullptr || !signalled(*entry)) {
        setLastError(platform::kErrorInvalidHandle);
        return platform::kWaitFailed;
      }
      entries.push_back(*entry);
    }
    if (waitAll != platform::kFalse) {
      if (std::all_of(entries.begin(), entries.end(), [](HandleEntry const& e) { return *signalled(e); })) {
        std::for_each(entries.begin(), entries.end(), consume);
        return platform::kWaitObject0;
      }
    } else {
      for (Dword i = 0; i < count; ++i) {
        if (*signalled(entries[i])) {
          consume(entries[i]);
          return platform::kWaitObject0 + i;
        }
      }
    }
    if (deadline && m.clock >= *deadline) {
      return platform::kWaitTimeout;
    }
    std::optional<std::uint64_t> next = nextEventTime();
    if (deadline && (!next || *next > *deadline)) {
      next = deadline;
    }
    if (!next) {
      throw Deadlock("sim: an INFINITE wait at " + std::to_string(m.clock) + " ms that nothing can end (" +
                     waitArgs(count, handles, waitAll, milliseconds) + ")");
    }
    m.clock = std::max(m.clock, *next);
  }
}

}  // namespace

std::optional<std::uint64_t> nextEventTime() {
  Machine& m = machine();
  std::optional<std::uint64_t> next;
  auto consider = [&next](std::uint64_t time) {
    if (!next || time < *next) {
      next = time;
    }
  };
  for (auto const& [id, process] : m.processes) {
    if (!process.ended && process.pendingEnd) {
      consider(process.pendingEnd->time);
    }
  }
  for (TimedControl const& control : m.controls) {
    consider(control.time);
  }
  for (ConsoleSwitch const& change : m.consoleSwitches) {
    consider(change.time);
  }
  return next;
}

void deliverDueControls() {
  Machine& m = machine();
  for (;;) {
    auto const due = std::min_element(m.controls.begin(), m.controls.end(), [](auto const& a, auto const& b) {
      return std::pair(a.time, a.sequence) < std::pair(b.time, b.sequence);
    });
    if (due == m.controls.end() || due->time > m.clock) {
      return;
    }
    TimedControl const control = *due;
    m.controls.erase(due);
    deliverControlNow(control.control, control.eventType);
  }
}

}  // namespace halcyra::sim::detail

namespace halcyra::platform {

using namespace sim::detail;

Handle CreateEventA(SecurityAttributes* attributes, Bool manualReset, Bool initialState, const char* name) {
  bool const inheritable = attributes != nullptr && attributes->bInheritHandle != kFalse;
  if (enterFails("CreateEventA", "manual=" + std::to_string(manualReset) + " initial=" + std::to_string(initialState) +
                                     " name=" + text(name) + " inherit=" + (inheritable ? "1" : "0"))) {
    return nullptr;
  }
  Machine& m = machine();
  std::uint64_t const object = m.nextObject++;
  m.events[object] = EventState{manualReset != kFalse, initialState != kFalse};
  setLastError(kErrorSuccess);
  return addHandle(Kind::event, object, inheritable);
}

Bool SetEvent(Handle event) {
  if (enterFails("SetEvent", handleText(event))) {
    return kFalse;
  }
  HandleEntry const* const entry = lookupHandle(event, Kind::event);
  if (entry == nullptr) {
    setLastError(kErrorInvalidHandle);
    return kFalse;
  }
  machine().events.at(entry->object).signalled = true;
  return kTrue;
}

Dword WaitForSingleObject(Handle object, Dword milliseconds) {
  if (enterFails(waitCall("WaitForSingleObject", 1, &object, kFalse, milliseconds))) {
    return kWaitFailed;
  }
  return wait(1, &object, kFalse, milliseconds);
}

Dword WaitForMultipleObjects(Dword count, const Handle* handles, Bool waitAll, Dword milliseconds) {
  if (enterFails(waitCall("WaitForMultipleObjects", count, handles, waitAll, milliseconds))) {
    return kWaitFailed;
  }
  return wait(count, handles, waitAll, milliseconds);
}

Bool QueueUserWorkItem(WorkCallback function, void* context, Dword flags) {
  if (enterFails("QueueUserWorkItem", "flags=" + std::to_string(flags))) {
    return kFalse;
  }
  Machine& m = machine();
  m.workItems.push_back({m.current, function, context});
  return kTrue;
}

void SwitchToThread() { std::this_thread::yield(); }

// The simulated lock is taken by spinning: the simulation's threads hold it only briefly.
void ExclusiveLock::lock() noexcept {
  std::atomic_ref<void*> const taken(state_);
  void* expected = nullptr;
  while (!taken.compare_exchange_weak(expected, this, std::memory_order_acquire)) {
    expected = nullptr;
    std::this_thread::yield();
  }
}

void ExclusiveLock::unlock() noexcept { std::atomic_ref<void*>(state_).store(nullptr, std::memory_order_release); }

}  // namespace halcyra::platform
