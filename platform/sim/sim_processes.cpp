// Process creation and the life of simulated processes.

#include <algorithm>
#include <cstring>

#include "platform/processes.h"
#include "platform/sim/sim_machine.h"

namespace halcyra::sim {

using namespace detail;

namespace {

inline constexpr Dword kCreateNewConsole = 0x10;
inline constexpr std::size_t kMaxCommandLine = 32767;  // units, terminator included

// The program name at the start of a command line: up to the closing quotation mark, or
// to the first blank when it does not begin with one.
std::u16string programNameOf(std::u16string_view line) {
  if (!line.empty() && line[0] == u'"') {
    std::size_t const end = line.find(u'"', 1);
    return std::u16string(line.substr(1, end == std::u16string_view::npos ? std::u16string_view::npos : end - 1));
  }
  return std::u16string(line.substr(0, line.find_first_of(u" \t")));
}

// The command line split like the C runtime's argv: the program name ends at the next
// quotation mark or blank without escapes; later arguments follow the backslash rules.
std::vector<std::string> splitCommandLine(std::u16string_view line) {
  std::u16string current = programNameOf(line);
  std::vector<std::string> args{utf8(current)};
  std::size_t i = current.size() + (!line.empty() && line[0] == u'"' ? 2 : 0);
  for (;;) {
    while (i < line.size() && (line[i] == u' ' || line[i] == u'\t')) {
      ++i;
    }
    if (i >= line.size()) {
      return args;
    }
    current.clear();
    bool quoted = false;
    while (i < line.size() && (quoted || (line[i] != u' ' && line[i] != u'\t'))) {
      std::size_t backslashes = 0;
      while (i < line.size() && line[i] == u'\\') {
        ++backslashes;
        ++i;
      }
      if (i < line.size() && line[i] == u'"') {
        current.append(backslashes / 2, u'\\');
        if (backslashes % 2 == 1) {
          current.push_back(u'"');
        } else if (quoted && i + 1 < line.size() && line[i + 1] == u'"') {
          current.push_back(u'"');
          ++i;
        } else {
          quoted = !quoted;
        }
        ++i;
      } else {
        current.append(backslashes, u'\\');
        if (i < line.size() && (quoted || (line[i] != u' ' && line[i] != u'\t'))) {
          current.push_back(line[i++]);
        }
      }
    }
    args.push_back(utf8(current));
  }
}

// What a creation attribute list says, read now from the pointers it stores.
struct Attributes {
  std::optional<std::vector<Handle>> handleList;
  std::optional<std::vector<Handle>> jobList;
};

std::vector<Handle> readHandles(AttributeValue const& value) {
  std::vector<Handle> handles(value.size / sizeof(Handle));
  std::memcpy(handles.data(), value.value, handles.size() * sizeof(Handle));
  return handles;
}

Dword newProcess(Dword creator, ProcessRecord record, ProcessState state) {
  Machine& m = machine();
  Dword const id = m.nextProcessId;
  m.nextProcessId += 4;
  record.id = id;
  record.startTime = m.clock;
  record.exitCode = kStillActive;
  state.record = m.records.size();
  state.creator = creator;
  m.records.push_back(std::move(record));
  m.processes[id] = std::move(state);
  return id;
}

// Runs the program's `run` as process `id`, with the machine's current process switched
// to it, and schedules its end.
void runAsProcess(Dword id, std::u16string_view commandLine) {
  Machine& m = machine();
  ProcessState& child = m.processes.at(id);
  std::vector<std::string> const args = splitCommandLine(commandLine.empty() ? child.image : commandLine);
  auto const run = child.behaviour.run;
  std::uint64_t const exitAfter = child.behaviour.exitAfter == kNever ? 0 : child.behaviour.exitAfter;
  Dword const creator = m.current;
  m.current = id;
  Dword exitCode = 0;
  try {
    exitCode = static_cast<Dword>(run(args));
  } catch (ProcessExit const& exit) {
    exitCode = exit.exitCode;
  } catch (...) {
    m.current = creator;
    throw;
  }
  m.current = creator;
  ProcessState& state = m.processes.at(id);
  std::uint64_t const end = m.records[*state.record].startTime + exitAfter;
  if (!state.ended && (!state.pendingEnd || state.pendingEnd->time > end)) {
    state.pendingEnd = PendingEnd{end, exitCode};
  }
  applyDueState();
}

}  // namespace

void installProgram(const std::u16string& path, ProgramBehaviour behaviour) {
  std::u16string const key = pathKey(path);
  if (findNode(key) == nullptr) {
    addFile(path, {});
  }
  machine().programs[key] = std::move(behaviour);
}

}  // namespace halcyra::sim

