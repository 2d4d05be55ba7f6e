#pragma once
// Internal state of the simulated Windows machine, shared by the sim_*.cpp files.
// Nothing outside platform/sim includes this header.

#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <random>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "platform/service_manager.h"
#include "platform/sim/sim.h"
#include "platform/sim/sim_security.h"
#include "platform/sync.h"
#include "platform/types.h"

namespace halcyra::sim::detail {

using platform::Bool;

inline constexpr Dword kServiceProcessId = 100;
inline constexpr Dword kStillActive = 259;

// Error codes only the simulation produces.
inline constexpr Dword kErrorBadLength = 24;
inline constexpr Dword kErrorGenFailure = 31;
inline constexpr Dword kErrorMoreData = 234;
inline constexpr Dword kErrorAlreadyExists = 183;
inline constexpr Dword kErrorBadExeFormat = 193;
inline constexpr Dword kErrorFilenameExcedRange = 206;
inline constexpr Dword kErrorModNotFound = 126;
inline constexpr Dword kErrorAttributeAlreadySet = 698;  // what Windows reports for a repeated attribute
inline constexpr Dword kErrorInvalidFlags = 1004;
inline constexpr Dword kErrorInvalidServiceControl = 1052;
inline constexpr Dword kErrorServiceDoesNotExist = 1060;
inline constexpr Dword kErrorServiceNotActive = 1062;
inline constexpr Dword kErrorFailedServiceControllerConnect = 1063;
inline constexpr Dword kErrorNoUnicodeTranslation = 1113;
inline constexpr Dword kErrorBadTokenType = 1349;
inline constexpr Dword kErrorResourceTypeNotFound = 1813;

enum class Kind { file, event, process, thread, token, job };

struct HandleEntry {
  Kind kind;
  std::uint64_t object;  // key into the map of its kind (a process id for process and thread)
  Dword owner;           // the process whose handle table holds it
  bool inheritable;
  Dword access;
};

struct EventState {
  bool manualReset;
  bool signalled;
};

struct TokenState {
  Dword sessionId;
  bool primary;
  bool tcb;  // SeTcbPrivilege held
};

struct JobState {
  Dword limitFlags = 0;
  std::size_t handles = 0;
};

struct OpenFileState {
  std::u16string key;  // the file's
  std::u16string path;
  Dword access;
  Dword shareMode;
  std::u16string nameKey;  // the name it was opened by (a hard link's own), for its deletion
  bool deleteOnClose = false;
  bool posixDelete = false;  // the name goes at the close even while others hold the file
};

struct VersionInfo {
  Dword productMS, productLS, fileMS, fileLS, totalSize;
};

// What WinVerifyTrust reports for one file.
struct FileSignature {
  Dword trustResult;
  std::string signerCertificate;
};

struct FsNode {
  bool directory = false;
  std::u16string path;  // as first created, for display
  std::string content;
  std::optional<VersionInfo> version;
  std::optional<LinkKind> link;
  std::u16string linkTarget;  // key of what the link names
  bool readOnly = false;
  // A hard link's own security and signature are unused: its file's stand.
  FileSecurity security;
  std::optional<FileSignature> signature;  // none: unsigned
  bool deletePending = false;              // its name goes when the last handle closes
};

struct PendingEnd {
  std::uint64_t time;
  Dword exitCode;
};

struct ProcessState {
  std::optional<std::size_t> record;  // index into Machine::records; none for the service
  std::u16string image;               // full path of its executable
  std::u16string cwd;
  Dword sessionId = 0;
  bool tcb = false;
  Dword console = 0;  // 0: none
  bool ignoresCtrlC = false;
  bool ended = false;
  std::optional<PendingEnd> pendingEnd;
  Dword lastError = 0;
  Dword creator = 0;
  std::optional<std::uint64_t> job;
  ProgramBehaviour behaviour;
};

struct AttributeValue {
  void* value;
  std::size_t size;
};

struct AttributeList {
  Dword capacity;
  std::map<std::uintptr_t, AttributeValue> attributes;
};

struct TimedControl {
  std::uint64_t time;
  std::uint64_t sequence;
  Dword control;
  Dword eventType;
  // Arrived during a call where the handler cannot run at once; it also reaches the
  // handler when serviceMain returns before the next wait point.
  bool arrivedDuringCall = false;
};

struct CallControl {
  std::string operation;
  int remaining;
  Dword control;
  Dword eventType;
};

struct Fault {
  std::string operation;
  int nth;
  int seen = 0;
  Dword error;
  bool repeat;
};

struct RandomFaultState {
  bool active = false;
  std::mt19937 engine;
  std::uint32_t perMille = 0;
  std::function<bool(const Call&)> throwsBadAlloc;
  std::map<std::string, std::size_t> injected;
};

struct ConsoleSwitch {
  std::uint64_t time;
  Dword sessionId;
};

struct SecurityState;  // sim_security.cpp

struct Machine {
  bool installed = false;  // the defaults of a brand-new machine are in place
  std::uint64_t clock = 0;
  std::uint64_t nextObject = 1;
  std::uintptr_t nextHandle = 0x100;
  Dword nextProcessId = 1000;
  Dword nextConsole = 1;
  Dword current = kServiceProcessId;

  std::map<std::uintptr_t, HandleEntry> handles;
  std::map<std::uint64_t, EventState> events;
  std::map<std::uint64_t, TokenState> tokens;
  std::map<std::uint64_t, JobState> jobs;
  std::map<std::uint64_t, OpenFileState> files;

