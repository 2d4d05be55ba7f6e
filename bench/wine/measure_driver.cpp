// halcyra-measure: the timing side of tools/measure.sh, run under Wine. Every time is
// taken inside Windows with the precise system time, so that the Unix shell's own
// process starts never enter a figure. Times are printed in microseconds.
//
//   halcyra-measure nothing
//       exits 0 at once: the child of the bare process start-and-end
//   halcyra-measure spawn <count> <program> [arguments...]
//       starts the program count times, one after the other, without a console
//       (DETACHED_PROCESS, as the service starts its stop-request instance) and waits for
//       each; prints "spawn_us N" for each, from CreateProcessW to the end of the wait
//   halcyra-measure restart <count> <pause ms> <log file> <program>
//       starts the program with its output to the log file (as the service starts the
//       server), waits for its end, sleeps the pause and starts it again, count times: a
//       bare restart, with nothing but the pause between an end and the next start
//   halcyra-measure ctrl-c-stop <count> <service exe> <server exe> <stamps file>
//       the platform's part of a graceful stop, outside the service: starts the server
//       with a console of its own and no window (as the service does), waits for its
//       "start" stamp and half a second more, then runs "<service exe>" --terminate <its id> without a console
//       and waits for both to end; prints "ctrl_c_stop_us N" for each, from the start of
//       the stop-request instance to the server's end, and "to_ctrl_c_us N", from the
//       request to the Ctrl-C's arrival in the server. This program is the parent of both,
//       as the service is: Wine delivers a Ctrl-C for process group 0 only within the
//       caller's process group
//   halcyra-measure service-start <service> [stamps file]
//       starts the service and waits (up to 30 s) for the stamps file to gain a line
//       "start T"; prints "start_us N", from StartServiceW to T. Without a stamps file it
//       waits for SERVICE_RUNNING instead, polling every millisecond
//   halcyra-measure service-stop <service> [stamps file]
//       asks the service to stop and polls its state every millisecond (up to 60 s);
//       prints "stop_us N", from ControlService to SERVICE_STOPPED; with the server's
//       stamps file also "to_ctrl_c_us N" (from the request to the server's last Ctrl-C),
//       "ctrl_c_to_stopped_us N" and "exit_to_stopped_us N" (from its last Ctrl-C and its
//       last exit to SERVICE_STOPPED)
//   halcyra-measure cpu-resolution
//       spins until the process's own CPU time has grown three times and prints
//       "cpu_resolution_us N", the smallest step seen: the finest CPU time the platform
//       reports
//
// Exit code 1 means a failed system call or a time-out (reported on standard error), 2
// a usage error.

#include <windows.h>

// After <windows.h>, which it needs.
#include <shellapi.h>

#include <cstdint>
#include <cstdio>
#include <cwchar>
#include <string>
#include <vector>

#include "windows_process.h"

