#pragma once
// Sessions, tokens, jobs and processes (kernel32, advapi32).

#include "platform/types.h"

namespace halcyra::platform {

inline constexpr Dword kNoConsoleSession = 0xFFFFFFFF;

inline constexpr Dword kTokenDuplicate = 0x2;
inline constexpr Dword kTokenAllAccess = 0xF01FF;
inline constexpr int kSecurityImpersonation = 2;  // SECURITY_IMPERSONATION_LEVEL
inline constexpr int kTokenPrimary = 1;           // TOKEN_TYPE
inline constexpr int kTokenSessionId = 12;        // TOKEN_INFORMATION_CLASS

inline constexpr int kJobObjectExtendedLimitInformation = 9;
inline constexpr Dword kJobObjectLimitBreakawayOk = 0x800;
inline constexpr Dword kJobObjectLimitKillOnJobClose = 0x2000;

inline constexpr std::uintptr_t kProcThreadAttributeHandleList = 0x20002;
inline constexpr std::uintptr_t kProcThreadAttributeJobList = 0x2000D;

inline constexpr Dword kStartfUseStdHandles = 0x100;
// The interactive desktop of a session, where every child of the service starts.
inline constexpr char16_t kInteractiveDesktop[] = u"winsta0\\default";
inline constexpr Dword kDetachedProcess = 0x8;
inline constexpr Dword kCreateUnicodeEnvironment = 0x400;
inline constexpr Dword kExtendedStartupInfoPresent = 0x00080000;
inline constexpr Dword kCreateNoWindow = 0x08000000;

// JOBOBJECT_EXTENDED_LIMIT_INFORMATION with the x64 layout (144 bytes); only
// BasicLimitInformation.LimitFlags is ever nonzero here.
struct JobObjectExtendedLimitInformation {
  struct {
    std::int64_t PerProcessUserTimeLimit;
    std::int64_t PerJobUserTimeLimit;
    Dword LimitFlags;
    std::uint64_t MinimumWorkingSetSize;
    std::uint64_t MaximumWorkingSetSize;
    Dword ActiveProcessLimit;
    std::uint64_t Affinity;
    Dword PriorityClass;
    Dword SchedulingClass;
  } BasicLimitInformation;
  std::uint64_t IoInfo[6];
  std::uint64_t ProcessMemoryLimit;
  std::uint64_t JobMemoryLimit;
  std::uint64_t PeakProcessMemoryUsed;
  std::uint64_t PeakJobMemoryUsed;
};
static_assert(sizeof(JobObjectExtendedLimitInformation) == 144);

// PROC_THREAD_ATTRIBUTE_LIST: opaque, its memory comes from HeapAlloc.
struct ProcThreadAttributeList;

// STARTUPINFOW, with the members this system sets; the backends zero every other member.
struct StartupInfoW {
  Dword cb = 0;
  const char16_t* lpDesktop = nullptr;
  Dword dwFlags = 0;
  Handle hStdInput = nullptr;
  Handle hStdOutput = nullptr;
  Handle hStdError = nullptr;
};

// STARTUPINFOEXW: passed to CreateProcessAsUserW as &StartupInfo together with
// EXTENDED_STARTUPINFO_PRESENT, as on Windows.
struct StartupInfoExW {
  StartupInfoW StartupInfo;
  ProcThreadAttributeList* lpAttributeList = nullptr;
};

inline constexpr Dword kStartupInfoWSize = 104;    // sizeof(STARTUPINFOW) on x64
inline constexpr Dword kStartupInfoExWSize = 112;  // sizeof(STARTUPINFOEXW) on x64

struct ProcessInformation {
  Handle hProcess = nullptr;
  Handle hThread = nullptr;
  Dword dwProcessId = 0;
  Dword dwThreadId = 0;
};

Dword WTSGetActiveConsoleSessionId();
Handle GetCurrentProcess();
Dword GetCurrentProcessId();
Bool OpenProcessToken(Handle process, Dword desiredAccess, Handle* token);
Bool DuplicateTokenEx(Handle token, Dword desiredAccess, SecurityAttributes* attributes, int impersonationLevel,
                      int tokenType, Handle* newToken);
Bool SetTokenInformation(Handle token, int informationClass, void* information, Dword length);

Handle CreateJobObjectW(SecurityAttributes* attributes, const char16_t* name);
Bool SetInformationJobObject(Handle job, int informationClass, void* information, Dword length);

Handle GetProcessHeap();
void* HeapAlloc(Handle heap, Dword flags, std::size_t bytes);
Bool HeapFree(Handle heap, Dword flags, void* memory);

Bool InitializeProcThreadAttributeList(ProcThreadAttributeList* list, Dword attributeCount, Dword flags,
                                       std::size_t* size);
// The list keeps the pointer `value`, not a copy of what it points to: the platform reads
// the attribute's value when a process is created.
Bool UpdateProcThreadAttribute(ProcThreadAttributeList* list, Dword flags, std::uintptr_t attribute, void* value,
                               std::size_t size, void* previousValue, std::size_t* returnSize);

Bool CreateProcessAsUserW(Handle token, const char16_t* applicationName, char16_t* commandLine,
                          SecurityAttributes* processAttributes, SecurityAttributes* threadAttributes,
                          Bool inheritHandles, Dword creationFlags, void* environment, const char16_t* currentDirectory,
                          StartupInfoW* startupInfo, ProcessInformation* processInformation);
Bool GetExitCodeProcess(Handle process, Dword* exitCode);
Bool TerminateProcess(Handle process, Dword exitCode);

}  // namespace halcyra::platform
