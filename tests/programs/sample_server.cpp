// A stand-in for HalcyraServer.exe with scriptable behaviour, for the tests that drive
// the real service under Wine.
//
// It writes its process id, its product version and its working folder to standard output
// and one line to standard error, records its process id in HalcyraServer.pid beside
// itself, and then behaves as told by the text in HALCYRA_SERVER_BEHAVIOUR or, when that is unset, in
// HalcyraServer.behaviour beside it (read once at start). The text is a list of key=value words:
//
//   exit-after-ms=N     end by itself N ms after the start (default: never)
//   exit-code=N         exit code for that end (default 0)
//   on-ctrl-c=exit      on Ctrl-C: print "sample server: Ctrl-C received", wait
//                       ctrl-c-delay-ms (default 0), exit with ctrl-c-exit-code (default 42)
//   on-ctrl-c=ignore    on Ctrl-C: print "sample server: Ctrl-C ignored" and run on
//   stamps=yes          append "start T" when it starts, "ctrl-c T" when a Ctrl-C reaches it
//                       and "exit T" just before it exits to HalcyraServer.stamps beside
//                       itself, T in microseconds of the precise system time, so that
//                       timings across processes line up
//   grandchild=yes      start a copy of itself with the argument --grandchild that shares
//                       its console; the copy records its id in HalcyraServer.grandchild.pid,
//                       runs until it is ended and exits 43 on Ctrl-C
//   print-lines=N       write N numbered lines of 64 bytes ("line <number>", padded) to
//                       standard output at once, in blocks of whole lines
//   trickle-ms=N        then trickle-lines (default 1) more numbered lines every N ms until
//                       it ends
//
// Numbers may be written in decimal or with 0x. Unknown words are reported and ignored.

#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <cwchar>
#include <string>

namespace {

struct Behaviour {
  DWORD exitAfterMs = INFINITE;
  DWORD exitCode = 0;
  bool obeyCtrlC = true;
  DWORD ctrlCDelayMs = 0;
  DWORD ctrlCExitCode = 42;
  bool startGrandchild = false;
  bool writeStamps = false;
  DWORD printLines = 0;
  DWORD trickleMs = 0;
  DWORD trickleLines = 1;
};

Behaviour behaviour;
bool isGrandchild = false;

void say(FILE* stream, const char* format, unsigned long value) {
  std::fprintf(stream, format, value);
  std::fflush(stream);
}

std::wstring modulePath() {
  wchar_t buffer[MAX_PATH];
  DWORD const length = GetModuleFileNameW(nullptr, buffer, MAX_PATH);
  return std::wstring(buffer, length);
}

// The path beside this executable with its ".exe" replaced by `suffix`.
std::wstring besideSelf(const wchar_t* suffix) {
  std::wstring path = modulePath();
  std::size_t const dot = path.find_last_of(L'.');
  if (dot != std::wstring::npos && path.find_first_of(L"\\/", dot) == std::wstring::npos) {
    path.resize(dot);
  }
  return path + suffix;
}

void writeWholeFile(const std::wstring& path, const std::string& text) {
  HANDLE const file = CreateFileW(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_DELETE, nullptr,
                                  CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) {
    say(stderr, "sample server: cannot write its id file (error %lu)\n", GetLastError());
    return;
  }
  DWORD written = 0;
  WriteFile(file, text.data(), static_cast<DWORD>(text.size()), &written, nullptr);
  CloseHandle(file);
}

std::string readWholeFile(const std::wstring& path) {
  std::string text;
  HANDLE const file = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                  nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) {
    return text;
  }
  char chunk[512];
  DWORD got = 0;
  while (ReadFile(file, chunk, sizeof chunk, &got, nullptr) && got > 0) {
    text.append(chunk, got);
  }
  CloseHandle(file);
  return text;
}

// One line "<event> <µs of the precise system time>" appended to the stamps file; the
// file is opened and closed each time so that every copy of the server appends in turn.
void stamp(const char* event) {
  if (!behaviour.writeStamps) {
    return;
  }
  FILETIME now{};
  GetSystemTimePreciseAsFileTime(&now);
  unsigned long long const microseconds =
      ((static_cast<unsigned long long>(now.dwHighDateTime) << 32) | now.dwLowDateTime) / 10;
  std::string const line = std::string(event) + " " + std::to_string(microseconds) + "\n";
  HANDLE const file = CreateFileW(besideSelf(L".stamps").c_str(), FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                  nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) {
    say(stderr, "sample server: cannot write its stamps file (error %lu)\n", GetLastError());
    return;
  }
  DWORD written = 0;
  WriteFile(file, line.data(), static_cast<DWORD>(line.size()), &written, nullptr);
  CloseHandle(file);
}

std::string behaviourText() {
  char const* const fromEnvironment = std::getenv("HALCYRA_SERVER_BEHAVIOUR");
  if (fromEnvironment != nullptr) {
    return fromEnvironment;
  }
  return readWholeFile(besideSelf(L".behaviour"));
}

DWORD number(const std::string& text) { return static_cast<DWORD>(std::strtoul(text.c_str(), nullptr, 0)); }

