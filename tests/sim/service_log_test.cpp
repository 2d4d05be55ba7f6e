// The service's log against whatever other users plant under its name, before the start
// or at any step of it, replayable by seed. HALCYRA_SEEDS=n runs seeds 1..n (2,000 by
// default); HALCYRA_SEED=n runs seed n alone.

#include <gtest/gtest.h>

#include <cstdlib>
#include <random>
#include <string>

#include "platform/files.h"
#include "platform/sim/sim.h"
#include "platform/sim/sim_security.h"
#include "service/log_file.h"

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
    EXPECT_EQ(sim::liveHandles(), handlesBefore);
    ASSERT_FALSE(HasFailure()) << "replay with HALCYRA_SEED=" << seed;
  }
}

}  // namespace
}  // namespace halcyra::test
