// The simulated service control manager: dispatcher, registration, status reports and
// the delivery of controls at wait points.

#include <gtest/gtest.h>

#include "platform/processes.h"
#include "platform/service_manager.h"
#include "platform/sim/sim.h"
#include "platform/sync.h"

namespace halcyra {
namespace {

using namespace platform;

// A minimal service: reports like the real one and records what its handler receives.
struct Received {
  Dword control;
  Dword eventType;
  std::uint64_t time;
};
std::vector<Received> received;
std::vector<std::string> serviceArgs;
const char* registeredName = "Svc";
ServiceStatusHandle statusHandle = nullptr;
ServiceStatus status{};
Handle stopEvent = nullptr;
Handle sessionEvent = nullptr;

Dword handler(Dword control, Dword eventType, void*, void*) {
  received.push_back({control, eventType, sim::now()});
  SetLastError(999);  // must not leak into the service thread
  if (control == kServiceControlStop) {
    status.dwCurrentState = kServiceStopPending;
    status.dwControlsAccepted = 0;
    SetServiceStatus(statusHandle, &status);
    SetEvent(stopEvent);
  } else if (control == kServiceControlSessionChange && eventType == kWtsConsoleConnect) {
    SetEvent(sessionEvent);
  }
  return 0;
}

void serviceMain(Dword argc, char** argv) {
  serviceArgs.assign(argv, argv + argc);
  statusHandle = RegisterServiceCtrlHandlerExA(registeredName, handler, nullptr);
  if (statusHandle == nullptr) {
    ExitProcess(GetLastError());
  }
  status = {kServiceWin32OwnProcess, kServiceStartPending};
  SetServiceStatus(statusHandle, &status);
  stopEvent = CreateEventA(nullptr, kTrue, kFalse, nullptr);
  sessionEvent = CreateEventA(nullptr, kFalse, kFalse, nullptr);
  status.dwCurrentState = kServiceRunning;
  status.dwControlsAccepted = kServiceAcceptStop | kServiceAcceptSessionChange | kServiceAcceptPreshutdown;
  SetServiceStatus(statusHandle, &status);
  Handle const events[] = {stopEvent, sessionEvent};
  SetLastError(42);
  for (int round = 0; round < 10 && WaitForMultipleObjects(2, events, kFalse, kInfinite) != kWaitObject0; ++round) {
    EXPECT_EQ(GetLastError(), 42u);
  }
  status.dwCurrentState = kServiceStopped;
  SetServiceStatus(statusHandle, &status);
}

int runService() {
  return sim::runProcess([] {
    ServiceTableEntryA const table[] = {{"Svc", serviceMain}, {nullptr, nullptr}};
    return StartServiceCtrlDispatcherA(table);
  });
}

class SimScm : public ::testing::Test {
 protected:
  void SetUp() override {
    sim::reset();
    received.clear();
    serviceArgs.clear();
    registeredName = "Svc";
  }
};

TEST_F(SimScm, ControlsReachTheHandlerAtWaitPointsWhileAccepted) {
  sim::scheduleControlAtCall("CreateEventA", 1, kServiceControlStop);  // before RUNNING: refused
  sim::scheduleControlAtCall("CreateEventA", 2, kServiceControlInterrogate);
  sim::scheduleControl(1000, kServiceControlPause);
  sim::scheduleConsoleConnect(2000, 5);
  sim::scheduleControl(3000, kServiceControlSessionChange, kWtsSessionLock);
  sim::scheduleControl(4000, kServiceControlStop);
  sim::scheduleControl(4000, kServiceControlPreshutdown);  // refused after the stop report

  EXPECT_EQ(runService(), 1);
  EXPECT_EQ(serviceArgs, std::vector<std::string>{"Svc"});
  struct Expected {
    Dword control;
    Dword eventType;
    std::uint64_t time;
  } const expected[] = {
      {kServiceControlInterrogate, 0, 0},
      {kServiceControlPause, 0, 1000},
      {kServiceControlSessionChange, kWtsConsoleConnect, 2000},
      {kServiceControlSessionChange, kWtsSessionLock, 3000},
      {kServiceControlStop, 0, 4000},
  };
  ASSERT_EQ(received.size(), std::size(expected));
  for (std::size_t i = 0; i < received.size(); ++i) {
    EXPECT_EQ(received[i].control, expected[i].control) << i;
    EXPECT_EQ(received[i].eventType, expected[i].eventType) << i;
    EXPECT_EQ(received[i].time, expected[i].time) << i;
  }
  EXPECT_EQ(WTSGetActiveConsoleSessionId(), 5u);

  std::vector<std::pair<Dword, std::uint64_t>> reports;
  for (sim::StatusReport const& report : sim::statusReports()) {
    reports.emplace_back(report.status.dwCurrentState, report.time);
  }
  EXPECT_EQ(
      reports,
      (std::vector<std::pair<Dword, std::uint64_t>>{
          {kServiceStartPending, 0}, {kServiceRunning, 0}, {kServiceStopPending, 4000}, {kServiceStopped, 4000}}));
  // Once the dispatcher has returned, nothing reaches the handler.
  EXPECT_EQ(sim::deliverControl(kServiceControlInterrogate), 1062u);
}

TEST_F(SimScm, DispatcherAndRegistrationFailures) {
  sim::setScmConnected(false);
  EXPECT_EQ(runService(), 0);
  EXPECT_EQ(GetLastError(), 1063u);
  EXPECT_TRUE(serviceArgs.empty());

  sim::setScmConnected(true);
  registeredName = "Other";
  EXPECT_EQ(runService(), 1060);  // the service exits with the registration's error
  EXPECT_TRUE(sim::statusReports().empty());
  EXPECT_EQ(sim::callsNamed("ExitProcess").size(), 1u);
}

}  // namespace
}  // namespace halcyra
