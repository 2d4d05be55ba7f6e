#pragma once
// Processes and services for the Windows test programs (the end-to-end tests, the probe and
// the measurement driver): one quoting of command lines, one way to start, watch and end a
// process, one lookup of a service's process.

#include <windows.h>

#include <string>
#include <vector>

namespace halcyra::support {

// A Windows command line of the arguments, each quoted so that CommandLineToArgvW and the C
// runtime read it back unchanged (backslashes doubled only before a quotation mark).
std::wstring commandLine(const std::vector<std::wstring>& arguments);

// A process handle with an owner: opened by id, or the process `start` created.
class Process {
 public:
  Process() = default;
  // Opened for waiting and reading its exit code (plus `access`); empty when it is gone.
  explicit Process(DWORD pid, DWORD access = 0);
  Process(HANDLE handle, DWORD pid) : handle_(handle), pid_(pid) {}
  Process(const Process&) = delete;
  Process& operator=(const Process&) = delete;
  ~Process();

  explicit operator bool() const { return handle_ != nullptr; }
  DWORD id() const { return pid_; }
  bool awaitEnd(DWORD milliseconds) const;
  // STILL_ACTIVE while it runs.
  DWORD exitCode() const;
  bool terminate(DWORD code) const;

 private:
  HANDLE handle_ = nullptr;
  DWORD pid_ = 0;
};

struct StartOptions {
  DWORD flags = 0;          // CreateProcessW's creation flags
  HANDLE input = nullptr;   // inheritable handles for standard input, output and error
  HANDLE output = nullptr;  // (standard error goes with standard output)
  const wchar_t* desktop = nullptr;
  wchar_t* environment = nullptr;  // a UTF-16 block: CREATE_UNICODE_ENVIRONMENT is added
};

// Starts `line` (the program is its first argument, found on the search path when it has
// no folder); empty when CreateProcessW fails, GetLastError tells why.
Process start(const std::wstring& line, const StartOptions& options = {});

bool alive(DWORD pid);
// TerminateProcess with the code; false when the process cannot be opened or ended.
bool kill(DWORD pid, DWORD code = 1);
// The process id of the running service, 0 when it has none or is not installed.
DWORD servicePid(const wchar_t* name);

}  // namespace halcyra::support
