// Sessions, tokens, jobs, the process heap and attribute lists of the simulated machine.

#include <cstdlib>
#include <cstring>

#include "platform/processes.h"
#include "platform/sim/sim_machine.h"

namespace halcyra::sim {

using namespace detail;

void setConsoleSession(Dword sessionId) { machine().consoleSession = sessionId; }

void setTcbPrivilege(bool held) { machine().processes.at(kServiceProcessId).tcb = held; }

void scheduleConsoleConnect(std::uint64_t time, Dword sessionId) {
  machine().consoleSwitches.push_back(ConsoleSwitch{time, sessionId});
}

}  // namespace halcyra::sim

namespace halcyra::platform {

using namespace sim::detail;

namespace {

inline constexpr Dword kTokenAdjustDefault = 0x80;
inline constexpr Dword kTokenAdjustSessionId = 0x100;
inline constexpr Dword kHeapZeroMemory = 0x8;

// Bytes of an attribute list: a header and one entry per attribute.
std::size_t attributeListSize(Dword count) { return 48 + 24 * std::size_t{count}; }

}  // namespace

Dword WTSGetActiveConsoleSessionId() {
  if (enterFails("WTSGetActiveConsoleSessionId", {})) {
    return kNoConsoleSession;
  }
  return machine().consoleSession;
}

Handle GetCurrentProcess() {
  enterFails("GetCurrentProcess", {});
  return kInvalidHandle;  // the pseudo handle (HANDLE)-1
}

Dword GetCurrentProcessId() {
  enterFails("GetCurrentProcessId", {});
  return machine().current;
}

Bool OpenProcessToken(Handle process, Dword desiredAccess, Handle* token) {
  if (enterFails("OpenProcessToken", "process=" + handleText(process) + " access=" + hex(desiredAccess))) {
    return kFalse;
  }
  ProcessState const* state = nullptr;
  if (process == kInvalidHandle) {
    state = &currentProcess();
  } else if (HandleEntry const* const entry = lookupHandle(process, Kind::process)) {
    state = findProcessState(static_cast<Dword>(entry->object));
  }
  if (state == nullptr || token == nullptr) {
    setLastError(state == nullptr ? kErrorInvalidHandle : kErrorInvalidParameter);
    return kFalse;
  }
  Machine& m = machine();
  std::uint64_t const object = m.nextObject++;
  m.tokens[object] = TokenState{state->sessionId, true, state->tcb};
  *token = addHandle(Kind::token, object, false, desiredAccess);
  return kTrue;
}

Bool DuplicateTokenEx(Handle token, Dword desiredAccess, SecurityAttributes* attributes, int impersonationLevel,
                      int tokenType, Handle* newToken) {
  if (enterFails("DuplicateTokenEx", "token=" + handleText(token) + " access=" + hex(desiredAccess) + " level=" +
                                         std::to_string(impersonationLevel) + " type=" + std::to_string(tokenType))) {
    return kFalse;
  }
  HandleEntry const* const entry = lookupHandle(token, Kind::token);
  if (entry == nullptr) {
    setLastError(kErrorInvalidHandle);
    return kFalse;
  }
  if ((entry->access & kTokenDuplicate) == 0) {
    setLastError(kErrorAccessDenied);
    return kFalse;
  }
  if (newToken == nullptr || tokenType < 1 || tokenType > 2 || impersonationLevel < 0 || impersonationLevel > 3) {
    setLastError(kErrorInvalidParameter);
    return kFalse;
  }
  Machine& m = machine();
  TokenState copy = m.tokens.at(entry->object);
  copy.primary = tokenType == kTokenPrimary;
  std::uint64_t const object = m.nextObject++;
  m.tokens[object] = copy;
  bool const inheritable = attributes != nullptr && attributes->bInheritHandle != kFalse;
  *newToken = addHandle(Kind::token, object, inheritable, desiredAccess == 0 ? entry->access : desiredAccess);
  return kTrue;
}

Bool SetTokenInformation(Handle token, int informationClass, void* information, Dword length) {
  std::string args =
      "token=" + handleText(token) + " class=" + std::to_string(informationClass) + " length=" + std::to_string(length);
  if (information != nullptr && length == sizeof(Dword)) {
    Dword value = 0;
    std::memcpy(&value, information, sizeof value);
    args += " value=" + std::to_string(value);
  }
  if (enterFails("SetTokenInformation", std::move(args))) {
    return kFalse;
  }
  HandleEntry const* const entry = lookupHandle(token, Kind::token);
  if (entry == nullptr) {
    setLastError(kErrorInvalidHandle);
    return kFalse;
  }
  if (informationClass != kTokenSessionId || information == nullptr) {
    setLastError(kErrorInvalidParameter);
    return kFalse;
  }
  if (length != sizeof(Dword)) {
    setLastError(kErrorBadLength);
    return kFalse;
  }
  if ((entry->access & (kTokenAdjustDefault | kTokenAdjustSessionId)) !=
      (kTokenAdjustDefault | kTokenAdjustSessionId)) {
    setLastError(kErrorAccessDenied);
    return kFalse;
  }
  if (!currentProcess().tcb) {
    setLastError(kErrorPrivilegeNotHeld);
    return kFalse;
  }
  std::memcpy(&machine().tokens.at(entry->object).sessionId, information, sizeof(Dword));
  return kTrue;
}

Handle CreateJobObjectW(SecurityAttributes* attributes, const char16_t* name) {
  if (enterFails("CreateJobObjectW", "name=" + text(name))) {
    return nullptr;
  }
  Machine& m = machine();
  std::uint64_t const object = m.nextObject++;
  m.jobs[object] = JobState{};
  return addHandle(Kind::job, object, attributes != nullptr && attributes->bInheritHandle != kFalse);
}

Bool SetInformationJobObject(Handle job, int informationClass, void* information, Dword length) {
  std::string args =
      "job=" + handleText(job) + " class=" + std::to_string(informationClass) + " length=" + std::to_string(length);
  if (information != nullptr && informationClass == kJobObjectExtendedLimitInformation &&
      length == sizeof(JobObjectExtendedLimitInformation)) {
    args += " limitFlags=" +
            hex(static_cast<JobObjectExtendedLimitInformation*>(information)->BasicLimitInformation.LimitFlags);
  }
  if (enterFails("SetInformationJobObject", std::move(args))) {
    return kFalse;
  }
  HandleEntry const* const entry = lookupHandle(job, Kind::job);
  if (entry == nullptr) {
    setLastError(kErrorInvalidHandle);
    return kFalse;
  }
  if (informationClass != kJobObjectExtendedLimitInformation || information == nullptr) {
    setLastError(kErrorInvalidParameter);
    return kFalse;
  }
  if (length != sizeof(JobObjectExtendedLimitInformation)) {
    setLastError(kErrorBadLength);
    return kFalse;
  }
  machine().jobs.at(entry->object).limitFlags =
      static_cast<JobObjectExtendedLimitInformation*>(information)->BasicLimitInformation.LimitFlags;
  return kTrue;
}

Handle GetProcessHeap() {
  if (enterFails("GetProcessHeap", {})) {
    return nullptr;
  }
  return reinterpret_cast<Handle>(std::uintptr_t{0x7FF0000});
}

void* HeapAlloc(Handle heap, Dword flags, std::size_t bytes) {
  if (enterFails("HeapAlloc",
                 "heap=" + handleText(heap) + " flags=" + hex(flags) + " bytes=" + std::to_string(bytes))) {
    return nullptr;
  }
  void* const block =
      (flags & kHeapZeroMemory) != 0 ? std::calloc(bytes == 0 ? 1 : bytes, 1) : std::malloc(bytes == 0 ? 1 : bytes);
  if (block == nullptr) {
    setLastError(kErrorNotEnoughMemory);
    return nullptr;
  }
  machine().heapBlocks.insert(block);
  return block;
}

Bool HeapFree(Handle heap, Dword flags, void* memory) {
  if (enterFails("HeapFree", "heap=" + handleText(heap) + " flags=" + hex(flags))) {
    return kFalse;
  }
  if (memory == nullptr) {
    return kTrue;
  }
  Machine& m = machine();
  if (m.heapBlocks.erase(memory) == 0) {
    setLastError(kErrorInvalidParameter);
    return kFalse;
  }
  m.attributeLists.erase(memory);
  std::free(memory);
  return kTrue;
}

Bool InitializeProcThreadAttributeList(ProcThreadAttributeList* list, Dword attributeCount, Dword flags,
                                       std::size_t* size) {
  if (enterFails("InitializeProcThreadAttributeList", "list=" + std::string(list == nullptr ? "null" : "block") +
                                                          " count=" + std::to_string(attributeCount) +
                                                          " flags=" + hex(flags))) {
    return kFalse;
  }
  if (size == nullptr || flags != 0) {
    setLastError(kErrorInvalidParameter);
    return kFalse;
  }
  std::size_t const needed = attributeListSize(attributeCount);
  if (list == nullptr || *size < needed) {
    *size = needed;
    setLastError(kErrorInsufficientBuffer);
    return kFalse;
  }
  machine().attributeLists[list] = AttributeList{attributeCount, {}};
  return kTrue;
}

Bool UpdateProcThreadAttribute(ProcThreadAttributeList* list, Dword flags, std::uintptr_t attribute, void* value,
                               std::size_t size, void* previousValue, std::size_t* returnSize) {
  if (enterFails("UpdateProcThreadAttribute",
                 "attribute=" + hex(attribute) + " size=" + std::to_string(size) + " flags=" + hex(flags))) {
    return kFalse;
  }
  auto& lists = machine().attributeLists;
  auto const it = lists.find(list);
  if (it == lists.end() || flags != 0 || previousValue != nullptr || returnSize != nullptr || value == nullptr) {
    setLastError(kErrorInvalidParameter);
    return kFalse;
  }
  if (attribute != kProcThreadAttributeHandleList && attribute != kProcThreadAttributeJobList) {
    setLastError(50);  // ERROR_NOT_SUPPORTED
    return kFalse;
  }
  if (size == 0 || size % sizeof(Handle) != 0) {
    setLastError(kErrorBadLength);
    return kFalse;
  }
  // A full list refuses any update, before it looks for the attribute in it.
  AttributeList& attributes = it->second;
  if (attributes.attributes.size() >= attributes.capacity) {
    setLastError(kErrorGenFailure);
    return kFalse;
  }
  if (attributes.attributes.count(attribute) != 0) {
    setLastError(kErrorAttributeAlreadySet);
    return kFalse;
  }
  attributes.attributes[attribute] = AttributeValue{value, size};
  return kTrue;
}

}  // namespace halcyra::platform
