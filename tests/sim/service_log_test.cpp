// The service's log against whatever other users plant under its name, before the start
// or at any step of it, replayable by seed. HALCYRA_SEEDS=n runs seeds 1..n (2,000 by
// default); HALCYRA_SEED=n runs seed n alone.

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <functional>
#include <numeric>
#include <random>
#include <string>

#include "platform/files.h"
#include "platform/sim/sim.h"
#include "platform/sim/sim_security.h"
#include "service/event_messages.h"
#include "service/log_file.h"
#include "tests/sim/service_scenario.h"

namespace halcyra::test {
namespace {

using platform::Dword;

// Only the engine's raw output is used, so a seed replays on every standard library.
struct Dice {
  explicit Dice(unsigned seed) : engine(seed) {}
  unsigned below(unsigned bound) { return static_cast<unsigned>(engine() % bound); }
  bool chance(unsigned inEight) { return below(8) < inEight; }
  std::mt19937 engine;
};

const std::u16string kLog = u"C:\\Temp\\HalcyraService.log", kSystemTemp = u"C:\\Windows\\SystemTemp\\";
// A user's file, one of SYSTEM's (as the service's own log is), and a name nobody used.
const std::u16string kUserFile = u"C:\\Secret\\data.txt", kSystemFile = u"C:\\Secret\\system.txt",
                     kUnborn = u"C:\\Secret\\new.txt", kInside = u"\\inside.txt";

enum Trait : unsigned { kFile = 1, kLink = 2, kReadOnly = 4, kOwnLog = 8, kFolderWithContent = 16 };
struct Plant {
  unsigned traits;
  void (*make)();
};
// A file of an ordinary user's.
void addUserFile(const std::u16string& path, std::string bytes) {
  sim::addFile(path, std::move(bytes));
  sim::setFileSecurity(path, {u"S-1-5-21-1001"});
}
const Plant kPlants[] = {
    {kFile, [] { addUserFile(kLog, "planted"); }},
    {kFile | kReadOnly, [] { addUserFile(kLog, "planted"), sim::setReadOnly(kLog); }},
    {kFile, [] { sim::addLink(kLog, kUserFile, sim::LinkKind::hard); }},
    {kFile, [] { sim::addLink(kLog, kSystemFile, sim::LinkKind::hard); }},
    {kLink, [] { sim::addLink(kLog, kUserFile, sim::LinkKind::symbolic); }},
    {kLink, [] { sim::addLink(kLog, kSystemFile, sim::LinkKind::symbolic); }},
    {kLink, [] { sim::addLink(kLog, kUnborn, sim::LinkKind::symbolic); }},
    {0, [] { sim::addLink(kLog, u"C:\\Secret", sim::LinkKind::junction); }},
    {0, [] { sim::addDirectory(kLog); }},
    {kFolderWithContent, [] { sim::addFile(kLog + kInside, "inside"); }},
    {kFile | kOwnLog, [] { sim::addFile(kLog, "last run"), sim::setFileSecurity(kLog, {u"S-1-5-18"}); }},
};

struct Planted {
  unsigned traits = 0;
  Dword holderShare = 0;   // 0: nobody holds it
  bool holdsLink = false;  // the holder has the symbolic link itself open
};

// Plants something under the log's name, and maybe a reader of it (of a link itself or of
// what it names) that refuses deletion, shares writing as a log viewer does, or shares all.
Planted plant(Dice& dice) {
  const Plant& chosen = kPlants[dice.below(std::size(kPlants))];
  chosen.make();
  Planted planted{chosen.traits};
  planted.holdsLink = (chosen.traits & kLink) != 0 && dice.chance(4);
  const bool holdable = (chosen.traits & kFile) != 0 || ((chosen.traits & kLink) != 0 && sim::fileContent(kLog));
  if ((holdable || planted.holdsLink) && dice.chance(5)) {
    planted.holderShare = std::initializer_list<Dword>{0x1, 0x3, 0x7}.begin()[dice.below(3)];
    sim::holdOpen(kLog, planted.holderShare, !planted.holdsLink);
  }
  return planted;
}

// Whether what was planted before the start keeps the name from the service for good.
bool blocksTheName(const Planted& planted, bool modernDeletion) {
  if ((planted.traits & kFolderWithContent) != 0) return true;
  if (!modernDeletion && (planted.traits & kReadOnly) != 0) return true;
  if (((planted.traits & kFile) == 0 && !planted.holdsLink) || planted.holderShare == 0) return false;
  if ((planted.holderShare & 0x4) != 0) return !modernDeletion;  // the name lingers until the reader goes
  // Only the service's own log, held by a reader that lets it write, can be taken over.
  return (planted.traits & kOwnLog) == 0 || (planted.holderShare & 0x2) == 0;
}

unsigned environmentNumber(const char* name, unsigned fallback) {
  const char* const value = std::getenv(name);
  return value == nullptr ? fallback : static_cast<unsigned>(std::strtoul(value, nullptr, 10));
}

TEST(ServiceLogGenerator, PlantedObjectsNeitherBlockTheStartNorGetFollowed) {
  const unsigned single = environmentNumber("HALCYRA_SEED", 0);
  const unsigned first = single != 0 ? single : 1,
                 last = single != 0 ? single : environmentNumber("HALCYRA_SEEDS", 2000);
  for (unsigned seed = first; seed <= last; ++seed) {
    Dice dice(seed);
    sim::reset();
    const bool modernDeletion = dice.chance(6);
    sim::setDispositionExSupported(modernDeletion);
    // GetTempPath2W: missing, SYSTEM's own folder, or (for another account) the shared one.
    const unsigned tempPath2 = dice.below(3);
    sim::addDirectory(kSystemTemp);
    if (tempPath2 != 0) sim::setTempPath2(tempPath2 == 1 ? kSystemTemp : u"C:\\Temp\\");
    addUserFile(kUserFile, "user data");
    sim::addFile(kSystemFile, "system data");
    sim::setFileSecurity(kSystemFile, {u"S-1-5-18"});
    const bool plantedBefore = dice.chance(6);
    const Planted before = plantedBefore ? plant(dice) : Planted{};
    // At any step of the start, most of all between the removal and the creation, another
    // user may plant something wherever the name is free.
    bool during = false;
    const unsigned everyNth = 1 + dice.below(6);
    unsigned calls = 0;
    sim::setCallObserver([&](const sim::Call& call) {
      const bool creation = call.name == "CreateFileW" && call.args.find(" disposition=1 ") != std::string::npos;
      if ((++calls % everyNth == 0 || creation) && !sim::nameExists(kLog) && dice.chance(creation ? 4 : 1)) {
        plant(dice);
        during = true;
      }
    });
    const std::size_t handlesBefore = sim::liveHandles();
    const ServiceLog log = openServiceLog(kLog.c_str());
    sim::setCallObserver(nullptr);

    // Nothing of anyone else's is written, emptied, removed or created through a link.
    EXPECT_EQ(sim::fileContent(kUserFile), "user data");
    EXPECT_EQ(sim::fileContent(kSystemFile), "system data");
    EXPECT_FALSE(sim::nameExists(kUnborn));
    EXPECT_EQ(sim::fileContent(kLog + kInside).value_or("inside"), "inside");
    // The start goes on, with output going to a log of the service's own or to a fallback.
    ASSERT_NE(log.handle, platform::kInvalidHandle);
    const auto open = sim::openFile(log.handle);
    ASSERT_TRUE(open.has_value());
    if (log.fallback[0] == u'\0') {
      EXPECT_EQ(open->path, kLog) << "written through a link";
      platform::FileInformation information{};
      ASSERT_TRUE(platform::GetFileInformationByHandle(log.handle, &information));
      EXPECT_EQ(information.numberOfLinks, 1u);
      EXPECT_EQ(sim::fileSecurity(kLog), sim::FileSecurity{u"S-1-5-18"});
      EXPECT_EQ(sim::fileContent(kLog), "");
    } else {
      EXPECT_NE(log.failure, 0u);
      const std::u16string expected = tempPath2 == 1 ? kSystemTemp + u"HalcyraService.log" : u"NUL";
      EXPECT_EQ(std::u16string(log.fallback), expected);
      EXPECT_EQ(open->path, expected);
      if (plantedBefore && !during && before.traits == kFile && before.holderShare != 0) {
        EXPECT_NE(sim::fileContent(kLog), "") << "what keeps the name blocked stays as it was";
      }
    }
    if (!during) {
      EXPECT_EQ(log.fallback[0] != u'\0', plantedBefore && blocksTheName(before, modernDeletion));
    }
    platform::CloseHandle(log.handle);
    if (log.control != platform::kInvalidHandle) platform::CloseHandle(log.control);
    EXPECT_EQ(sim::liveHandles(), handlesBefore);
    ASSERT_FALSE(HasFailure()) << "replay with HALCYRA_SEED=" << seed;
  }
}

// The numbers of the "line N" lines in `text`, in the order they come.
std::vector<unsigned> lineNumbers(const std::string& text) {
  std::vector<unsigned> numbers;
  for (std::size_t at = text.find("line "); at != std::string::npos; at = text.find("line ", at + 1)) {
    numbers.push_back(static_cast<unsigned>(std::strtoul(text.c_str() + at + 5, nullptr, 10)));
  }
  return numbers;
}

std::string numberedLines(unsigned first, unsigned count) {
  std::string text;
  for (unsigned n = first; n < first + count; ++n) text += "line " + std::to_string(1000 + n).substr(1) + "\n";
  return text;  // 10 bytes a line
}

// The log rotated at 1,000 bytes with two generations while a server runs: 300 lines at its
// start (a burst of three sizes, whose oldest does not fit and is not copied), 150 more at
// 30 s. Whatever another user planted under a generation's name is never followed or
// written; a name that stays blocked skips every rotation with one warning, the output
// stays in the live log, and the server is never restarted.
TEST(ServiceLogRotation, PlantedGenerationNamesAreNeverFollowedAndNeverStopTheServer) {
  const std::u16string log = u"C:\\Temp\\HalcyraService.log", first = u"C:\\Temp\\HalcyraService.1.log",
                       second = u"C:\\Temp\\HalcyraService.2.log";
  const struct {
    const char* name;
    std::function<void()> plant;
    bool blocks;
  } cases[] = {
      {"nothing", [] {}, false},
      {"symbolic link to a user's file as .1", [&] { sim::addLink(first, kUserFile, sim::LinkKind::symbolic); }, false},
      {"symbolic link to a new name as .2", [&] { sim::addLink(second, kUnborn, sim::LinkKind::symbolic); }, false},
      {"hard link to a user's file as .1", [&] { sim::addLink(first, kUserFile, sim::LinkKind::hard); }, false},
      {"user's file held open as .1", [&] { addUserFile(first, "planted"), sim::holdOpen(first, 0x1); }, true},
      {"folder with content as .2", [&] { sim::addFile(second + kInside, "inside"); }, true},
      {"service's own .1 held by a viewer",
       [&] { sim::addFile(first, "old"), sim::setFileSecurity(first, {u"S-1-5-18"}), sim::holdOpen(first, 0x3); },
       true},
  };
  for (const auto& [name, make, blocks] : cases) {
    SCOPED_TRACE(name);
    sim::ProgramBehaviour server = patientServer();
    server.output = numberedLines(0, 300);
    setUpMachine(server);
    configureRelease("1.0.0.0", false);
    std::string config = *sim::fileContent(u"C:\\Halcyra\\resources\\updater\\config.json");
    config.insert(config.size() - 1, R"(,"logRotationSize":1000,"logGenerations":2)");
    sim::addFile(u"C:\\Halcyra\\resources\\updater\\config.json", config);
    addUserFile(kUserFile, "user data");
    make();
    bool added = false;
    sim::setCallObserver([&](const sim::Call& call) {
      if (!added && call.time >= 30000) {
        added = true;
        sim::addFile(log, *sim::fileContent(log) + numberedLines(300, 150));
      }
    });
    sim::scheduleControl(200000, platform::kServiceControlStop);
    runService();
    sim::setCallObserver(nullptr);

    EXPECT_EQ(servers().size(), 1u) << "the server is never restarted";
    EXPECT_EQ(sim::fileContent(kUserFile), "user data");
    EXPECT_FALSE(sim::nameExists(kUnborn));
    EXPECT_EQ(sim::fileContent(second + kInside).value_or("inside"), "inside");
    EXPECT_EQ(
        std::count_if(sim::reportedEvents().begin(), sim::reportedEvents().end(),
                      [](const sim::ReportedEvent& event) { return event.eventId == EVENT_LOG_ROTATION_BLOCKED; }),
        blocks ? 1 : 0);
    // Every line at most once and in order, the newest last; only the oldest block of the
    // burst is left out, and only by a rotation; without a block, the second rotation moved
    // out lines 100 to 299.
    const std::vector<unsigned> kept = lineNumbers(sim::fileContent(second).value_or("") +
                                                   sim::fileContent(first).value_or("") + *sim::fileContent(log));
    std::vector<unsigned> expected(blocks ? 450 : 150);
    std::iota(expected.begin(), expected.end(), blocks ? 0u : 300u);
    EXPECT_EQ(kept, expected);
    EXPECT_LT(sim::fileContent(log)->size(), blocks ? 5000u : 1000u);
    for (const std::u16string& generation : {first, second}) {
      if (!blocks) {
        EXPECT_EQ(sim::fileSecurity(generation)->owner, u"S-1-5-18");
      }
    }
  }
}

}  // namespace
}  // namespace halcyra::test
