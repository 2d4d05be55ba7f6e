#pragma once
// The fixture of the end-to-end scenarios: the real HalcyraService.exe installed as a
// service in a private Wine prefix, with the sample server (and, for updates, the sample
// updater and a local manifest server) in its installRoot, driven through the real "sc".
//
// Adding scenarios: write tests/e2e/<area>_e2e_test.cpp that includes "e2e_fixture.h" and
// holds one TEST_F(ServiceE2E, Name) per scenario (or TEST_F of a fixture derived from
// ServiceE2E), written at the start of a line, Name of letters and digits and unique
// across the files. tests/e2e/CMakeLists.txt builds every *_e2e_test.cpp of this folder into
// halcyra-e2e.exe and registers each TEST_F found there as a CTest test e2e_<Name> of its
// own (label e2e, 300 s, the prefix's resource lock); nothing else needs to change. A name
// that starts with DISABLED_ is a long run that only a tool starts (tools/soak-wine.sh).
//
// Each test runs through tests/e2e/e2e_run.sh, which sets up the prefix, starts the
// wineserver with Wine's event-log trace in a file, starts the manifest servers and passes
// their ports and the programs under test in the environment (HALCYRA_E2E_*). Every
// scenario starts from a prefix with no service; TearDown stops and removes the service,
// and prints the service's log and events when the scenario failed.
//
// Waits are against deadlines (awaitUntil), never fixed sleeps. Helpers that must hold for
// the scenario to go on return false after recording a failure, so a scenario writes
//   if (!installService("on-ctrl-c=exit") || !startService()) return;

#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace halcyra::e2e {

using namespace std::chrono_literals;
using Milliseconds = std::chrono::milliseconds;

// ---- programs and processes -------------------------------------------------------------

// A program run to its end (or to its time limit): its standard output and error, carriage
// returns removed, and its full 32-bit exit code.
struct Outcome {
  bool started = false;  // CreateProcessW succeeded
  bool ended = false;    // it ended within the limit (else it was terminated)
  std::uint32_t exitCode = 0;
  std::string output;
};

// Runs a command line (program found as CreateProcessW finds it) with its output in a file,
// never a pipe: a process it leaves behind must not hold the run open. `flags` are
// CreateProcessW's creation flags (DETACHED_PROCESS, for one). Extra environment entries
// "NAME=value" are added to this process's environment for the child.
Outcome run(const std::wstring& commandLine, Milliseconds limit = 60s, std::uint32_t flags = 0,
            const std::vector<std::wstring>& environment = {});

// A Windows command line of the arguments, quoted by the usual rules.
std::wstring commandLine(const std::vector<std::wstring>& arguments);

bool alive(std::uint32_t pid);
// TerminateProcess with `code`; false when the process cannot be opened or ended.
bool kill(std::uint32_t pid, std::uint32_t code = 1);

// A process opened by id, so that its exit code can be read after it has ended.
class ProcessWatch {
 public:
  explicit ProcessWatch(std::uint32_t pid);
  ~ProcessWatch();
  ProcessWatch(const ProcessWatch&) = delete;
  ProcessWatch& operator=(const ProcessWatch&) = delete;
  bool opened() const { return handle_ != nullptr; }
  // True when it has ended within `limit`.
  bool awaitEnd(Milliseconds limit);
  std::uint32_t exitCode() const;

 private:
  void* handle_ = nullptr;
};

// ---- time -------------------------------------------------------------------------------

// True as soon as `condition` holds, false when it has not by the deadline. It is tested
// once more at the deadline, so a slow condition still gets its last chance.
bool awaitUntil(Milliseconds limit, const std::function<bool()>& condition, Milliseconds poll = 200ms);

// Milliseconds since it was made or last reset.
class Stopwatch {
 public:
  Stopwatch() : start_(std::chrono::steady_clock::now()) {}
  void reset() { start_ = std::chrono::steady_clock::now(); }
  std::int64_t ms() const {
    return std::chrono::duration_cast<Milliseconds>(std::chrono::steady_clock::now() - start_).count();
  }

 private:
  std::chrono::steady_clock::time_point start_;
};

// ---- text and files ---------------------------------------------------------------------

std::wstring widen(const std::string& utf8);
std::string narrow(const std::wstring& text);
// The environment variable, or "" when it is unset.
std::string environment(const char* name);
// The Windows name of a Unix path (through Wine's Z: drive, the file system's root).
std::wstring windowsPath(const std::string& unixPath);

bool exists(const std::wstring& path);
// The whole file, or "" when it cannot be read; readText drops carriage returns.
std::string readBytes(const std::wstring& path);
std::string readText(const std::wstring& path);
bool writeBytes(const std::wstring& path, const std::string& bytes);
bool copyFile(const std::wstring& from, const std::wstring& to);
bool moveFile(const std::wstring& from, const std::wstring& to);
bool removeFile(const std::wstring& path);
// The number of names (hard links) of a file, 0 when it cannot be opened.
int linkCount(const std::wstring& path);
// Creates the folder and its parents.
bool makeFolders(const std::wstring& path);
// Deletes the folder with everything inside (read-only attributes included).
void removeTree(const std::wstring& path);
// How many times `text` occurs in `in`, counted line by line.
int countLines(const std::string& in, const std::string& text);

