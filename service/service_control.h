#pragma once
// The service's side of the conversation with the service control manager: the shared
// status record, the two events through which the control handler speaks to the
// supervisor, the service's main function and its control handler.
//
// Two threads share this state. The dispatcher (main) thread runs serviceControlHandler;
// the service thread runs serviceMain and the whole supervisor. They meet only in the
// status reports, which take turns, and in the two events. The handler never waits for its
// turn: when the service thread is reporting, it leaves its stop report to that thread,
// which makes it as soon as its own report is done. Either way the stop report is made
// before the supervisor can see stopEvent, and the supervisor reports SERVICE_STOPPED only
// after it has seen it, so a stop asked for by the SCM is reported as pending before it is
// reported as done.

#include "platform/service_manager.h"
#include "platform/types.h"

namespace halcyra {

// The name the service is installed under; given to the dispatcher and to the handler's
// registration.
inline constexpr char kServiceName[] = "HalcyraService";

// Time the SCM is told to allow for a stop: it covers the 20-second grace of a child.
inline constexpr platform::Dword kStopWaitHintMs = 30000;

// The longest the stop waits for the start-up trust check to end before SERVICE_STOPPED.
// With the child's grace and the event log's 2 s it stays within the wait hint.
inline constexpr platform::Dword kTrustCheckWaitMs = 2000;

// The controls accepted while running: stop, session change and pre-shutdown (0x181).
inline constexpr platform::Dword kAcceptedWhileRunning =
    platform::kServiceAcceptStop | platform::kServiceAcceptSessionChange | platform::kServiceAcceptPreshutdown;

// The status record; every report writes some of its fields and passes all of it.
extern platform::ServiceStatus ServiceStatus;
// What RegisterServiceCtrlHandlerExA returned.
extern platform::ServiceStatusHandle statusHandle;
// Manual reset, never reset: once a stop is asked for, every later wait sees it at once.
extern platform::Handle stopEvent;
// Auto reset: a console connect stays pending until the supervisor's next wait takes it.
extern platform::Handle sessionEvent;

// Nonzero when the process entry could not limit DLLs loaded by name to System32, or could
// not determine the working folder (the executable's path did not fit in MAX_PATH);
// serviceMain then fails the start with it rather than run the server from the wrong
// folder or beside a planted DLL.
extern platform::Dword entryFailure;

// Runs on the service thread: registers the handler (the first thing it does), reports
// start-up, creates the events and the launch setup, runs the supervisor until it stops,
// reports stopped.
void serviceMain(platform::Dword argc, char** argv);

// Runs on the dispatcher thread. Never blocks: it reports a stop (or leaves the report to
// the service thread while that one reports) and signals the events; the supervisor does
// the work.
platform::Dword serviceControlHandler(platform::Dword control, platform::Dword eventType, void* eventData,
                                      void* context);

}  // namespace halcyra
