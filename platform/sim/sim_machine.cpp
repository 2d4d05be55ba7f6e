// The machine itself: reset, clock, handle table, call log, fault injection, last error
// and the end of processes.

#include "platform/sim/sim_machine.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>

#include "platform/processes.h"
#include "platform/types.h"

namespace halcyra::sim {

namespace detail {

namespace {

Machine& freshMachine() {
  static Machine instance;
  return instance;
}

void installDefaults(Machine& m) {
  ProcessState service;
  service.image = u"C:\\Halcyra\\bin\\HalcyraService.exe";
  service.cwd = u"C:\\Windows\\System32";
  service.sessionId = 0;
  service.tcb = true;
  m.processes[kServiceProcessId] = service;
  m.modulePath = service.image;
  m.tempPath = u"C:\\Temp\\";
  ensureDirectory(u"C:\\Windows\\System32");
  ensureDirectory(u"C:\\Temp");
  addFile(m.modulePath, {});
}

}  // namespace

Machine& machine() {
  Machine& m = freshMachine();
  if (!m.installed) {
    m.installed = true;
    installDefaults(m);
  }
  return m;
}

ProcessState& currentProcess() { return machine().processes.at(machine().current); }

ProcessState* findProcessState(Dword id) {
  auto& processes = machine().processes;
  auto const it = processes.find(id);
  return it == processes.end() ? nullptr : &it->second;
}

ProcessRecord* recordOf(Dword id) {
  ProcessState* const state = findProcessState(id);
  if (state == nullptr || !state->record) {
    return nullptr;
  }
  return &machine().records[*state->record];
}

void setLastError(Dword error) { currentProcess().lastError = error; }

bool enterFails(std::string_view name, std::string args) {
  Call call;
  call.name = name;
  call.args = std::move(args);
  return enterFails(std::move(call));
}

bool enterFails(Call entry) {
  Machine& m = machine();
  std::string const name = entry.name;  // entry moves into the log below
  applyDueState();

  // Controls that arrive while the service thread is busy in this call: the handler runs
  // before the call, so its own calls come first in the log. During a status report it
  // runs once the report is recorded (the SCM has seen it, the service thread is still in
  // it); inside the handler they wait for the next wait point instead.
  bool const duringReport = name == "SetServiceStatus" && !m.inHandler;
  bool const handlerCanRunNow = name != "SetServiceStatus" && !m.inHandler;
  std::vector<CallControl> due;
  for (auto it = m.callControls.begin(); it != m.callControls.end();) {
    if (it->operation == name && --it->remaining == 0) {
      due.push_back(*it);
      it = m.callControls.erase(it);
    } else {
      ++it;
    }
  }
  for (CallControl const& control : due) {
    if (handlerCanRunNow) {
      deliverControlNow(control.control, control.eventType);
    } else if (duringReport) {
      m.controlsDuringReport.push_back(control);
    } else {
      m.controls.push_back(TimedControl{m.clock, m.nextControlSequence++, control.control, control.eventType, true});
    }
  }
  entry.time = m.clock;
  entry.processId = m.current;
  m.calls.push_back(std::move(entry));
  // A copy: the observer may log calls of its own or forget the history.
  Call const call = m.calls.back();
  if (m.callObserver) {
    m.callObserver(call);
  }

  std::optional<Dword> error;
  for (Fault& fault : m.faults) {
    if (fault.operation != name) {
      continue;
    }
    ++fault.seen;
    if (fault.seen == fault.nth || (fault.repeat && fault.seen > fault.nth)) {
      error = error.value_or(fault.error);
    }
  }
  m.lastFaultRandom = false;
  if (!error) {
    error = drawRandomFault(call);
    m.lastFaultRandom = error.has_value();
  }
  if (error) {
    setLastError(*error);
  }
  return error.has_value();
}

Handle addHandle(Kind kind, std::uint64_t object, bool inheritable, Dword access) {
  Machine& m = machine();
  std::uintptr_t const key = m.nextHandle;
  m.nextHandle += 4;
  m.handles[key] = HandleEntry{kind, object, m.current, inheritable, access};
  if (kind == Kind::job) {
    ++m.jobs.at(object).handles;
  }
  return reinterpret_cast<Handle>(key);
}

HandleEntry* lookupHandle(Handle handle) {
  Machine& m = machine();
  auto const it = m.handles.find(reinterpret_cast<std::uintptr_t>(handle));
  if (it == m.handles.end() || it->second.owner != m.current) {
    return nullptr;
  }
  return &it->second;
}

HandleEntry* lookupHandle(Handle handle, Kind kind) {
  HandleEntry* const entry = lookupHandle(handle);
  return entry != nullptr && entry->kind == kind ? entry : nullptr;
}

void closeHandleEntry(std::uintptr_t key) {
  Machine& m = machine();
  auto const it = m.handles.find(key);
  if (it == m.handles.end()) {
    return;
  }
  HandleEntry const entry = it->second;
  m.handles.erase(it);
  switch (entry.kind) {
    case Kind::file: {
      OpenFileState const open = m.files.at(entry.object);
      m.files.erase(entry.object);
      fileHandleClosing(open);
      break;
    }
    case Kind::job: {
      JobState& job = m.jobs.at(entry.object);
      if (--job.handles == 0) {
        if ((job.limitFlags & platform::kJobObjectLimitKillOnJobClose) != 0) {
          killJobMembers(entry.object);
        }
        m.jobs.erase(entry.object);  // nothing can reach a job without a handle
      }
      break;
    }
    // Each event and token has one handle (the seam has no DuplicateHandle); it goes with it.
    case Kind::event:
      m.events.erase(entry.object);
      break;
    case Kind::token:
      m.tokens.erase(entry.object);
      break;
    default:
      break;  // processes outlive their handles: their records are read afterwards
  }
}

void killJobMembers(std::uint64_t job) {
  for (auto& [id, process] : machine().processes) {
    if (!process.ended && process.job == job) {
      endProcess(id, 0);
    }
  }
}

void endProcess(Dword id, Dword exitCode) {
  Machine& m = machine();
  ProcessState* const process = findProcessState(id);
  if (process == nullptr || process->ended) {
    return;
  }
  process->ended = true;
  process->pendingEnd.reset();
  process->console = 0;
  if (ProcessRecord* const record = recordOf(id)) {
    record->endTime = m.clock;
    record->exitCode = exitCode;
  }
  // The handles of an ended process close; closing may end job members in turn.
  std::vector<std::uintptr_t> owned;
  for (auto const& [key, entry] : m.handles) {
    if (entry.owner == id) {
      owned.push_back(key);
    }
  }
  for (std::uintptr_t const key : owned) {
    closeHandleEntry(key);
  }
}

void applyDueState() {
  Machine& m = machine();
  for (;;) {
    std::optional<std::pair<std::uint64_t, Dword>> first;  // (time, pid) of the earliest due end
    for (auto const& [id, process] : m.processes) {
      if (!process.ended && process.pendingEnd && process.pendingEnd->time <= m.clock) {
        std::pair<std::uint64_t, Dword> const candidate{process.pendingEnd->time, id};
        if (!first || candidate < *first) {
          first = candidate;
        }
      }
    }
    if (!first) {
      break;
    }
    endProcess(first->second, m.processes.at(first->second).pendingEnd->exitCode);
  }
  std::stable_sort(m.consoleSwitches.begin(), m.consoleSwitches.end(),
                   [](ConsoleSwitch const& a, ConsoleSwitch const& b) { return a.time < b.time; });
  while (!m.consoleSwitches.empty() && m.consoleSwitches.front().time <= m.clock) {
    ConsoleSwitch const change = m.consoleSwitches.front();
    m.consoleSwitches.erase(m.consoleSwitches.begin());
    m.consoleSession = change.sessionId;
    m.controls.push_back(TimedControl{change.time, m.nextControlSequence++, platform::kServiceControlSessionChange,
                                      platform::kWtsConsoleConnect});
  }
}

std::string utf8(std::u16string_view text) {
  std::string out;
  for (std::size_t i = 0; i < text.size(); ++i) {
    std::uint32_t c = text[i];
    if (c >= 0xD800 && c < 0xDC00 && i + 1 < text.size() && text[i + 1] >= 0xDC00 && text[i + 1] < 0xE000) {
      c = 0x10000 + ((c - 0xD800) << 10) + (text[++i] - 0xDC00u);
    }
    if (c < 0x80) {
      out.push_back(static_cast<char>(c));
    } else if (c < 0x800) {
      out.push_back(static_cast<char>(0xC0 | (c >> 6)));
      out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
    } else if (c < 0x10000) {
      out.push_back(static_cast<char>(0xE0 | (c >> 12)));
      out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
      out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
    } else {
      out.push_back(static_cast<char>(0xF0 | (c >> 18)));
      out.push_back(static_cast<char>(0x80 | ((c >> 12) & 0x3F)));
      out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
      out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
    }
  }
  return out;
}

std::string text(const char16_t* value) { return value == nullptr ? "<null>" : utf8(value); }
std::string text(const char* value) { return value == nullptr ? "<null>" : std::string(value); }

std::string hex(std::uint64_t value) {
  char buffer[24];
  std::snprintf(buffer, sizeof buffer, "0x%llx", static_cast<unsigned long long>(value));
  return buffer;
}

std::string handleText(Handle handle) { return hex(reinterpret_cast<std::uintptr_t>(handle)); }

}  // namespace detail

using namespace detail;

void reset() {
  Machine& m = machine();
  for (void* block : m.heapBlocks) {
    std::free(block);
  }
  for (std::u16string* descriptor : m.securityDescriptors) {
    delete descriptor;
  }
  m = Machine{};
  m.installed = true;
  installDefaults(m);
}

std::uint64_t now() { return machine().clock; }

std::size_t liveHandles() { return machine().handles.size(); }

const std::vector<Call>& calls() { return machine().calls; }

std::vector<Call> callsNamed(std::string_view name) {
  std::vector<Call> named;
  for (Call const& call : machine().calls) {
    if (call.name == name) {
      named.push_back(call);
    }
  }
  return named;
}

void logCall(std::string name, std::string args) {
  Machine& m = machine();
  Call call;
  call.name = std::move(name);
  call.args = std::move(args);
  call.time = m.clock;
  call.processId = m.current;
  m.calls.push_back(std::move(call));
}

void failCall(std::string_view operation, int nth, Dword error, bool repeat) {
  machine().faults.push_back(Fault{std::string(operation), nth, 0, error, repeat});
}

void setCallObserver(std::function<void(const Call&)> observer) { machine().callObserver = std::move(observer); }

void forgetHistory() {
  Machine& m = machine();
  m.calls.clear();
  m.statusReports.clear();
  m.reportedEvents.clear();
  std::set<Dword> referenced;
  for (auto const& [key, entry] : m.handles) {
    if (entry.kind == Kind::process || entry.kind == Kind::thread) {
      referenced.insert(static_cast<Dword>(entry.object));
    }
  }
  std::vector<ProcessRecord> kept;
  for (auto it = m.processes.begin(); it != m.processes.end();) {
    ProcessState& state = it->second;
    if (state.record && state.ended && referenced.count(it->first) == 0) {
      it = m.processes.erase(it);
      continue;
    }
    if (state.record) {
      kept.push_back(std::move(m.records[*state.record]));
      state.record = kept.size() - 1;
    }
    ++it;
  }
  m.records = std::move(kept);
}

const std::vector<ProcessRecord>& processes() { return machine().records; }

const ProcessRecord* findProcess(Dword id) { return recordOf(id); }

int runProcess(const std::function<int()>& body) {
  Machine& m = machine();
  Dword const previous = m.current;
  m.current = kServiceProcessId;
  int result = 0;
  try {
    result = body();
  } catch (ProcessExit const& exit) {
    result = static_cast<int>(exit.exitCode);
  } catch (...) {
    m.current = previous;
    throw;
  }
  m.current = previous;
  return result;
}

}  // namespace halcyra::sim

namespace halcyra::platform {

using namespace sim::detail;

Dword GetLastError() { return currentProcess().lastError; }

void SetLastError(Dword error) { setLastError(error); }

Bool CloseHandle(Handle handle) {
  if (enterFails("CloseHandle", handleText(handle))) {
    return kFalse;
  }
  if (handle == kInvalidHandle) {
    return kTrue;  // the current-process pseudo handle
  }
  if (lookupHandle(handle) == nullptr) {
    setLastError(kErrorInvalidHandle);
    return kFalse;
  }
  closeHandleEntry(reinterpret_cast<std::uintptr_t>(handle));
  return kTrue;
}

}  // namespace halcyra::platform
