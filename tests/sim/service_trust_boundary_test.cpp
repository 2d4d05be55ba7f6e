// The start-up warning about who, besides SYSTEM, the Administrators and TrustedInstaller,
// can change what the service runs or read the update server's password.

#include <gtest/gtest.h>

#include <functional>

#include "platform/security.h"
#include "platform/sim/sim_security.h"
#include "service/event_messages.h"
#include "tests/sim/service_scenario.h"

namespace halcyra::test {
namespace {

constexpr auto& kSystem = platform::kSidLocalSystem;
constexpr auto& kAdmins = platform::kSidAdministrators;
constexpr auto& kUsers = platform::kSidUsers;
constexpr auto& kEveryone = platform::kSidEveryone;
constexpr char16_t kAlice[] = u"S-1-5-21-7-8-9-1001";
constexpr char16_t kWineUser[] = u"S-1-5-21-0-0-0-1000";
constexpr Dword kFull = 0x1F01FF;
constexpr Dword kReadExecute = 0x1200A9;
constexpr Dword kModify = 0x1301FF;  // what Wine shows for a Unix o+w

sim::FileSecurity locked(std::u16string owner, std::vector<sim::AccessEntry> more = {}) {
  std::vector<sim::AccessEntry> dacl = {{true, 0, kFull, kSystem}, {true, 0, kFull, kAdmins}};
  dacl.insert(dacl.end(), more.begin(), more.end());
  return {std::move(owner), std::move(dacl)};
}

struct Case {
  const char* name;
  std::function<void()> setUp;
  std::vector<std::u16string> expected;  // the warning's lines; none: no warning
};

TEST(TrustBoundary, WarnsAboutEachOpenObjectAndRunsOn) {
  const std::vector<Case> cases = {
      {"the installed layout", [] {}, {}},
      {"Users may change bin and read config.json",
       [] {
         sim::setFileSecurity(u"C:\\Halcyra\\bin", locked(kAdmins, {{true, 0, kModify, kUsers}}));
         sim::setFileSecurity(u"C:\\Halcyra\\resources\\updater\\config.json",
                              locked(kAdmins, {{true, 0, kReadExecute, kUsers}}));
       },
       {u"C:\\Halcyra\\bin: writable by BUILTIN\\Users",
        u"C:\\Halcyra\\resources\\updater\\config.json: readable by BUILTIN\\Users"}},
      {"an ordinary owner may rewrite the access list, unless OWNER RIGHTS limit it",
       [] {
         sim::addAccount(kAlice, u"PC", u"alice");
         sim::setFileSecurity(kServerPath, locked(kAlice));
         sim::setFileSecurity(u"C:\\Halcyra", locked(kAlice, {{true, 0, kReadExecute, u"S-1-3-4"}}));
         sim::setFileSecurity(kUpdaterPath, locked(kAlice, {{true, 0, kModify, u"S-1-3-4"}}));
       },
       {u"C:\\Halcyra\\HalcyraServer.exe: writable by PC\\alice",
        u"C:\\Halcyra\\updater\\Updater.exe: writable by PC\\alice"}},
      {"a NULL DACL on the updater's folder; an unreadable one on config.json",
       [] {
         sim::setFileSecurity(u"C:\\Halcyra\\updater", {kAdmins, std::nullopt});
         // config.json is the fifth object read, each with two entries.
         sim::failCall("GetAce", 10, platform::kErrorAccessDenied);
       },
       {u"C:\\Halcyra\\resources\\updater\\config.json: its access list could not be read (error 5)",
        u"C:\\Halcyra\\updater: writable by Everyone"}},
      {"denied and inherit-only entries grant nothing",
       [] {
         sim::setFileSecurity(u"C:\\Halcyra\\bin", locked(kAdmins, {{false, 0, kModify, kEveryone},
                                                                    {true, 0, kModify, kEveryone},
                                                                    {true, 0x8 | 0x3, kFull, kUsers}}));
       },
       {}},
      {"Wine: the checking administrator owns everything; o+w adds Everyone",
       [] {
         sim::setProcessUser(kWineUser, true);
         sim::setFileSecurity(
             u"C:\\Halcyra",
             {kWineUser, std::vector<sim::AccessEntry>{{true, 0, kFull, kWineUser}, {true, 0, kModify, kEveryone}}});
       },
       {u"C:\\Halcyra: writable by Everyone"}},
      {"the same owner is not trusted when the checking account is no administrator",
       [] {
         sim::setProcessUser(kWineUser, false);
         sim::setFileSecurity(u"C:\\Halcyra\\bin",
                              {kWineUser, std::vector<sim::AccessEntry>{{true, 0, kFull, kWineUser}}});
       },
       {u"C:\\Halcyra\\bin: writable by S-1-5-21-0-0-0-1000"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    setUpMachine(patientServer());
    configureRelease("1.0.0.0", false);
    c.setUp();
    sim::scheduleControl(5000, platform::kServiceControlStop);
    runService();
    EXPECT_EQ(servers().size(), 1u);  // it warns and runs on
    std::vector<std::u16string> warned;
    for (const sim::ReportedEvent& event : sim::reportedEvents()) {
      if (event.eventId == EVENT_TRUST_BOUNDARY_OPEN) {
        EXPECT_EQ(event.type, platform::kEventlogWarningType);
        std::u16string text = event.strings.at(0);
        for (std::size_t end; (end = text.find(u"\r\n")) != std::u16string::npos; text.erase(0, end + 2)) {
          warned.push_back(text.substr(0, end));
        }
        warned.push_back(text);
      }
    }
    EXPECT_EQ(warned, c.expected);
  }
}

}  // namespace
}  // namespace halcyra::test
