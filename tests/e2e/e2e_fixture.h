#pragma once
// The fixture of the end-to-end scenarios: the real HalcyraService.exe installed as a
// service in a private Wine prefix, with the sample server (and, for updates, the sample
// updater and a local manifest server) in its installRoot, driven through the real "sc".
// tests/e2e/CMakeLists.txt makes each TEST_F of the *_e2e_test.cpp files a CTest test of its
// own, run through e2e_run.sh, which sets up the prefix and the servers and passes them in
// HALCYRA_E2E_*. Each scenario starts with no service; TearDown removes it and prints the
// log and events of a failed one. Waits are against deadlines; helpers that must hold return
// false after recording a failure:  if (!installService("") || !startService()) return;

#include <gtest/gtest.h>
#include <windows.h>

#include <chrono>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "windows_process.h"

namespace halcyra::e2e {

using namespace std::chrono_literals;
using Milliseconds = std::chrono::milliseconds;

// ---- programs and processes -------------------------------------------------------------

// A program run to its end (or terminated at its time limit); output without carriage returns.
struct Outcome {
  bool started = false;
  bool ended = false;
  std::uint32_t exitCode = 0;
  std::string output;
};

// Output goes to a file, never a pipe, so a process left behind cannot hold the run open.
// `flags` are CreateProcessW's; `environment` entries "NAME=value" are added for the child.
Outcome run(const std::wstring& commandLine, Milliseconds limit = 60s, std::uint32_t flags = 0,
            const std::vector<std::wstring>& environment = {});
using support::alive;
using support::commandLine;
using support::kill;  // TerminateProcess with exit code 1 unless told another

// A process opened by id, so that its exit code can be read after it has ended.
class ProcessWatch : public support::Process {
 public:
  explicit ProcessWatch(std::uint32_t pid) : Process(pid) {}
  bool opened() const { return static_cast<bool>(*this); }
  bool awaitEnd(Milliseconds limit) const { return Process::awaitEnd(static_cast<DWORD>(limit.count())); }
};

// ---- time -------------------------------------------------------------------------------

// True as soon as `condition` holds; tested once more at the deadline.
bool awaitUntil(Milliseconds limit, const std::function<bool()>& condition, Milliseconds poll = 200ms);

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

std::string narrow(const std::wstring& text);
std::string environment(const char* name);  // "" when unset
// The Windows name of a Unix path (through Wine's Z: drive).
std::wstring windowsPath(const std::string& unixPath);

bool exists(const std::wstring& path);
// The whole file, or "" when it cannot be read; readText drops carriage returns.
std::string readBytes(const std::wstring& path);
std::string readText(const std::wstring& path);
bool writeBytes(const std::wstring& path, const std::string& bytes);
bool copyFile(const std::wstring& from, const std::wstring& to);
bool moveFile(const std::wstring& from, const std::wstring& to);
bool removeFile(const std::wstring& path);
int linkCount(const std::wstring& path);  // 0 when it cannot be opened
bool makeFolders(const std::wstring& path);
void removeTree(const std::wstring& path);  // read-only files included
// The lines of `in` that contain `text`.
int countLines(const std::string& in, const std::string& text);

// ---- the installed service --------------------------------------------------------------

class ServiceE2E : public ::testing::Test {
 protected:
  void SetUp() override;
  void TearDown() override;

  // installRoot holds the server, bin\ the service; the probe sits outside it, in tools\.
  const std::wstring base = L"C:\\halcyra-e2e";
  const std::wstring root = base + L"\\Halcyra";
  const std::wstring serviceExe = root + L"\\bin\\HalcyraService.exe";
  const std::wstring probeExe = base + L"\\tools\\halcyra-probe.exe";
  const std::wstring updaterExe = root + L"\\updater\\sample-updater.exe";

  static std::wstring builtServer();