namespace {

int failed(const char* what) {
  std::fprintf(stderr, "halcyra-measure: %s failed with error %lu\n", what, GetLastError());
  return 1;
}

std::uint64_t microsecondsOf(const FILETIME& time) {
  return ((static_cast<std::uint64_t>(time.dwHighDateTime) << 32) | time.dwLowDateTime) / 10;
}

// Microseconds of the precise system time: the clock the sample server's stamps use.
std::uint64_t nowUs() {
  FILETIME now{};
  GetSystemTimePreciseAsFileTime(&now);
  return microsecondsOf(now);
}

int countOf(const wchar_t* text) { return static_cast<int>(std::wcstol(text, nullptr, 10)); }

// Every child starts on the interactive desktop, as the service's children do.
wchar_t const interactiveDesktop[] = L"winsta0\\default";

// Starts the program and waits for its end; with `output`, its standard output and error
// go there (an inheritable handle, as the service hands its log to its children). False
// after reporting a failed start.
bool runOnce(const std::vector<std::wstring>& program, DWORD flags, HANDLE output = nullptr) {
  halcyra::support::Process const process = halcyra::support::start(
      halcyra::support::commandLine(program), {.flags = flags, .output = output, .desktop = interactiveDesktop});
  if (!process) {
    failed("CreateProcessW");
    return false;
  }
  process.awaitEnd(INFINITE);
  return true;
}

int spawn(int samples, const std::vector<std::wstring>& program) {
  for (int i = 0; i < samples; ++i) {
    std::uint64_t const started = nowUs();
    if (!runOnce(program, DETACHED_PROCESS)) return 1;
    std::printf("spawn_us %llu\n", static_cast<unsigned long long>(nowUs() - started));
    std::fflush(stdout);
  }
  return 0;
}

// The program stamps its own starts and ends; the gaps are read from its stamps file.
int restart(int samples, DWORD pauseMs, const wchar_t* logPath, const wchar_t* program) {
  SECURITY_ATTRIBUTES inheritable{sizeof inheritable, nullptr, TRUE};
  HANDLE const log =
      CreateFileW(logPath, GENERIC_WRITE, FILE_SHARE_READ, &inheritable, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (log == INVALID_HANDLE_VALUE) return failed("CreateFileW");
  int status = 0;
  for (int i = 0; i < samples && status == 0; ++i) {
    if (i > 0) Sleep(pauseMs);
    status = runOnce({program}, CREATE_NO_WINDOW, log) ? 0 : 1;
  }
  CloseHandle(log);
  return status;
}

// The time of the last line "<kind> T" of the stamps file, 0 when there is none.
std::uint64_t lastStamp(const wchar_t* path, const char* kind) {
  HANDLE const file = CreateFileW(path, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                  OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return 0;
  std::string text;
  char chunk[4096];
  DWORD got = 0;
  while (ReadFile(file, chunk, sizeof chunk, &got, nullptr) && got > 0) text.append(chunk, got);
  CloseHandle(file);
  std::string const prefix = std::string(kind) + " ";
  std::size_t at = text.rfind(prefix);
  // Only a whole line counts: the prefix at a line's start, and the line complete.
  while (at != std::string::npos && at != 0 && text[at - 1] != '\n') {
    at = text.rfind(prefix, at - 1);
  }
  if (at == std::string::npos || text.find('\n', at) == std::string::npos) return 0;
  return std::strtoull(text.c_str() + at + prefix.size(), nullptr, 10);
}

// Prints "<name> N", the µs from `from` to `to`, when the stamp `to` was found after `from`.
void printSince(const char* name, std::uint64_t from, std::uint64_t to) {
  if (to >= from && from != 0) std::printf("%s %llu\n", name, static_cast<unsigned long long>(to - from));
}

constexpr DWORD kSettleMs = 500;

int ctrlCStop(int samples, const wchar_t* serviceExe, const wchar_t* serverExe, const wchar_t* stamps) {
  for (int i = 0; i < samples; ++i) {
    std::uint64_t const startedBefore = lastStamp(stamps, "start");
    halcyra::support::Process const server = halcyra::support::start(
        halcyra::support::commandLine({serverExe}), {.flags = CREATE_NO_WINDOW, .desktop = interactiveDesktop});
    if (!server) return failed("CreateProcessW");
    for (int waited = 0; waited < 30000 && lastStamp(stamps, "start") == startedBefore; ++waited) Sleep(1);
    // The service's server has long settled when a stop comes; so does this one.
    Sleep(kSettleMs);

    std::uint64_t const requested = nowUs();
    bool const ran = runOnce({serviceExe, L"--terminate", std::to_wstring(server.id())}, DETACHED_PROCESS);
    bool const ended = server.awaitEnd(10000);
    std::uint64_t const stopped = nowUs();
    if (!ended) server.terminate(1);
    if (!ran || !ended) {
      std::fprintf(stderr, "halcyra-measure: the server did not end on the stop request\n");
      return 1;
    }
    std::printf("ctrl_c_stop_us %llu\n", static_cast<unsigned long long>(stopped - requested));
    printSince("to_ctrl_c_us", requested, lastStamp(stamps, "ctrl-c"));
    std::fflush(stdout);
  }
  return 0;
}

struct ServiceHandles {
  SC_HANDLE manager = nullptr;
  SC_HANDLE service = nullptr;
  ~ServiceHandles() {
    if (service != nullptr) CloseServiceHandle(service);
    if (manager != nullptr) CloseServiceHandle(manager);
  }
};

bool openService(ServiceHandles& handles, const wchar_t* name) {
  handles.manager = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT);
  if (handles.manager == nullptr) {
    failed("OpenSCManagerW");
    return false;
  }
  handles.service = OpenServiceW(handles.manager, name, SERVICE_START | SERVICE_STOP | SERVICE_QUERY_STATUS);
  if (handles.service == nullptr) {
    failed("OpenServiceW");
    return false;
  }
  return true;
}

// The time the service (or, with a stamps file, its server) was seen running; 0 while not.
std::uint64_t runningSince(SC_HANDLE service, const wchar_t* stamps, std::uint64_t stampBefore) {
  if (stamps != nullptr) {
    std::uint64_t const started = lastStamp(stamps, "start");
    return started != stampBefore ? started : 0;
  }
  SERVICE_STATUS status{};
  return QueryServiceStatus(service, &status) && status.dwCurrentState == SERVICE_RUNNING ? nowUs() : 0;
}

int serviceStart(const wchar_t* name, const wchar_t* stamps) {
  ServiceHandles handles;
  if (!openService(handles, name)) return 1;
  std::uint64_t const stampBefore = stamps != nullptr ? lastStamp(stamps, "start") : 0;
  std::uint64_t const requested = nowUs();
  if (!StartServiceW(handles.service, 0, nullptr)) return failed("StartServiceW");
  for (int waited = 0; waited < 30000; ++waited) {
    std::uint64_t const started = runningSince(handles.service, stamps, stampBefore);
    if (started != 0) {
      std::printf("start_us %llu\n", static_cast<unsigned long long>(started - requested));
      return 0;
    }
    Sleep(1);
  }
  std::fprintf(stderr, "halcyra-measure: no server start within 30 s\n");
  return 1;
}

int serviceStop(const wchar_t* name, const wchar_t* stamps) {
  ServiceHandles handles;
  if (!openService(handles, name)) return 1;
  SERVICE_STATUS status{};
  std::uint64_t const requested = nowUs();
  if (!ControlService(handles.service, SERVICE_CONTROL_STOP, &status)) return failed("ControlService");
  for (int waited = 0; waited < 60000; ++waited) {
    if (!QueryServiceStatus(handles.service, &status)) return failed("QueryServiceStatus");
    if (status.dwCurrentState == SERVICE_STOPPED) {
      std::uint64_t const stopped = nowUs();
      std::printf("stop_us %llu\n", static_cast<unsigned long long>(stopped - requested));
      if (stamps != nullptr) {
        printSince("to_ctrl_c_us", requested, lastStamp(stamps, "ctrl-c"));
        printSince("ctrl_c_to_stopped_us", lastStamp(stamps, "ctrl-c"), stopped);
        printSince("exit_to_stopped_us", lastStamp(stamps, "exit"), stopped);
      }
      return 0;
    }
    Sleep(1);
  }
  std::fprintf(stderr, "halcyra-measure: the service did not stop within 60 s\n");
  return 1;
}

std::uint64_t ownCpuUs() {
  FILETIME created{}, exited{}, kernel{}, user{};
  GetProcessTimes(GetCurrentProcess(), &created, &exited, &kernel, &user);
  return microsecondsOf(kernel) + microsecondsOf(user);
}

int cpuResolution() {
  std::uint64_t smallest = UINT64_MAX;
  std::uint64_t last = ownCpuUs();
  for (int steps = 0; steps < 3;) {
    std::uint64_t const now = ownCpuUs();
    if (now != last) {
      smallest = now - last < smallest ? now - last : smallest;
      last = now;
      ++steps;
    }
  }
  std::printf("cpu_resolution_us %llu\n", static_cast<unsigned long long>(smallest));
  return 0;
}

int dispatch(wchar_t** arguments, int count) {
  if (count < 2) return 2;
  std::wstring const command = arguments[1];
  wchar_t** const rest = arguments + 2;
  int const restCount = count - 2;
  if (command == L"nothing") return 0;
  if (command == L"spawn" && restCount >= 2) return spawn(countOf(rest[0]), {rest + 1, rest + restCount});
  if (command == L"restart" && restCount == 4) {
    return restart(countOf(rest[0]), static_cast<DWORD>(countOf(rest[1])), rest[2], rest[3]);
  }
  if (command == L"ctrl-c-stop" && restCount == 4) return ctrlCStop(countOf(rest[0]), rest[1], rest[2], rest[3]);
  if (command == L"service-start" && (restCount == 1 || restCount == 2)) {
    return serviceStart(rest[0], restCount == 2 ? rest[1] : nullptr);
  }
  if (command == L"service-stop" && (restCount == 1 || restCount == 2)) {
    return serviceStop(rest[0], restCount == 2 ? rest[1] : nullptr);
  }
  if (command == L"cpu-resolution") return cpuResolution();
  return 2;
}

}  // namespace

int main() {
  int count = 0;
  wchar_t** const arguments = CommandLineToArgvW(GetCommandLineW(), &count);
  if (arguments == nullptr) return failed("CommandLineToArgvW");
  int const result = dispatch(arguments, count);
  if (result == 2) {
    std::fprintf(stderr,
                 "usage: halcyra-measure nothing|spawn|restart|ctrl-c-stop|service-start|service-stop|"
                 "cpu-resolution ...\n");
  }
  std::fflush(stdout);
  LocalFree(arguments);
  return result;
}