  std::vector<Call> calls;
  std::vector<Fault> faults;
  std::vector<CallControl> callControls;
  RandomFaultState randomFaults;
  bool lastFaultRandom = false;  // the last call that failed was made to fail at random
  std::function<void(const Call&)> callObserver;

  std::map<std::u16string, FsNode> fs;       // key: upper-cased full path
  std::vector<std::string> failedLibraries;  // sim::failLibrary, first failure first
  Dword libraryError = 0;
  std::map<std::u16string, Dword> pathErrors;
  std::u16string modulePath;
  std::u16string tempPath;
  std::optional<std::u16string> tempPath2;  // none: kernel32 has no GetTempPath2W
  bool dispositionEx = true;                // FileDispositionInfoEx is known (Windows 10 1809 on)

  std::map<std::u16string, ProgramBehaviour> programs;  // key: as fs
  std::map<Dword, ProcessState> processes;
  std::vector<ProcessRecord> records;

  // The registry below HKEY_LOCAL_MACHINE: keys and value names upper-cased, each value its
  // type and bytes; and the keys open now, by handle value.
  std::map<std::u16string, std::map<std::u16string, std::pair<Dword, std::string>>> registry;
  std::map<std::uintptr_t, std::u16string> registryHandles;
  std::uint64_t systemTimeAtStart = 134247456000000000;  // 2026-06-01T00:00:00Z as a FILETIME

  std::set<void*> heapBlocks;
  std::set<std::u16string*> securityDescriptors;  // SDDL text or a descriptor's bytes, until LocalFree
  std::map<const void*, AttributeList> attributeLists;

  Dword consoleSession = 1;
  std::vector<ConsoleSwitch> consoleSwitches;

  bool scmConnected = true;
  bool dispatcherRunning = false;
  std::string serviceName;
  platform::HandlerFunctionEx handler = nullptr;
  bool inHandler = false;
  void* handlerContext = nullptr;
  Dword controlsAccepted = 0;
  std::vector<TimedControl> controls;
  // Arrived during the status report now being made: they reach the handler once the
  // report is recorded, while the service thread is still inside it.
  std::vector<CallControl> controlsDuringReport;
  std::uint64_t nextControlSequence = 0;
  std::vector<StatusReport> statusReports;

  // The event log: sources open now (by handle value), and every event reported.
  std::map<std::uintptr_t, std::u16string> eventSources;
  std::vector<ReportedEvent> reportedEvents;
  std::map<Dword, std::u16string> messageTable;  // message id to its text

  std::shared_ptr<SecurityState> security;  // accounts, the process user
  // Work queued for the thread pool, run at the next wait of the process that queued it.
  struct WorkItem {
    Dword process;
    platform::WorkCallback function;
    void* context;
  };
  std::vector<WorkItem> workItems;
};

Machine& machine();
ProcessState& currentProcess();
ProcessState* findProcessState(Dword id);
ProcessRecord* recordOf(Dword id);
void setLastError(Dword error);

// Logs a seam call, applies what is due at the current time, delivers controls
// scheduled at this call, and reports whether an injected fault makes it fail; when it
// does, the last error is already set.
bool enterFails(std::string_view name, std::string args);
// The same for a call with typed fields; its time and process are filled in here.
bool enterFails(Call call);

// The random fault for this call, if the draw makes it fail: the error to fail with. Throws
// std::bad_alloc instead when the call is one where exhausted memory shows that way.
std::optional<Dword> drawRandomFault(const Call& call);

// Handles of the current process.
Handle addHandle(Kind kind, std::uint64_t object, bool inheritable, Dword access = 0);
HandleEntry* lookupHandle(Handle handle);
HandleEntry* lookupHandle(Handle handle, Kind kind);
void closeHandleEntry(std::uintptr_t key);

// Time and scheduled work.
void applyDueState();  // ends processes and moves the console for everything due by now
void deliverDueControls();
std::optional<std::uint64_t> nextEventTime();
void endProcess(Dword id, Dword exitCode);
void killJobMembers(std::uint64_t job);
Dword deliverControlNow(Dword control, Dword eventType);

// Paths.
std::u16string fullPath(std::u16string_view path);  // GetFullPathNameW rules, against the current directory
std::u16string pathKey(std::u16string_view path);   // the file-system key of a path
std::u16string parentKey(const std::u16string& key);
bool hasInvalidNameCharacters(std::u16string_view path);
FsNode* findNode(const std::u16string& key);
// The key of the file that `key` names: a hard link's file, and with `followReparse` a
// symbolic link's or junction's target; `key` itself otherwise.
std::u16string fileKeyOf(const std::u16string& key, bool followReparse);
// The error for a path with nothing at it (or an injected path error on it or above it).
Dword missingPathError(const std::u16string& key);
std::optional<Dword> pathErrorFor(const std::u16string& key);
void ensureDirectory(const std::u16string& path);
// A file handle is closing: a deletion it was given takes effect, or one pending on others.
void fileHandleClosing(const OpenFileState& open);

// Text of arguments for the call log.
std::string utf8(std::u16string_view text);
std::string text(const char16_t* text);  // "<null>" for null
std::string text(const char* text);
std::string hex(std::uint64_t value);
std::string handleText(Handle handle);

}  // namespace halcyra::sim::detail