  // A fresh installRoot with the service, the probe and the sample server told `behaviour`
  // (HalcyraServer.behaviour); no log; the service created with "sc create".
  bool installService(const std::string& behaviour);
  bool installUpdater();
  // A configuration with automatic updates from `server`; updaterPathJson() is its
  // updaterPath as JSON text.
  bool writeUpdateConfig(const std::string& server, const std::string& versionFile = "version.json");
  static std::string updaterPathJson();
  // What the sample updater received (UTF-16 in its file), "" when nothing.
  std::string updaterReceived();

  // "sc start", then RUNNING within 10 s.
  bool startService();
  // "sc stop", then STOPPED within `limit` (0ms: no wait).
  bool stopService(Milliseconds limit = 15s);
  // SERVICE_RUNNING and the like, 0 when the service is not installed.
  DWORD serviceState();
  std::uint32_t serviceExitCode();
  bool awaitState(DWORD state, Milliseconds limit);
  void removeService();
  std::uint32_t servicePid() { return support::servicePid(L"HalcyraService"); }  // 0 when it has no process

  Outcome probe(const std::vector<std::wstring>& arguments, const std::vector<std::wstring>& environment = {});

  // The process id a sample program last wrote to `file` in installRoot, 0 when none.
  std::uint32_t pidIn(const std::wstring& file);
  std::uint32_t serverPid() { return pidIn(L"HalcyraServer.pid"); }
  std::uint32_t grandchildPid() { return pidIn(L"HalcyraServer.grandchild.pid"); }
  // Waits 15 s for the id file a sample program writes when it starts.
  bool awaitStarted(const std::wstring& file = L"HalcyraServer.pid");
  bool awaitNewServer(std::uint32_t previous, Milliseconds limit);

  // The service's log, in the Temp folder of the prefix's user.
  std::wstring logPath();
  bool logHas(const std::string& text) { return readText(logPath()).find(text) != std::string::npos; }
  int logCount(const std::string& text) { return countLines(readText(logPath()), text); }

  // The service's events since the scenario began (from Wine's trace), one a line:
  // "<type> <id>", then ": " and the insertion strings joined by " | " when there are any.
  std::vector<std::string> events();
  // The events that match the ECMAScript regular expression as a whole.
  int tracedCount(const std::string& pattern);
  bool traced(const std::string& pattern) { return tracedCount(pattern) > 0; }

  // The manifest server serves manifestFolder() at manifestUrl(); manifestRequests counts
  // its "GET <path>" lines since the scenario began; stopManifestServer ends it for the run.
  static std::string manifestUrl();
  std::wstring manifestFolder();
  bool writeManifest(const std::string& name, const std::string& json);
  int manifestRequests(const std::string& path) { return linesSince(L"http.log", httpLogStart_, "GET " + path); }
  bool stopManifestServer();
  // Update servers that never answer: "silent" accepts and says nothing (stalledConnections
  // counts its connections), "unaccepted" never completes a connection; and "busy" answers
  // every request with 503 and "Retry-After: 120" (busyRequests counts them).
  static int silentPort();
  static int unacceptedPort();
  static int busyPort();
  int stalledConnections() { return linesSince(L"slow.out", slowLogStart_, "connection silent"); }
  int busyRequests() { return linesSince(L"slow.out", slowLogStart_, "connection busy"); }

 private:
  // The lines with `text` in the wrapper's `file` after its first `start` bytes.
  static int linesSince(const wchar_t* file, std::size_t start, const std::string& text);
  std::size_t traceStart_ = 0;
  std::size_t httpLogStart_ = 0;
  std::size_t slowLogStart_ = 0;
};

// ---- the service's process as Linux sees it ---------------------------------------------

// The Unix process of this prefix whose command line has `command`, 0 when there is none.
int unixPidOf(const std::string& command);
// User plus system CPU time in µs of the whole process (ended threads included, unlike
// Wine's GetProcessTimes for another process); -1 when unreadable.
std::int64_t unixCpuUs(int unixPid);
// Open descriptors and anonymous resident memory (kB); -1 when unreadable.
int unixDescriptors(int unixPid);
std::int64_t unixAnonKb(int unixPid);

}  // namespace halcyra::e2e
