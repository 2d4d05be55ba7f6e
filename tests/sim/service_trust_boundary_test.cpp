// Who, besides SYSTEM, the Administrators and TrustedInstaller, can replace, rename,
// re-point or re-permission what the service runs, along each object's whole path: the
// start-up warning names it, and an updater whose path is open is not started (the server
// is, and the refusal is reported once, not at every pass).

#include <gtest/gtest.h>

#include <functional>

#include "platform/accounts.h"
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
constexpr auto& kInstaller = platform::kSidTrustedInstaller;
constexpr auto& kAuthenticated = platform::kSidAuthenticatedUsers;
constexpr auto& kOwnerRights = platform::kSidOwnerRights;
constexpr char16_t kAlice[] = u"S-1-5-21-7-8-9-1001";
constexpr char16_t kWineUser[] = u"S-1-5-21-0-0-0-1000";
constexpr Dword kFull = 0x1F01FF;
constexpr Dword kReadExecute = 0x1200A9;
constexpr Dword kModify = 0x1301BF;
constexpr Dword kWineWrite = 0x1301FF;  // what Wine shows for a Unix o+w
constexpr std::uint8_t kInheritOnly = 0x8 | 0x3;
constexpr char16_t kUpdaterFolder[] = u"C:\\Halcyra\\updater";
constexpr char16_t kProgramFiles[] = u"C:\\Program Files";
constexpr char16_t kMovedUpdater[] = u"C:\\Program Files\\Upd\\Updater.exe";

sim::AccessEntry allow(Dword mask, const char16_t* sid, std::uint8_t flags = 0) { return {true, flags, mask, sid, {}}; }
sim::AccessEntry deny(Dword mask, const char16_t* sid) { return {false, 0, mask, sid, {}}; }

// SYSTEM and the Administrators in full, and `more` after them.
sim::FileSecurity locked(const char16_t* owner, std::vector<sim::AccessEntry> more = {}) {
  std::vector<sim::AccessEntry> dacl = {allow(kFull, kSystem), allow(kFull, kAdmins)};
  dacl.insert(dacl.end(), more.begin(), more.end());
  return {owner, std::move(dacl)};
}

// updaterPath of the configuration, moved to `path` (where the updater is installed).
void moveUpdater(const std::u16string& path) {
  std::string config = *sim::fileContent(u"C:\\Halcyra\\resources\\updater\\config.json");
  std::string const from = R"("C:\\Halcyra\\updater\\Updater.exe")";
  std::string narrow;
  for (char16_t const c : path) narrow += c == u'\\' ? std::string("\\\\") : std::string(1, static_cast<char>(c));
  config.replace(config.find(from), from.size(), "\"" + narrow + "\"");
  sim::addFile(u"C:\\Halcyra\\resources\\updater\\config.json", config);
  sim::installProgram(path, patientServer());
}

// The access list of a Windows volume's root: Authenticated Users may create folders here and
// modify what they create.
sim::FileSecurity windowsRoot() {
  return {kInstaller, std::vector<sim::AccessEntry>{
                          allow(kFull, kAdmins, 0x3), allow(kFull, kSystem, 0x3), allow(kReadExecute, kUsers, 0x3),
                          allow(kModify, kAuthenticated, kInheritOnly), allow(0x4, kAuthenticated),
                          allow(0x10000000, platform::kSidCreatorOwner, kInheritOnly)}};
}

struct Case {
  const char* name;
  std::function<void()> setUp;
  std::vector<std::u16string> warned;  // the start-up warning's lines; none: no warning
  std::ptrdiff_t refusedFrom = 0;      // the warned lines from this one on keep the updater from starting
};

