// halcyra-probe: small process tools for the end-to-end driver, which runs under a Unix
// shell where Wine reports only 8-bit exit codes and cannot look at Windows processes.
//
//   halcyra-probe run [--detached] <program> [arguments...]
//       runs the program, waits for it and prints "exit code N" with the full code;
//       --detached starts it without a console (DETACHED_PROCESS)
//   halcyra-probe stop-request <service exe> <log file> <program> [arguments...]
//       starts the program with a console of its own and no window, its output appended
//       to the log file; once it has written there, runs "<service exe>" --terminate
//       <its id> without a console and prints "stop request exit code N"; then prints
//       "child exit code N", or "child still running" after 10 s (and ends it)
//   halcyra-probe alive <pid>          exit code 0 while the process runs, else 1
//   halcyra-probe wait <pid> <ms>      waits for the process to end; prints "exit code N"
//                                      and exits 0, or exits 1 when it still runs
//   halcyra-probe kill <pid> [code]    TerminateProcess with the code (default 1)
//   halcyra-probe handles <pid>        prints "handles N", the handles the process holds,
//                                      counted in the system's handle table
//   halcyra-probe stats <pid>          prints one line about a running process, measured
//                                      from outside: "handles H private P working W
//                                      cpu_us C" (bytes; user plus kernel CPU time in µs)
//   halcyra-probe version <file>       prints "file F product P company C" from the file's
//                                      version resource (fixed file version, string
//                                      ProductVersion and CompanyName)
//   halcyra-probe service-pid <name>   prints the process id of the running service
//   halcyra-probe hold <file> <ms>     keeps the existing file open for reading, shared for
//                                      reading and writing but not deletion; prints
//                                      "holding" once it is open
//
// Exit code 2 means a usage error or a failed system call (reported on standard error).

#include <windows.h>
// After <windows.h>, which it needs.
#include <shellapi.h>
// After <windows.h>, which it needs.
#include <psapi.h>

#include <cstdint>
#include <cstdio>
#include <cwchar>
#include <string>
#include <vector>

#include "windows_process.h"

