// The event log (advapi32), the service's message texts and the module path, the same on
// the simulated machine and on Windows.

#include <gtest/gtest.h>

#include <initializer_list>
#include <string>

#include "platform/event_log.h"
#include "platform/file_existence.h"
#include "platform/files.h"
#include "platform/module_path.h"
#include "service/event_messages.h"
#include "tests/contract/world.h"

namespace halcyra::contract {
namespace {

using namespace platform;

TEST(EventLog, ASourceTakesEventsOfEveryTypeUntilDeregistered) {
  resetWorld();
  Handle const source = RegisterEventSourceW(nullptr, u"HalcyraContractTest");
  ASSERT_NE(source, nullptr) << GetLastError();
  const char16_t* strings[] = {u"HalcyraServer.exe", u"7"};
  for (Word const type : {kEventlogErrorType, kEventlogWarningType, kEventlogInformationType}) {
    EXPECT_EQ(ReportEventW(source, type, 0, EVENT_CHILD_EXITED, nullptr, 2, 0, strings, nullptr), kTrue)
        << GetLastError();
  }
  EXPECT_EQ(ReportEventW(source, kEventlogInformationType, 0, EVENT_SERVICE_STARTED, nullptr, 0, 0, nullptr, nullptr),
            kTrue);
  EXPECT_EQ(DeregisterEventSource(source), kTrue);
}

// Every id the service reports has a text in the message table, with its insertion
// strings in place, as the event viewer shows it.
TEST(EventLog, TheServiceExecutableCarriesEveryMessage) {
  resetWorld();
  std::vector<std::u16string> const strings(6, u"x");
  for (Dword const id : std::initializer_list<Dword>{
           EVENT_SERVICE_STARTED, EVENT_SERVICE_STOPPED, EVENT_START_FAILED, EVENT_SERVER_STARTED,
           EVENT_UPDATER_STARTED, EVENT_CHILD_EXITED, EVENT_CHILD_STOPPED, EVENT_CHILD_TERMINATED,
           EVENT_CHILD_TERMINATED_UNASKED, EVENT_CHILD_QUICK_ENDS, EVENT_UPDATE_CHECK_FAILED, EVENT_CHILD_LAUNCH_FAILED,
           EVENT_JOB_LIST_UNAVAILABLE, EVENT_TRUST_BOUNDARY_OPEN, EVENT_LOG_FALLBACK, EVENT_UPDATER_REFUSED,
           EVENT_UPDATE_SET_ASIDE}) {
    EXPECT_FALSE(serviceMessage(id, strings).empty()) << std::hex << id;
  }
  EXPECT_EQ(narrow(serviceMessage(EVENT_CHILD_TERMINATED, {u"HalcyraServer.exe", u"7", u"20", u"1067"})),
            "HalcyraServer.exe (process 7) was still running 20 seconds after the service's Ctrl-C. The service "
            "terminated it with exit code 1067.");
}

TEST(ModulePath, IsTheFullPathOfAnExistingExecutable) {
  resetWorld();
  std::optional<std::u16string> const path = modulePath();
  ASSERT_TRUE(path.has_value());
  EXPECT_GE(path->size(), 7u);
  EXPECT_EQ(narrow(path->substr(path->size() - 4)), ".exe");
  char16_t full[kMaxPath];
  EXPECT_EQ(GetFullPathNameW(path->c_str(), kMaxPath, full, nullptr), path->size());
  EXPECT_EQ(std::u16string(full), *path);
  Dword attributes = 0;
  ASSERT_EQ(getAttributesFollowingLinks(path->c_str(), &attributes), kTrue);
  EXPECT_EQ(attributes & kFileAttributeDirectory, 0u);

  // A buffer one unit too short gets a cut-off path, which modulePath never returns.
  std::vector<char16_t> shortBuffer(path->size());
  EXPECT_EQ(GetModuleFileNameW(nullptr, shortBuffer.data(), static_cast<Dword>(shortBuffer.size())), path->size());
}

}  // namespace
}  // namespace halcyra::contract
