#include "windows_process.h"

namespace halcyra::support {

std::wstring commandLine(const std::vector<std::wstring>& arguments) {
  std::wstring line;
  for (std::wstring const& argument : arguments) {
    if (!line.empty()) line += L' ';
    line += L'"';
    std::size_t backslashes = 0;
    for (wchar_t const c : argument) {
      if (c == L'\\') {
        ++backslashes;
        continue;
      }
      line.append(c == L'"' ? 2 * backslashes + 1 : backslashes, L'\\');
      backslashes = 0;
      line += c;
    }
    line.append(2 * backslashes, L'\\');
    line += L'"';
  }
  return line;
}

Process::Process(DWORD pid, DWORD access)
    : handle_(OpenProcess(SYNCHRONIZE | PROCESS_QUERY_LIMITED_INFORMATION | access, FALSE, pid)), pid_(pid) {}

Process::~Process() {
  if (handle_ != nullptr) CloseHandle(handle_);
}

bool Process::awaitEnd(DWORD milliseconds) const {
  return handle_ != nullptr && WaitForSingleObject(handle_, milliseconds) == WAIT_OBJECT_0;
}

DWORD Process::exitCode() const {
  DWORD code = STILL_ACTIVE;
  if (handle_ != nullptr) GetExitCodeProcess(handle_, &code);
  return code;
}

bool Process::terminate(DWORD code) const { return handle_ != nullptr && TerminateProcess(handle_, code) != 0; }

Process start(const std::wstring& line, const StartOptions& options) {
  STARTUPINFOW startup{};
  startup.cb = sizeof startup;
  startup.lpDesktop = const_cast<wchar_t*>(options.desktop);
  bool const redirected = options.input != nullptr || options.output != nullptr;
  if (redirected) {
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = options.input;
    startup.hStdOutput = options.output;
    startup.hStdError = options.output;
  }
  DWORD const flags = options.flags | (options.environment != nullptr ? CREATE_UNICODE_ENVIRONMENT : 0u);
  std::wstring mutableLine = line;
  PROCESS_INFORMATION process{};
  if (!CreateProcessW(nullptr, mutableLine.data(), nullptr, nullptr, redirected, flags, options.environment, nullptr,
                      &startup, &process)) {
    return {};
  }
  CloseHandle(process.hThread);
  return {process.hProcess, process.dwProcessId};
}

bool alive(DWORD pid) {
  Process const process(pid);
  return process && process.exitCode() == STILL_ACTIVE;
}

bool kill(DWORD pid, DWORD code) { return Process(pid, PROCESS_TERMINATE).terminate(code); }

DWORD servicePid(const wchar_t* name) {
  SC_HANDLE const manager = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT);
  if (manager == nullptr) return 0;
  SC_HANDLE const service = OpenServiceW(manager, name, SERVICE_QUERY_STATUS);
  SERVICE_STATUS_PROCESS status{};
  DWORD needed = 0;
  bool const ok = service != nullptr && QueryServiceStatusEx(service, SC_STATUS_PROCESS_INFO,
                                                             reinterpret_cast<BYTE*>(&status), sizeof status, &needed);
  if (service != nullptr) CloseServiceHandle(service);
  CloseServiceHandle(manager);
  return ok ? status.dwProcessId : 0;
}

}  // namespace halcyra::support