void applyWord(const std::string& word) {
  std::size_t const equals = word.find('=');
  std::string const key = word.substr(0, equals);
  std::string const value = equals == std::string::npos ? std::string() : word.substr(equals + 1);
  if (key == "exit-after-ms") {
    behaviour.exitAfterMs = number(value);
  } else if (key == "exit-code") {
    behaviour.exitCode = number(value);
  } else if (key == "on-ctrl-c") {
    behaviour.obeyCtrlC = value != "ignore";
  } else if (key == "ctrl-c-delay-ms") {
    behaviour.ctrlCDelayMs = number(value);
  } else if (key == "ctrl-c-exit-code") {
    behaviour.ctrlCExitCode = number(value);
  } else if (key == "stamps") {
    behaviour.writeStamps = value == "yes";
  } else if (key == "print-lines") {
    behaviour.printLines = number(value);
  } else if (key == "trickle-lines") {
    behaviour.trickleLines = number(value);
  } else if (key == "trickle-ms") {
    behaviour.trickleMs = number(value);
  } else if (key == "grandchild") {
    behaviour.startGrandchild = value == "yes";
  } else {
    std::fprintf(stderr, "sample server: unknown behaviour word '%s'\n", word.c_str());
    std::fflush(stderr);
  }
}

void readBehaviour() {
  std::string const text = behaviourText();
  std::size_t position = 0;
  while (position < text.size()) {
    std::size_t const start = text.find_first_not_of(" \t\r\n;", position);
    if (start == std::string::npos) {
      break;
    }
    std::size_t const end = text.find_first_of(" \t\r\n;", start);
    applyWord(text.substr(start, end == std::string::npos ? std::string::npos : end - start));
    position = end == std::string::npos ? text.size() : end;
  }
}

BOOL WINAPI onConsoleEvent(DWORD event) {
  if (event != CTRL_C_EVENT) {
    return FALSE;
  }
  if (isGrandchild) {
    say(stdout, "sample server grandchild: Ctrl-C received (%lu)\n", GetCurrentProcessId());
    ExitProcess(43);
  }
  stamp("ctrl-c");
  if (!behaviour.obeyCtrlC) {
    say(stdout, "sample server: Ctrl-C ignored (%lu)\n", GetCurrentProcessId());
    return TRUE;
  }
  say(stdout, "sample server: Ctrl-C received (%lu)\n", GetCurrentProcessId());
  Sleep(behaviour.ctrlCDelayMs);
  stamp("exit");
  ExitProcess(behaviour.ctrlCExitCode);
}

// Numbered lines from `first`, each written whole: a reader of the log sees every line at
// most once and in order, and a gap where lines were lost.
constexpr std::size_t kLineBytes = 64;
unsigned long nextLine = 0;

void printLines(unsigned long count) {
  std::string block;
  HANDLE const out = GetStdHandle(STD_OUTPUT_HANDLE);
  for (unsigned long i = 0; i < count; ++i) {
    char line[kLineBytes + 1];
    std::snprintf(line, sizeof line, "line %010lu %-*s\n", nextLine++, static_cast<int>(kLineBytes - 17), "x");
    block.append(line, kLineBytes);
    if (block.size() >= 64 * 1024 || i + 1 == count) {
      DWORD written = 0;
      WriteFile(out, block.data(), static_cast<DWORD>(block.size()), &written, nullptr);
      block.clear();
    }
  }
}

void startGrandchild() {
  std::wstring commandLine = L"\"" + modulePath() + L"\" --grandchild";
  STARTUPINFOW startup{};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION process{};
  // No new console and no break-away: the grandchild shares this console and this job.
  if (!CreateProcessW(nullptr, commandLine.data(), nullptr, nullptr, TRUE, 0, nullptr, nullptr, &startup, &process)) {
    say(stderr, "sample server: cannot start the grandchild (error %lu)\n", GetLastError());
    return;
  }
  say(stdout, "sample server: started grandchild %lu\n", process.dwProcessId);
  CloseHandle(process.hThread);
  CloseHandle(process.hProcess);
}

}  // namespace

int main(int argc, char** argv) {
  isGrandchild = argc == 2 && std::strcmp(argv[1], "--grandchild") == 0;
  if (!isGrandchild) {
    readBehaviour();
  }
  SetConsoleCtrlHandler(onConsoleEvent, TRUE);
  if (!isGrandchild) {
    stamp("start");  // from here on a stop request reaches it
  }
  DWORD const self = GetCurrentProcessId();
  writeWholeFile(besideSelf(isGrandchild ? L".grandchild.pid" : L".pid"), std::to_string(self) + "\n");

  if (isGrandchild) {
    say(stdout, "sample server grandchild: started (%lu)\n", self);
    Sleep(INFINITE);
    return 0;
  }
  say(stdout, "sample server: started (%lu)\n", self);
  std::printf("sample server: version %s\n", SAMPLE_VERSION_TEXT);
  wchar_t folder[MAX_PATH];
  if (GetCurrentDirectoryW(MAX_PATH, folder) > 0) {
    std::printf("sample server: working folder %ls\n", folder);
    std::fflush(stdout);
  }
  say(stderr, "sample server: standard error works (%lu)\n", self);
  if (behaviour.startGrandchild) {
    startGrandchild();
  }
  printLines(behaviour.printLines);
  if (behaviour.trickleMs > 0) {
    ULONGLONG const start = GetTickCount64();
    while (behaviour.exitAfterMs == INFINITE || GetTickCount64() - start < behaviour.exitAfterMs) {
      Sleep(behaviour.trickleMs);
      printLines(behaviour.trickleLines);
    }
  } else {
    Sleep(behaviour.exitAfterMs);
  }
  say(stdout, "sample server: exiting with %lu\n", behaviour.exitCode);
  stamp("exit");
  ExitProcess(behaviour.exitCode);
}
