#include "platform/processes.h"

#include "platform/win32/windows_types.h"

namespace halcyra::platform {

static_assert(kNoConsoleSession == 0xFFFFFFFF);
static_assert(kTokenDuplicate == TOKEN_DUPLICATE && kTokenAllAccess == TOKEN_ALL_ACCESS);
static_assert(kSecurityImpersonation == SecurityImpersonation && kTokenPrimary == TokenPrimary &&
              kTokenSessionId == TokenSessionId);
static_assert(kJobObjectExtendedLimitInformation == ::JobObjectExtendedLimitInformation &&
              kJobObjectLimitBreakawayOk == JOB_OBJECT_LIMIT_BREAKAWAY_OK &&
              kJobObjectLimitKillOnJobClose == JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE);
static_assert(kProcThreadAttributeHandleList == PROC_THREAD_ATTRIBUTE_HANDLE_LIST &&
              kProcThreadAttributeJobList == 0x2000D);
static_assert(kStartfUseStdHandles == STARTF_USESTDHANDLES && kDetachedProcess == DETACHED_PROCESS &&
              kCreateUnicodeEnvironment == CREATE_UNICODE_ENVIRONMENT &&
              kExtendedStartupInfoPresent == EXTENDED_STARTUPINFO_PRESENT && kCreateNoWindow == CREATE_NO_WINDOW);

// The job limits are handed to SetInformationJobObject as they are.
static_assert(sizeof(JOBOBJECT_EXTENDED_LIMIT_INFORMATION) == sizeof(JobObjectExtendedLimitInformation));
static_assert(offsetof(JOBOBJECT_EXTENDED_LIMIT_INFORMATION, BasicLimitInformation.LimitFlags) ==
              offsetof(JobObjectExtendedLimitInformation, BasicLimitInformation.LimitFlags));
static_assert(offsetof(JOBOBJECT_EXTENDED_LIMIT_INFORMATION, IoInfo) ==
              offsetof(JobObjectExtendedLimitInformation, IoInfo));
static_assert(offsetof(JOBOBJECT_EXTENDED_LIMIT_INFORMATION, PeakJobMemoryUsed) ==
              offsetof(JobObjectExtendedLimitInformation, PeakJobMemoryUsed));

// The portable startup records hold only the members the system sets; the real ones are
// built from them on every call. Their sizes are what callers put in cb.
static_assert(sizeof(STARTUPINFOW) == kStartupInfoWSize);
static_assert(sizeof(STARTUPINFOEXW) == kStartupInfoExWSize);
static_assert(offsetof(StartupInfoExW, StartupInfo) == 0);

static_assert(sizeof(PROCESS_INFORMATION) == sizeof(ProcessInformation));
static_assert(offsetof(PROCESS_INFORMATION, hProcess) == offsetof(ProcessInformation, hProcess));
static_assert(offsetof(PROCESS_INFORMATION, hThread) == offsetof(ProcessInformation, hThread));
static_assert(offsetof(PROCESS_INFORMATION, dwProcessId) == offsetof(ProcessInformation, dwProcessId));
static_assert(offsetof(PROCESS_INFORMATION, dwThreadId) == offsetof(ProcessInformation, dwThreadId));

static_assert(sizeof(SIZE_T) == sizeof(std::size_t) && sizeof(DWORD_PTR) == sizeof(std::uintptr_t));

namespace {

LPPROC_THREAD_ATTRIBUTE_LIST native(ProcThreadAttributeList* list) {
  return reinterpret_cast<LPPROC_THREAD_ATTRIBUTE_LIST>(list);
}

STARTUPINFOW nativeStartupInfo(const StartupInfoW& info) {
  STARTUPINFOW result{};
  result.cb = info.cb;
  result.lpDesktop = const_cast<wchar_t*>(win32::wide(info.lpDesktop));
  result.dwFlags = info.dwFlags;
  result.hStdInput = info.hStdInput;
  result.hStdOutput = info.hStdOutput;
  result.hStdError = info.hStdError;
  return result;
}

}  // namespace

Dword WTSGetActiveConsoleSessionId() { return ::WTSGetActiveConsoleSessionId(); }

Handle GetCurrentProcess() { return ::GetCurrentProcess(); }

Dword GetCurrentProcessId() { return ::GetCurrentProcessId(); }

Bool OpenProcessToken(Handle process, Dword desiredAccess, Handle* token) {
  return ::OpenProcessToken(process, desiredAccess, token);
}

Bool DuplicateTokenEx(Handle token, Dword desiredAccess, SecurityAttributes* attributes, int impersonationLevel,
                      int tokenType, Handle* newToken) {
  return ::DuplicateTokenEx(token, desiredAccess, win32::native(attributes),
                            static_cast<SECURITY_IMPERSONATION_LEVEL>(impersonationLevel),
                            static_cast<TOKEN_TYPE>(tokenType), newToken);
}

Bool SetTokenInformation(Handle token, int informationClass, void* information, Dword length) {
  return ::SetTokenInformation(token, static_cast<TOKEN_INFORMATION_CLASS>(informationClass), information, length);
}

Handle CreateJobObjectW(SecurityAttributes* attributes, const char16_t* name) {
  return ::CreateJobObjectW(win32::native(attributes), win32::wide(name));
}

Bool SetInformationJobObject(Handle job, int informationClass, void* information, Dword length) {
  return ::SetInformationJobObject(job, static_cast<JOBOBJECTINFOCLASS>(informationClass), information, length);
}

Handle GetProcessHeap() { return ::GetProcessHeap(); }

void* HeapAlloc(Handle heap, Dword flags, std::size_t bytes) { return ::HeapAlloc(heap, flags, bytes); }

Bool HeapFree(Handle heap, Dword flags, void* memory) { return ::HeapFree(heap, flags, memory); }

Bool InitializeProcThreadAttributeList(ProcThreadAttributeList* list, Dword attributeCount, Dword flags,
                                       std::size_t* size) {
  SIZE_T nativeSize = size != nullptr ? *size : 0;
  Bool const result = ::InitializeProcThreadAttributeList(native(list), attributeCount, flags, &nativeSize);
  Dword const error = ::GetLastError();
  if (size != nullptr) {
    *size = nativeSize;
  }
  ::SetLastError(error);
  return result;
}

Bool UpdateProcThreadAttribute(ProcThreadAttributeList* list, Dword flags, std::uintptr_t attribute, void* value,
                               std::size_t size, void* previousValue, std::size_t* returnSize) {
  return ::UpdateProcThreadAttribute(native(list), flags, attribute, value, size, previousValue,
                                     reinterpret_cast<SIZE_T*>(returnSize));
}

Bool CreateProcessAsUserW(Handle token, const char16_t* applicationName, char16_t* commandLine,
                          SecurityAttributes* processAttributes, SecurityAttributes* threadAttributes,
                          Bool inheritHandles, Dword creationFlags, void* environment, const char16_t* currentDirectory,
                          StartupInfoW* startupInfo, ProcessInformation* processInformation) {
  // EXTENDED_STARTUPINFO_PRESENT says that `startupInfo` is the first member of a
  // StartupInfoExW, exactly as it says of a STARTUPINFOW on Windows.
  STARTUPINFOEXW extended{};
  if (startupInfo != nullptr) {
    extended.StartupInfo = nativeStartupInfo(*startupInfo);
    if ((creationFlags & kExtendedStartupInfoPresent) != 0) {
      extended.lpAttributeList = native(reinterpret_cast<StartupInfoExW*>(startupInfo)->lpAttributeList);
    }
  }
  PROCESS_INFORMATION created{};
  Bool const result = ::CreateProcessAsUserW(token, win32::wide(applicationName), win32::wide(commandLine),
                                             win32::native(processAttributes), win32::native(threadAttributes),
                                             inheritHandles, creationFlags, environment, win32::wide(currentDirectory),
                                             startupInfo != nullptr ? &extended.StartupInfo : nullptr, &created);
  if (result != kFalse && processInformation != nullptr) {
    processInformation->hProcess = created.hProcess;
    processInformation->hThread = created.hThread;
    processInformation->dwProcessId = created.dwProcessId;
    processInformation->dwThreadId = created.dwThreadId;
  }
  return result;
}

Bool GetExitCodeProcess(Handle process, Dword* exitCode) {
  DWORD code = 0;
  Bool const result = ::GetExitCodeProcess(process, &code);
  if (result != kFalse) {
    *exitCode = code;
  }
  return result;
}

Bool TerminateProcess(Handle process, Dword exitCode) { return ::TerminateProcess(process, exitCode); }

}  // namespace halcyra::platform