TEST(TrustBoundary, WalksEveryPathAndRefusesAnOpenUpdater) {
  const std::vector<Case> cases = {
      {"the installed layout", [] {}, {}},
      {"Windows' own C:\\ and Program Files read as closed",
       [] {
         sim::addDirectory(u"C:\\");
         sim::addDirectory(kProgramFiles);
         sim::setFileSecurity(u"C:\\", windowsRoot());
         sim::setFileSecurity(
             kProgramFiles,
             {kInstaller,
              std::vector<sim::AccessEntry>{
                  allow(kFull, kInstaller), allow(0x10000000, kInstaller, kInheritOnly), allow(kModify, kSystem),
                  allow(kModify, kAdmins), allow(kReadExecute, kUsers), allow(0xA0000000, kUsers, kInheritOnly),
                  allow(0x10000000, platform::kSidCreatorOwner, kInheritOnly), allow(kReadExecute, u"S-1-15-2-1")}});
         moveUpdater(kMovedUpdater);
       },
       {}},
      {"a user owns resources, where config.json can be swapped",
       [] { sim::setFileSecurity(u"C:\\Halcyra\\resources", locked(kAlice)); },
       {u"C:\\Halcyra\\resources: writable by PC\\alice"}},
      {"delete-child on the root lets Users rename the updater's folder; creating folders does not",
       [] {
         sim::setFileSecurity(u"C:\\Halcyra", locked(kAdmins, {allow(0x40, kUsers)}));
         sim::setFileSecurity(u"C:\\Halcyra\\resources", locked(kAdmins, {allow(0x4, kUsers)}));
       },
       {u"C:\\Halcyra: writable by BUILTIN\\Users"}},
      {"adding files beside the updater plants a DLL",
       [] { sim::setFileSecurity(kUpdaterFolder, locked(kAdmins, {allow(0x2, kUsers)})); },
       {u"C:\\Halcyra\\updater: writable by BUILTIN\\Users"}},
      {"a user's junction stands for the updater's folder",
       [] {
         sim::addDirectory(u"C:\\Users\\alice\\upd");
         sim::addLink(kUpdaterFolder, u"C:\\Users\\alice\\upd", sim::LinkKind::junction);
         sim::setFileSecurity(kUpdaterFolder, locked(kAlice));
       },
       {u"C:\\Halcyra\\updater (a reparse point): writable by PC\\alice"}},
      {"an administrators' mount point leads to a volume with Windows' root access list",
       [] {
         sim::addDirectory(u"D:\\");
         sim::setFileSecurity(u"D:\\", windowsRoot());
         sim::addLink(kUpdaterFolder, u"D:\\", sim::LinkKind::junction);
         sim::setFileSecurity(kUpdaterFolder, locked(kAdmins, {allow(kReadExecute, kUsers)}));
       },
       {}},
      {"a callback entry grants what it lists",
       [] {
         sim::AccessEntry callback = allow(kModify, kUsers);
         callback.type = platform::kAccessAllowedCallbackAceType;
         sim::setFileSecurity(kUpdaterPath, locked(kAdmins, {callback}));
       },
       {u"C:\\Halcyra\\updater\\Updater.exe: writable by BUILTIN\\Users"}},
      {"a deny before the allow closes, one after it does not; inherit-only entries grant nothing",
       [] {
         sim::setFileSecurity(u"C:\\Halcyra\\bin", locked(kAdmins, {deny(kWineWrite, kEveryone), allow(kModify, kUsers),
                                                                    allow(kFull, kUsers, kInheritOnly)}));
         sim::setFileSecurity(kUpdaterFolder, locked(kAdmins, {allow(kModify, kUsers), deny(kModify, kUsers)}));
       },
       {u"C:\\Halcyra\\updater: writable by BUILTIN\\Users"}},
      {"Users may change bin and read config.json: a warning, and the updater still starts",
       [] {
         sim::setFileSecurity(u"C:\\Halcyra\\bin", locked(kAdmins, {allow(kWineWrite, kUsers)}));
         sim::setFileSecurity(u"C:\\Halcyra\\resources\\updater\\config.json",
                              locked(kAdmins, {allow(kReadExecute, kUsers)}));
       },
       {u"C:\\Halcyra\\bin: writable by BUILTIN\\Users",
        u"C:\\Halcyra\\resources\\updater\\config.json: readable by BUILTIN\\Users"},
       2},
      {"an ordinary owner may rewrite the access list, unless OWNER RIGHTS limit it",
       [] {
         sim::setFileSecurity(kServerPath, locked(kAlice));
         sim::setFileSecurity(u"C:\\Halcyra", locked(kAlice, {allow(kReadExecute, kOwnerRights)}));
         sim::setFileSecurity(kUpdaterPath, locked(kAlice, {allow(kWineWrite, kOwnerRights)}));
       },
       {u"C:\\Halcyra\\HalcyraServer.exe: writable by PC\\alice",
        u"C:\\Halcyra\\updater\\Updater.exe: writable by PC\\alice"},
       1},
      {"a pre-created install root still holds a user's DLL in bin / beside the updater",
       [] {
         for (const char16_t* dll : {u"C:\\Halcyra\\bin\\version.dll", u"C:\\Halcyra\\updater\\version.dll"}) {
           sim::addFile(dll, "MZ");
           sim::setFileSecurity(dll, locked(kAlice));
         }
       },
       {u"C:\\Halcyra\\bin\\version.dll: writable by PC\\alice",
        u"C:\\Halcyra\\updater\\version.dll: writable by PC\\alice"},
       1},
      {"a NULL DACL on the updater's folder",
       [] {
         sim::setFileSecurity(kUpdaterFolder, {kAdmins, std::nullopt});
       },
       {u"C:\\Halcyra\\updater: writable by Everyone"}},
      {"Wine: the checking administrator owns everything; o+w adds Everyone",
       [] {
         sim::setProcessUser(kWineUser, true);
         sim::setFileSecurity(u"C:\\Halcyra", {kWineUser, std::vector<sim::AccessEntry>{allow(kFull, kWineUser),
                                                                                        allow(kWineWrite, kEveryone)}});
       },
       {u"C:\\Halcyra: writable by Everyone"}},
      {"the same owner is not trusted when the checking account is no administrator",
       [] {
         sim::setProcessUser(kWineUser, false);
         sim::setFileSecurity(u"C:\\Halcyra\\bin", {kWineUser, std::vector<sim::AccessEntry>{allow(kFull, kWineUser)}});
       },
       {u"C:\\Halcyra\\bin: writable by S-1-5-21-0-0-0-1000"},
       1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    // A server that ends after a second: the passes go on, and with them the refusals.
    setUpMachine(serverExitingAfter(1000, 0));
    announceRelease("2.0.0.0", patientServer());
    sim::addAccount(kAlice, u"PC", u"alice");
    c.setUp();
    sim::scheduleControl(10000, platform::kServiceControlStop);
    runService();
    const bool refused = c.refusedFrom < std::ssize(c.warned);
    EXPECT_EQ(processesOf(kUpdaterPath).size() + processesOf(kMovedUpdater).size(), refused ? 0u : 1u);
    EXPECT_EQ(servers().size() > 1, refused);
    std::vector<std::u16string> warned, refusals;
    for (const sim::ReportedEvent& event : sim::reportedEvents()) {
      if (event.eventId != EVENT_TRUST_BOUNDARY_OPEN) continue;
      EXPECT_EQ(event.type, platform::kEventlogWarningType);
      bool const refusal = event.strings.at(1).find(u"updater is not started") != std::u16string::npos;
      std::vector<std::u16string>& lines = refusal ? refusals : warned;
      std::u16string text = event.strings.at(0);
      std::u16string const separator = refusal ? u"; " : u"\r\n";
      for (std::size_t end; (end = text.find(separator)) != std::u16string::npos; text.erase(0, end + 2)) {
        lines.push_back(text.substr(0, end));
      }
      lines.push_back(text);
    }
    EXPECT_EQ(warned, c.warned);
    // Once, at any number of passes.
    EXPECT_EQ(refusals, std::vector(c.warned.begin() + c.refusedFrom, c.warned.end()));
  }
}

// The binary forms that the checks compare with are those of the accounts' text forms.
TEST(TrustBoundary, KnowsTheWellKnownAccountsByTheirBytes) {
  const std::pair<std::string_view, const char16_t*> sids[] = {
      {platform::kEveryoneSid, kEveryone},       {platform::kCreatorOwnerSid, platform::kSidCreatorOwner},
      {platform::kOwnerRightsSid, kOwnerRights}, {platform::kLocalSystemSid, kSystem},
      {platform::kAdministratorsSid, kAdmins},   {platform::kTrustedInstallerSid, kInstaller}};
  for (const auto& [bytes, text] : sids) EXPECT_EQ(platform::sidFromText(text), bytes);
}

}  // namespace
}  // namespace halcyra::test