namespace halcyra::platform {

using namespace sim::detail;

Bool CreateProcessAsUserW(Handle token, const char16_t* applicationName, char16_t* commandLine,
                          SecurityAttributes* processAttributes, SecurityAttributes* threadAttributes,
                          Bool inheritHandles, Dword creationFlags, void* environment, const char16_t* currentDirectory,
                          StartupInfoW* startupInfo, ProcessInformation* processInformation) {
  // The new process and thread handles are never inheritable here, whatever the attributes say.
  (void)processAttributes;
  (void)threadAttributes;
  std::string args = "token=" + handleText(token) + " app=" + text(applicationName) + " cmd=" + text(commandLine) +
                     " inherit=" + std::to_string(inheritHandles) + " flags=" + hex(creationFlags) +
                     " env=" + (environment == nullptr ? "null" : "block") + " cwd=" + text(currentDirectory);
  if (startupInfo != nullptr) {
    args += " cb=" + std::to_string(startupInfo->cb) + " desktop=" + text(startupInfo->lpDesktop) +
            " startFlags=" + hex(startupInfo->dwFlags);
  }
  if (enterFails("CreateProcessAsUserW", std::move(args))) {
    return kFalse;
  }
  auto fail = [](Dword error) {
    setLastError(error);
    return kFalse;
  };
  Machine& m = machine();
  HandleEntry const* const tokenEntry = lookupHandle(token, Kind::token);
  if (tokenEntry == nullptr) {
    return fail(kErrorInvalidHandle);
  }
  Dword const tokenAccess = 0x1 | 0x2 | 0x8;  // TOKEN_ASSIGN_PRIMARY | TOKEN_DUPLICATE | TOKEN_QUERY
  if ((tokenEntry->access & tokenAccess) != tokenAccess) {
    return fail(kErrorAccessDenied);
  }
  TokenState const tokenState = m.tokens.at(tokenEntry->object);
  if (!tokenState.primary) {
    return fail(kErrorBadTokenType);
  }
  bool const extended = (creationFlags & kExtendedStartupInfoPresent) != 0;
  if (startupInfo == nullptr || processInformation == nullptr ||
      (applicationName == nullptr && commandLine == nullptr) ||
      startupInfo->cb != (extended ? kStartupInfoExWSize : kStartupInfoWSize) ||
      ((creationFlags & kDetachedProcess) != 0 && (creationFlags & sim::kCreateNewConsole) != 0)) {
    return fail(kErrorInvalidParameter);
  }
  std::u16string const line = commandLine == nullptr ? std::u16string() : std::u16string(commandLine);
  if (line.size() + 1 > sim::kMaxCommandLine) {
    return fail(kErrorFilenameExcedRange);
  }

  // The attribute list is read now: it holds pointers, and what they point to counts.
  sim::Attributes attributes;
  if (extended) {
    auto const* const ex = reinterpret_cast<StartupInfoExW const*>(startupInfo);
    if (ex->lpAttributeList != nullptr) {
      auto const list = m.attributeLists.find(ex->lpAttributeList);
      if (list == m.attributeLists.end()) {
        return fail(kErrorInvalidParameter);
      }
      for (auto const& [attribute, value] : list->second.attributes) {
        (attribute == kProcThreadAttributeHandleList ? attributes.handleList : attributes.jobList) =
            sim::readHandles(value);
      }
    }
  }
  std::vector<Handle> inherited;
  if (attributes.handleList && inheritHandles != kFalse) {
    for (Handle const handle : *attributes.handleList) {
      HandleEntry const* const entry = lookupHandle(handle);
      if (entry == nullptr || !entry->inheritable) {
        return fail(kErrorInvalidParameter);
      }
      inherited.push_back(handle);
    }
  }
  std::optional<std::uint64_t> job;
  std::optional<Handle> jobHandle;
  if (attributes.jobList) {
    for (Handle const handle : *attributes.jobList) {
      HandleEntry const* const entry = lookupHandle(handle, Kind::job);
      if (entry == nullptr) {
        return fail(kErrorInvalidHandle);
      }
      if (!job) {
        job = entry->object;
        jobHandle = handle;
      }
    }
  }

  // The program: by its full path, a relative name against the current directory.
  std::u16string const application =
      applicationName != nullptr ? std::u16string(applicationName) : sim::programNameOf(line);
  if (application.empty() || hasInvalidNameCharacters(application)) {
    return fail(kErrorInvalidName);
  }
  std::u16string const key = pathKey(application);
  FsNode const* const node = findNode(key);
  if (node == nullptr || pathErrorFor(key)) {
    return fail(missingPathError(key));
  }
  if (node->directory) {
    return fail(kErrorAccessDenied);
  }
  auto const program = m.programs.find(key);
  if (program == m.programs.end()) {
    return fail(kErrorBadExeFormat);
  }
  if (program->second.failToStart) {
    return fail(*program->second.failToStart);
  }
  std::u16string cwd = currentProcess().cwd;
  if (currentDirectory != nullptr) {
    FsNode const* const folder = findNode(pathKey(currentDirectory));
    if (folder == nullptr || !folder->directory) {
      return fail(kErrorDirectory);
    }
    cwd = fullPath(currentDirectory);
  }

  ProcessState const& creator = currentProcess();
  Dword console = 0;
  if ((creationFlags & kDetachedProcess) == 0) {
    bool const inheritsConsole =
        creator.console != 0 && (creationFlags & (sim::kCreateNewConsole | kCreateNoWindow)) == 0;
    console = inheritsConsole ? creator.console : m.nextConsole++;
  }
  sim::ProcessRecord record{};
  record.application = fullPath(application);
  record.commandLine = line;
  record.sessionId = tokenState.sessionId;
  record.creationFlags = creationFlags;
  record.inheritHandles = inheritHandles != kFalse;
  record.startupInfoCb = startupInfo->cb;
  record.desktop = startupInfo->lpDesktop == nullptr ? std::u16string() : std::u16string(startupInfo->lpDesktop);
  record.inheritedHandles = inherited;
  record.job = jobHandle;
  record.hasConsole = console != 0;
  record.currentDirectory = cwd;
  ProcessState state;
  state.image = record.application;
  state.cwd = cwd;
  state.sessionId = tokenState.sessionId;
  state.tcb = tokenState.tcb;
  state.console = console;
  state.job = job;
  // Whether the process ignores Ctrl-C passes from the creator to its children.
  state.ignoresCtrlC = creator.ignoresCtrlC;
  // A grandchild runs the same image in the same session, job and console, with the
  // default behaviour (it obeys Ctrl-C at once).
  std::optional<ProcessState> grandchildState;
  if (program->second.startsGrandchild) {
    grandchildState = state;
  }
  state.behaviour = program->second;
  Dword const creatorId = m.current;
  Dword const id = sim::newProcess(creatorId, std::move(record), std::move(state));
  sim::ProgramBehaviour const& behaviour = m.processes.at(id).behaviour;

  // Its output reaches the standard output handle when the child really inherits it.
  if (!behaviour.output.empty() && (startupInfo->dwFlags & kStartfUseStdHandles) != 0) {
    HandleEntry const* const out = lookupHandle(startupInfo->hStdOutput, Kind::file);
    bool const listed = !attributes.handleList ||
                        std::find(inherited.begin(), inherited.end(), startupInfo->hStdOutput) != inherited.end();
    if (out != nullptr && out->inheritable && inheritHandles != kFalse && listed) {
      if (FsNode* const file = findNode(m.files.at(out->object).key)) {
        file->content += behaviour.output;
      }
    }
  }
  if (grandchildState) {
    sim::ProcessRecord grandchild{};
    grandchild.application = m.records.back().application;
    grandchild.sessionId = tokenState.sessionId;
    grandchild.job = jobHandle;
    grandchild.hasConsole = console != 0;
    grandchild.parentId = id;
    grandchild.currentDirectory = cwd;
    sim::newProcess(id, std::move(grandchild), std::move(*grandchildState));
  }

  processInformation->hProcess = addHandle(Kind::process, id, false);
  processInformation->hThread = addHandle(Kind::thread, id, false);
  processInformation->dwProcessId = id;
  processInformation->dwThreadId = id + 1;

  ProcessState& child = m.processes.at(id);
  if (child.behaviour.run) {
    Dword const savedError = GetLastError();
    sim::runAsProcess(id, line);
    setLastError(savedError);
  } else if (child.behaviour.exitAfter != sim::kNever) {
    child.pendingEnd = PendingEnd{m.clock + child.behaviour.exitAfter, child.behaviour.exitCode};
  }
  return kTrue;
}

Bool GetExitCodeProcess(Handle process, Dword* exitCode) {
  if (enterFails("GetExitCodeProcess", handleText(process))) {
    return kFalse;
  }
  if (exitCode == nullptr) {
    setLastError(kErrorInvalidParameter);
    return kFalse;
  }
  if (process == kInvalidHandle) {
    *exitCode = kStillActive;
    return kTrue;
  }
  HandleEntry const* const entry = lookupHandle(process, Kind::process);
  if (entry == nullptr) {
    setLastError(kErrorInvalidHandle);
    return kFalse;
  }
  sim::ProcessRecord const* const record = recordOf(static_cast<Dword>(entry->object));
  *exitCode = record->endTime ? record->exitCode : kStillActive;
  return kTrue;
}

Bool TerminateProcess(Handle process, Dword exitCode) {
  if (enterFails("TerminateProcess", handleText(process) + " code=" + std::to_string(exitCode))) {
    // The random fault is the refusal Windows gives for a process already on its way out:
    // it ends all the same, with the code it was ending with.
    HandleEntry const* const target = lookupHandle(process, Kind::process);
    if (machine().lastFaultRandom && target != nullptr) {
      endProcess(static_cast<Dword>(target->object), exitCode);
    }
    return kFalse;
  }
  HandleEntry const* const entry = lookupHandle(process, Kind::process);
  if (entry == nullptr) {
    setLastError(kErrorInvalidHandle);
    return kFalse;
  }
  auto const id = static_cast<Dword>(entry->object);
  if (findProcessState(id)->ended) {
    setLastError(kErrorAccessDenied);  // an ended process keeps its exit code
    return kFalse;
  }
  endProcess(id, exitCode);
  return kTrue;
}

}  // namespace halcyra::platform