namespace {

int failed(const char* what) {
  std::fprintf(stderr, "halcyra-probe: %s failed with error %lu\n", what, GetLastError());
  return 2;
}

DWORD number(const wchar_t* text) { return static_cast<DWORD>(std::wcstoul(text, nullptr, 0)); }

using halcyra::support::commandLine;
using halcyra::support::Process;

std::vector<std::wstring> argumentsOf(wchar_t** arguments, int count) { return {arguments, arguments + count}; }

// Runs a program to its end and prints its exit code after `label`.
int run(const std::vector<std::wstring>& arguments, DWORD flags, const char* label) {
  if (arguments.empty()) return 2;
  Process const process = halcyra::support::start(commandLine(arguments), {.flags = flags});
  if (!process) return failed("CreateProcessW");
  process.awaitEnd(INFINITE);
  std::printf("%s %lu\n", label, process.exitCode());
  std::fflush(stdout);
  return 0;
}

DWORD fileSize(const wchar_t* path) {
  WIN32_FILE_ATTRIBUTE_DATA data{};
  return GetFileAttributesExW(path, GetFileExInfoStandard, &data) ? data.nFileSizeLow : 0;
}

// The service starts its child and, later, the stop-request instance itself, so both are
// in the service's process group; here this process plays the service's part. (Wine
// delivers a Ctrl-C for group 0 only within the caller's process group.)
int stopRequest(wchar_t** arguments, int count) {
  if (count < 3) return 2;
  const wchar_t* const logPath = arguments[1];
  SECURITY_ATTRIBUTES inheritable{sizeof inheritable, nullptr, TRUE};
  HANDLE const log = CreateFileW(logPath, FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE, &inheritable,
                                 OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (log == INVALID_HANDLE_VALUE) return failed("CreateFileW");
  DWORD const sizeBefore = fileSize(logPath);
  Process const child = halcyra::support::start(commandLine(argumentsOf(arguments + 2, count - 2)),
                                                {.flags = CREATE_NO_WINDOW, .output = log});
  CloseHandle(log);
  if (!child) return failed("CreateProcessW");
  // Its first line comes after it has installed its Ctrl-C handler.
  for (int i = 0; i < 200 && fileSize(logPath) == sizeBefore; ++i) {
    Sleep(50);
  }

  int const status =
      run({arguments[0], L"--terminate", std::to_wstring(child.id())}, DETACHED_PROCESS, "stop request exit code");
  if (status == 0 && child.awaitEnd(10000)) {
    std::printf("child exit code %lu\n", child.exitCode());
  } else {
    std::printf("child still running\n");
    child.terminate(1);
  }
  return status;
}

int wait(DWORD pid, DWORD milliseconds) {
  Process const process(pid);
  if (!process) return failed("OpenProcess");
  if (!process.awaitEnd(milliseconds)) return 1;
  std::printf("exit code %lu\n", process.exitCode());
  return 0;
}

std::uint64_t microseconds(const FILETIME& time) {
  return ((static_cast<std::uint64_t>(time.dwHighDateTime) << 32) | time.dwLowDateTime) / 10;
}

int stats(DWORD pid) {
  HANDLE const process = OpenProcess(PROCESS_QUERY_INFORMATION | PROCESS_VM_READ, FALSE, pid);
  if (process == nullptr) return failed("OpenProcess");
  DWORD handles = 0;
  PROCESS_MEMORY_COUNTERS_EX memory{};
  memory.cb = sizeof memory;
  FILETIME created{}, exited{}, kernel{}, user{};
  bool const ok = GetProcessHandleCount(process, &handles) &&
                  GetProcessMemoryInfo(process, reinterpret_cast<PROCESS_MEMORY_COUNTERS*>(&memory), sizeof memory) &&
                  GetProcessTimes(process, &created, &exited, &kernel, &user);
  CloseHandle(process);
  if (!ok) return failed("process queries");
  std::printf("handles %lu private %llu working %llu cpu_us %llu\n", handles,
              static_cast<unsigned long long>(memory.PrivateUsage),
              static_cast<unsigned long long>(memory.WorkingSetSize),
              static_cast<unsigned long long>(microseconds(kernel) + microseconds(user)));
  return 0;
}

// The string `name` of the resource's first translation, or "-" when there is none.
std::wstring versionString(const void* block, const wchar_t* name) {
  struct Translation {
    WORD language;
    WORD codePage;
  };
  Translation* translation = nullptr;
  UINT size = 0;
  if (!VerQueryValueW(block, L"\\VarFileInfo\\Translation", reinterpret_cast<void**>(&translation), &size) ||
      size < sizeof(Translation)) {
    return L"-";
  }
  wchar_t path[64];
  std::swprintf(path, 64, L"\\StringFileInfo\\%04x%04x\\%ls", translation->language, translation->codePage, name);
  wchar_t* value = nullptr;
  if (!VerQueryValueW(block, path, reinterpret_cast<void**>(&value), &size) || size == 0) return L"-";
  return value;
}

int version(const wchar_t* path) {
  DWORD const size = GetFileVersionInfoSizeW(path, nullptr);
  if (size == 0) return failed("GetFileVersionInfoSizeW");
  std::string block(size, '\0');
  if (!GetFileVersionInfoW(path, 0, size, block.data())) return failed("GetFileVersionInfoW");
  VS_FIXEDFILEINFO* fixed = nullptr;
  UINT fixedSize = 0;
  if (!VerQueryValueW(block.data(), L"\\", reinterpret_cast<void**>(&fixed), &fixedSize)) {
    return failed("VerQueryValueW");
  }
  auto const part = [](DWORD word, int shift) { return static_cast<unsigned>((word >> shift) & 0xFFFFu); };
  std::printf("file %u.%u.%u.%u product %ls company %ls\n", part(fixed->dwFileVersionMS, 16),
              part(fixed->dwFileVersionMS, 0), part(fixed->dwFileVersionLS, 16), part(fixed->dwFileVersionLS, 0),
              versionString(block.data(), L"ProductVersion").c_str(),
              versionString(block.data(), L"CompanyName").c_str());
  return 0;
}

int servicePid(const wchar_t* name) {
  DWORD const pid = halcyra::support::servicePid(name);
  if (pid == 0) return failed("QueryServiceStatusEx");
  std::printf("%lu\n", pid);
  return 0;
}

int hold(const wchar_t* path, DWORD ms) {
  HANDLE const file = CreateFileW(path, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                                  FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return failed("CreateFileW");
  std::printf("holding\n");
  std::fflush(stdout);
  Sleep(ms);
  CloseHandle(file);
  return 0;
}

// The layout of NtQuerySystemInformation's SystemExtendedHandleInformation (64), which
// the MinGW headers do not declare.
struct HandleEntry {
  void* object;
  ULONG_PTR processId;
  ULONG_PTR handleValue;
  ULONG grantedAccess;
  USHORT creatorBackTraceIndex;
  USHORT objectTypeIndex;
  ULONG handleAttributes;
  ULONG reserved;
};
struct HandleTable {
  ULONG_PTR count;
  ULONG_PTR reserved;
  HandleEntry entries[1];
};
using QuerySystemInformation = LONG(WINAPI*)(ULONG, void*, ULONG, ULONG*);
constexpr ULONG kSystemExtendedHandleInformation = 64;
constexpr LONG kStatusInfoLengthMismatch = static_cast<LONG>(0xC0000004);

// Counted in the system's handle table: Wine answers GetProcessHandleCount for another
// process with 0.
int handles(DWORD pid) {
  HMODULE const ntdll = GetModuleHandleW(L"ntdll.dll");
  auto const query = reinterpret_cast<QuerySystemInformation>(
      reinterpret_cast<void*>(GetProcAddress(ntdll, "NtQuerySystemInformation")));
  if (query == nullptr) return failed("GetProcAddress");
  std::vector<unsigned char> buffer(1 << 20);
  LONG status = kStatusInfoLengthMismatch;
  for (int attempt = 0; attempt < 8 && status == kStatusInfoLengthMismatch; ++attempt) {
    ULONG needed = 0;
    status = query(kSystemExtendedHandleInformation, buffer.data(), static_cast<ULONG>(buffer.size()), &needed);
    if (status == kStatusInfoLengthMismatch) buffer.resize(buffer.size() * 2 > needed ? buffer.size() * 2 : needed);
  }
  if (status != 0) {
    std::fprintf(stderr, "halcyra-probe: NtQuerySystemInformation failed with status 0x%lx\n",
                 static_cast<unsigned long>(status));
    return 2;
  }
  auto const* table = reinterpret_cast<const HandleTable*>(buffer.data());
  unsigned long count = 0;
  for (ULONG_PTR i = 0; i < table->count; ++i) {
    count += table->entries[i].processId == pid ? 1 : 0;
  }
  std::printf("handles %lu\n", count);
  return 0;
}

int dispatch(wchar_t** arguments, int count) {
  if (count < 2) return 2;
  std::wstring const command = arguments[1];
  wchar_t** const rest = arguments + 2;
  int const restCount = count - 2;
  if (command == L"run" && restCount > 0 && std::wcscmp(rest[0], L"--detached") == 0) {
    return run(argumentsOf(rest + 1, restCount - 1), DETACHED_PROCESS, "exit code");
  }
  if (command == L"run") return run(argumentsOf(rest, restCount), 0, "exit code");
  if (command == L"stop-request") return stopRequest(rest, restCount);
  if (command == L"alive" && restCount == 1) return halcyra::support::alive(number(rest[0])) ? 0 : 1;
  if (command == L"wait" && restCount == 2) return wait(number(rest[0]), number(rest[1]));
  if (command == L"stats" && restCount == 1) return stats(number(rest[0]));
  if (command == L"handles" && restCount == 1) return handles(number(rest[0]));
  if (command == L"version" && restCount == 1) return version(rest[0]);
  if (command == L"service-pid" && restCount == 1) return servicePid(rest[0]);
  if (command == L"hold" && restCount == 2) return hold(rest[0], number(rest[1]));
  if (command == L"kill" && restCount >= 1) {
    return halcyra::support::kill(number(rest[0]), restCount > 1 ? number(rest[1]) : 1) ? 0
                                                                                        : failed("TerminateProcess");
  }
  return 2;
}

}  // namespace

int main() {
  int count = 0;
  wchar_t** const arguments = CommandLineToArgvW(GetCommandLineW(), &count);
  if (arguments == nullptr) return failed("CommandLineToArgvW");
  int const result = dispatch(arguments, count);
  if (result == 2 && count < 2) {
    std::fprintf(stderr,
                 "usage: halcyra-probe run|stop-request|alive|wait|kill|stats|handles|version|service-pid|hold ...\n");
  }
  std::fflush(stdout);
  LocalFree(arguments);
  return result;
}
