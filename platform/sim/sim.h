#pragma once
// Control of the simulated Windows that backs the platform seam in the Linux build.
//
// The machine is deterministic and single-threaded. Time is virtual (milliseconds) and
// moves only inside waits: a wait advances the clock to the next scheduled event (a
// process ending, an SCM control, a console switch, the wait's own time-out). SCM
// controls are delivered to the registered handler at wait points, which is where the
// service thread observes them on Windows. An INFINITE wait with nothing scheduled throws
// `Deadlock` instead of hanging the test.

#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "platform/event_log.h"
#include "platform/service_manager.h"
#include "platform/types.h"

namespace halcyra::sim {

using platform::Dword;
using platform::Handle;

// Thrown by an INFINITE wait that nothing can ever end.
struct Deadlock : std::runtime_error {
  using std::runtime_error::runtime_error;
};

// Thrown by ExitProcess; `runProcess` turns it into the exit code.
struct ProcessExit {
  Dword exitCode;
};

// A brand-new machine: clock 0, empty handle table, call log and file system; the
// service process has id 100 and runs in session 0 with SeTcbPrivilege; console
// session 1; module path C:\Halcyra\bin\HalcyraService.exe; current directory
// C:\Windows\System32; temporary folder C:\Temp\ (which exists); the SCM connected.
void reset();

std::uint64_t now();

// ---- Handles and calls ---------------------------------------------------------------

// Handles open in the whole machine (all processes); leak checks compare it with a baseline.
std::size_t liveHandles();

// What a wait asked for: its handles in order, wait-all or wait-any, and its time-out.
struct WaitRecord {
  std::vector<Handle> handles;
  bool waitAll = false;
  Dword milliseconds = 0;  // kInfinite for no time-out
};

// A control on its way to the service's handler, and whether it reached it (the SCM
// refuses a control the last status report does not accept, or one with no handler).
struct ControlRecord {
  Dword control = 0;
  Dword eventType = 0;
  bool delivered = false;
};

struct Call {
  std::string name;  // the platform operation, e.g. "CreateProcessAsUserW"
  std::string args;  // its arguments as text, e.g. "flags=0x8080400 inherit=1"
  std::uint64_t time = 0;
  Dword processId = 0;  // the process that made the call
  // Typed fields of the calls that scenarios reason about, so that they need not parse
  // `args`: set for WaitForSingleObject and WaitForMultipleObjects, for SetServiceStatus
  // with a status (the state it reports, whether or not the SCM takes it), and for
  // "ServiceControl".
  std::optional<WaitRecord> wait;
  std::optional<Dword> reportedState;
  std::optional<ControlRecord> control;
};
const std::vector<Call>& calls();
std::vector<Call> callsNamed(std::string_view name);
// GetLastError and SetLastError are not logged; every other seam operation is, and
// controls that reach (or are refused to) the service handler appear as "ServiceControl".
// Appends an entry to the log; used to record calls that do not go through the seam
// (libcurl's global initialisation, wrapped at link time in tests).
void logCall(std::string name, std::string args = {});

// The nth call (1-based, counted from this request) of `operation` fails with `error`;
// with `repeat`, that call and every later one fail.
void failCall(std::string_view operation, int nth, Dword error, bool repeat = false);

// From now on every seam call fails at random: with a chance of perMille in 1000, drawn
// from a generator seeded with `seed`, with an error Windows could give for that
// operation (operations that cannot fail on valid arguments, such as CloseHandle and
// SetEvent, are spared). For a call for which throwsBadAlloc answers true, half the
// faults throw std::bad_alloc instead: it stands for the text the caller builds around
// that call.
// perMille 0 turns random faults off.
struct RandomFaults {
  std::uint32_t seed = 0;
  std::uint32_t perMille = 0;
  std::function<bool(const Call&)> throwsBadAlloc;
};
void setRandomFaults(RandomFaults faults);
// Random faults injected since setRandomFaults, by operation; a std::bad_alloc thrown for
// an operation counts under its name followed by " std::bad_alloc".
std::map<std::string, std::size_t> injectedFaults();

// Called with every seam call as it is logged, before it runs (and before a fault is
// drawn for it): lets a scenario check its invariants at chosen points of a run.
void setCallObserver(std::function<void(const Call&)> observer);

// Forgets the call log, the status reports, the reported events and every ended process
// that no handle refers to, so that a run of any length keeps the machine's memory flat.
void forgetHistory();

// ---- Files ---------------------------------------------------------------------------
// Paths are Windows paths: case-insensitive, `\` and `/` both separators.

void setModulePath(const std::u16string& path);  // also creates the file when it is missing
// What GetTempPathW returns, trailing backslash included; the folder is not created.
void setTempPath(std::u16string path);
std::u16string currentDirectory();
void setCurrentDirectory(const std::u16string& path);
void addFile(const std::u16string& path, std::string bytes);  // creates the folders above it
void addDirectory(const std::u16string& path);
// The attribute query for `path` fails with `error` (e.g. access denied).
void setPathError(const std::u16string& path, Dword error);
// The content of the file at `path`, through a hard or symbolic link to it.
std::optional<std::string> fileContent(const std::u16string& path);

// What another user can leave under a name: a second name of an existing file, a link to
// a file (which may not exist) or a junction to a folder.
enum class LinkKind { hard, symbolic, junction };
void addLink(const std::u16string& path, const std::u16string& target, LinkKind kind);
void setReadOnly(const std::u16string& path);
// Another process keeps the file at `path` open for reading, sharing it by `shareMode`;
// a link is followed unless `followLinks` is false (FILE_FLAG_OPEN_REPARSE_POINT).
void holdOpen(const std::u16string& path, Dword shareMode, bool followLinks = true);
// What GetTempPath2W gives, trailing backslash included; nullopt (the default): a system
// without it.
void setTempPath2(std::optional<std::u16string> path);
// false: a system before Windows 10 1809, which refuses FileDispositionInfoEx.
void setDispositionExSupported(bool supported);

// What an open file handle was opened with, for the handle's owner; nullopt for a
// handle that is not an open file.
struct OpenFileRecord {
  std::u16string path;  // full path
  Dword access;
  Dword shareMode;
  bool inheritable;
};
std::optional<OpenFileRecord> openFile(Handle handle);
// Whether the object at `path` itself (not a link's target) exists.
bool nameExists(const std::u16string& path);

// Version information of the file at `path` (which must exist). `totalSize` is what
// GetFileVersionInfoSizeW reports; the product and file versions are MS/LS pairs.
void setVersionInfo(const std::u16string& path, Dword productMS, Dword productLS, Dword fileMS, Dword fileLS,
                    Dword totalSize = 1024);

// ---- Processes -----------------------------------------------------------------------

inline constexpr std::uint64_t kNever = ~std::uint64_t{0};

struct ProgramBehaviour {
  // Started with CreateProcessAsUserW for this program, creation fails with this error.
  std::optional<Dword> failToStart;
  // Written to the process's standard output when it starts (lands in the log file).
  std::string output;
  // Ends by itself this long after its start, with exitCode.
  std::uint64_t exitAfter = kNever;
  Dword exitCode = 0;
  // On a Ctrl-C on its console: ends this long after the event with ctrlCExitCode;
  // kNever means it ignores Ctrl-C.
  std::uint64_t ctrlCExitAfter = 0;
  Dword ctrlCExitCode = 0xC000013A;  // STATUS_CONTROL_C_EXIT
  // Starts a grandchild in the same job that shares its console and runs until ended
  // (it obeys Ctrl-C at once).
  bool startsGrandchild = false;
  // Run synchronously at creation as the new process (GetCurrentProcessId, console
  // calls and GetLastError act for it); its result is the exit code, and the process
  // ends exitAfter (treated as 0 when kNever) after its start. The service's own
  // executable in stop-request mode is installed this way. `args` is the command line
  // split like the C runtime's argv (program name first), in UTF-8.
  std::function<int(const std::vector<std::string>& args)> run;
};

// Programs are found by their full path; a relative application name is resolved
// against the current directory. A path with no program installed fails to start with
// ERROR_FILE_NOT_FOUND (a folder with ERROR_ACCESS_DENIED, a file that is no installed
// program with ERROR_BAD_EXE_FORMAT). Installing creates the file when it is missing.
// A process ended by the close of its kill-on-close job gets exit code 0.
void installProgram(const std::u16string& path, ProgramBehaviour behaviour);

struct ProcessRecord {
  Dword id;
  std::u16string application;  // full path
  std::u16string commandLine;  // as passed, empty for null
  Dword sessionId;             // the token's session
  Dword creationFlags;
  bool inheritHandles;
  Dword startupInfoCb;
  std::u16string desktop;
  std::vector<Handle> inheritedHandles;  // the HANDLE_LIST attribute, when present
  std::optional<Handle> job;             // the job it was created in, when any
  bool hasConsole;                       // every process not created DETACHED_PROCESS
  std::uint64_t startTime;
  std::optional<std::uint64_t> endTime;
  Dword exitCode;                         // valid once ended
  std::vector<std::uint64_t> ctrlCTimes;  // when a Ctrl-C reached it
  std::optional<Dword> parentId;          // for a grandchild
  std::u16string currentDirectory;        // full path the process started in
};
// Every process created so far, in creation order (the service itself not included).
const std::vector<ProcessRecord>& processes();
const ProcessRecord* findProcess(Dword id);

// Runs `body` as the service process and returns its exit code: the value of `body`, or
// the code given to ExitProcess.
int runProcess(const std::function<int()>& body);

// ---- Sessions ------------------------------------------------------------------------

void setConsoleSession(Dword sessionId);  // kNoConsoleSession for none
void setTcbPrivilege(bool held);
// At `time` the console moves to `sessionId` and, if the service accepts session
// changes, a SESSIONCHANGE control with WTS_CONSOLE_CONNECT reaches its handler.
void scheduleConsoleConnect(std::uint64_t time, Dword sessionId);

// ---- Service control manager ---------------------------------------------------------

void setScmConnected(bool connected);  // false: StartServiceCtrlDispatcherA fails with 1063
// A control delivered to the handler at `time` (at the first wait point from then on).
// Like the SCM, the sim delivers stop, pre-shutdown and session-change controls only
// while the last status report accepts them; others are always delivered.
void scheduleControl(std::uint64_t time, Dword control, Dword eventType = 0);
// A control delivered when `operation` is called for the nth time from now, before the
// call itself runs: a control that arrives while the service thread is busy there. On
// Windows the handler runs on the dispatcher thread while the service thread goes on; the
// simulation runs it on the service thread. A control arriving during a status report
// reaches the handler inside that report, once the report is recorded: the service
// thread still holds its turn at the status record then. One arriving during the handler
// itself (the dispatcher runs one handler at a time) reaches the handler at the next wait
// point, or when serviceMain returns if that comes first.
void scheduleControlAtCall(std::string_view operation, int nth, Dword control, Dword eventType = 0);
// Delivers a control to the handler now and returns what the handler returned.
Dword deliverControl(Dword control, Dword eventType = 0);

struct StatusReport {
  platform::ServiceStatus status;
  std::uint64_t time;
};
const std::vector<StatusReport>& statusReports();

// ---- Event log -----------------------------------------------------------------------

struct ReportedEvent {
  std::u16string source;  // as registered
  platform::Word type;
  Dword eventId;
  std::vector<std::u16string> strings;
  std::uint64_t time;
  Dword processId;  // the process that reported it
};
const std::vector<ReportedEvent>& reportedEvents();
// Sources registered and not yet deregistered (they are no kernel handles).
std::size_t openEventSources();
// Installs a compiled message table (the MESSAGETABLE resource's bytes), so that eventText
// can show an event as the event viewer would.
void loadMessageTable(std::string_view resource);
// The event's message with %1, %2, ... replaced by its strings and %% by %, without the
// final line break; an insertion without a string stays as it is. Throws when the table
// has no message with the event's id.
std::u16string eventText(const ReportedEvent& event);

}  // namespace halcyra::sim