// ---- the installed service --------------------------------------------------------------

// SERVICE_STOPPED and SERVICE_RUNNING, as "sc query" prints them.
constexpr int kStopped = 1;
constexpr int kRunning = 4;

class ServiceE2E : public ::testing::Test {
 protected:
  void SetUp() override;
  void TearDown() override;

  // The layout of an installation: installRoot holds the server, bin\ the service; the probe
  // sits outside it, in tools\.
  const std::wstring base = L"C:\\halcyra-e2e";
  const std::wstring root = base + L"\\Halcyra";
  const std::wstring serviceExe = root + L"\\bin\\HalcyraService.exe";
  const std::wstring probeExe = base + L"\\tools\\halcyra-probe.exe";
  const std::wstring updaterExe = root + L"\\updater\\sample-updater.exe";

  // The programs under test as built (Windows paths).
  static std::wstring builtService();
  static std::wstring builtServer();
  static std::wstring builtUpdater();
  static std::wstring builtProbe();

  // A fresh installRoot with the service, the sample server told `behaviour` (the words of
  // HalcyraServer.behaviour) and the probe; no log; the service created with "sc create".
  bool installService(const std::string& behaviour);
  // The sample updater in installRoot\updater, where writeUpdateConfig names it.
  bool installUpdater();
  // A configuration with automatic updates from `server` (e.g. "http://127.0.0.1:8080").
  bool writeUpdateConfig(const std::string& server, const std::string& versionFile = "version.json");
  // The configuration as writeUpdateConfig writes it, in JSON text.
  static std::string updaterPathJson();

  // "sc <arguments>" run to its end.
  Outcome sc(const std::wstring& arguments);
  // "sc start", then RUNNING within 10 s.
  bool startService();
  void stopService();
  // "sc query": the state, or 0 when the service is not installed.
  int serviceState();
  std::uint32_t serviceExitCode();
  bool awaitState(int state, Milliseconds limit);
  // Stops the service when it runs and deletes it.
  void removeService();
  // The process id of the running service (0 when it has none).
  std::uint32_t servicePid();

  // "halcyra-probe <arguments>" run to its end.
  Outcome probe(const std::vector<std::wstring>& arguments, Milliseconds limit = 60s,
                const std::vector<std::wstring>& environment = {});

  // The process id a sample program last wrote to `file` (in installRoot), 0 when none.
  std::uint32_t pidIn(const std::wstring& file);
  std::uint32_t serverPid() { return pidIn(L"HalcyraServer.pid"); }
  std::uint32_t grandchildPid() { return pidIn(L"HalcyraServer.grandchild.pid"); }
  // Waits 15 s for the id file a sample program writes when it starts.
  bool awaitStarted(const std::wstring& file = L"HalcyraServer.pid");
  // Waits for a server id other than `previous`.
  bool awaitNewServer(std::uint32_t previous, Milliseconds limit);

  // The service's log in its temporary folder (the Unix user's Temp in the prefix).
  std::wstring tempFolder();
  std::wstring logPath() { return tempFolder() + L"\\HalcyraService.log"; }
  std::string log() { return readText(logPath()); }
  bool logHas(const std::string& text) { return log().find(text) != std::string::npos; }
  int logCount(const std::string& text) { return countLines(log(), text); }

  // The service's events since this scenario began, one a line: "<type> <id>", then ": "
  // and the insertion strings joined by " | " when there are any (from Wine's trace).
  std::vector<std::string> events();
  // Whether an event matches the ECMAScript regular expression as a whole.
  bool traced(const std::string& pattern);

  // The manifest server (Python's http.server) that serves manifestFolder() on
  // 127.0.0.1:manifestPort(); manifestRequests counts its "GET <path>" lines since this
  // scenario began. stopManifestServer ends it for good (for this run of the program).
  static int manifestPort();
  static std::string manifestUrl();
  std::wstring manifestFolder();
  bool writeManifest(const std::string& name, const std::string& json);
  int manifestRequests(const std::string& path);
  bool stopManifestServer();
  // Update servers that never answer: "silent" accepts and says nothing, "unaccepted"
  // never completes a connection; stalledConnections counts the silent one's connections.
  static int silentPort();
  static int unacceptedPort();
  int stalledConnections();

  // The wrapper's scratch folder (Windows path).
  static std::wstring work();

 private:
  std::size_t traceStart_ = 0;
  std::size_t httpLogStart_ = 0;
  std::size_t slowLogStart_ = 0;
};

// ---- the service's process as Linux sees it ---------------------------------------------

// The Unix process that runs the Windows process `command` (a name in its command line)
// of this prefix, 0 when there is none.
int unixPidOf(const std::string& command);
// User plus system CPU time of a Unix process in µs, for the whole process (ended threads
// included, unlike Wine's GetProcessTimes for another process); -1 when unreadable.
std::int64_t unixCpuUs(int unixPid);
// Open descriptors and anonymous resident memory (kB) of a Unix process; -1 when unreadable.
int unixDescriptors(int unixPid);
std::int64_t unixAnonKb(int unixPid);

}  // namespace halcyra::e2e
