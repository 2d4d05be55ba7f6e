// The updater's signer in the pass: the updater starts only when its trusted signer is
// listed, while the file is still held open from the check; any other is reported and
// the server runs instead.

#include <gtest/gtest.h>

#include <optional>

#include "platform/authenticode.h"
#include "platform/security.h"
#include "platform/sim/sim_trust.h"
#include "service/event_messages.h"
#include "tests/sim/service_scenario.h"

namespace halcyra::test {
namespace {

// SHA-256 of "publisher certificate", in the form certutil prints.
constexpr char kListed[] =
    "1A:EB:2F:18:6B:07:D1:46:CF:AF:B0:91:DB:33:23:65:87:76:1B:5D:68:05:59:72:98:57:DD:9E:23:FC:6A:42";
constexpr char16_t kFound[] = u"1aeb2f186b07d146cfafb091db33236587761b5d680559729857dd9e23fc6a42";

// Index of the first call named `name` whose arguments contain `part`.
std::size_t callIndex(std::string_view name, std::string_view part) {
  const std::vector<sim::Call>& calls = sim::calls();
  std::size_t i = 0;
  while (i < calls.size() && (calls[i].name != name || calls[i].args.find(part) == std::string::npos)) ++i;
  return i;
}

TEST(UpdaterSignerInThePass, StartsTheUpdaterOnlyForAListedTrustedSignerAndHoldsItUntilTheStart) {
  struct Row {
    const char* what;
    std::string signers;                   // the updaterSigners member's value
    std::optional<platform::Dword> trust;  // WinVerifyTrust's result; none: unsigned
    const char16_t* refusal;               // the event's reason; null: the updater starts
    bool wintrustUnloadable = false;       // a good signature that cannot be checked
  };
  std::string const listed = std::string("[\"") + kListed + "\"]";
  Row const rows[] = {
      {"listed signer", listed, 0, nullptr},
      {"changed after signing", listed, platform::kTrustEBadDigest,
       u"its Authenticode signature is not trusted (WinVerifyTrust 0x80096010)"},
      {"unsigned", listed, std::nullopt, u"it has no Authenticode signature"},
      {"not listed", "[\"1AEB\"]", 0, u"its signer is not one of updaterSigners"},
      {"not a list", "\"" + std::string(kListed) + "\"", 0, u"its signer is not one of updaterSigners"},
      {"wintrust.dll unloadable", listed, 0, u"its Authenticode signature is not trusted (WinVerifyTrust 0x8007007E)",
       true},
  };
  for (Row const& row : rows) {
    SCOPED_TRACE(row.what);
    setUpMachine(patientServer());
    announceRelease("2.0.0.0", serverExitingAfter(100000, 0));
    std::string config = *sim::fileContent(u"C:\\Halcyra\\resources\\updater\\config.json");
    config.insert(config.rfind('}'), ",\"updaterSigners\":" + row.signers);
    sim::addFile(u"C:\\Halcyra\\resources\\updater\\config.json", config);
    if (row.trust) sim::setFileSignature(kUpdaterPath, *row.trust, "publisher certificate");
    if (row.wintrustUnloadable) sim::failLibrary("WINTRUST.dll", platform::kErrorModNotFound);
    sim::scheduleControl(5000, platform::kServiceControlStop);
    runService();

    EXPECT_EQ(processesOf(kUpdaterPath).size(), row.refusal == nullptr ? 1u : 0u);
    EXPECT_EQ(servers().size(), row.refusal == nullptr ? 0u : 1u);
    const std::vector<sim::Call> verified = sim::callsNamed("verifyFileSignature");
    ASSERT_EQ(verified.size(), 1u);
    std::string const file = verified[0].args.substr(5, verified[0].args.find(' ') - 5);
    std::size_t const launch = callIndex("CreateProcessAsUserW", "");
    EXPECT_LT(callIndex("CreateFileW", "Updater.exe access=0x80000000 share=0x1"), launch);
    EXPECT_GT(callIndex("CloseHandle", file), launch) << "the updater is held open until its start returned";
    std::vector<std::vector<std::u16string>> refusals;
    std::vector<std::vector<std::u16string>> unloadable;
    for (const sim::ReportedEvent& event : sim::reportedEvents()) {
      if (event.eventId == EVENT_UPDATER_REFUSED) refusals.push_back(event.strings);
      if (event.eventId == EVENT_SYSTEM_DLL_UNAVAILABLE) unloadable.push_back(event.strings);
    }
    using Inserts = std::vector<std::vector<std::u16string>>;
    Inserts const dllEvent = row.wintrustUnloadable ? Inserts{{u"WINTRUST.dll", u"126"}} : Inserts{};
    EXPECT_EQ(unloadable, dllEvent);
    EXPECT_EQ(refusals.size(), row.refusal == nullptr ? 0u : 1u);
    if (!refusals.empty()) {
      EXPECT_EQ(refusals[0][1], row.refusal);
      EXPECT_EQ(refusals[0][2], row.trust && !row.wintrustUnloadable ? kFound : u"none");
    }
  }
}

}  // namespace
}  // namespace halcyra::test
